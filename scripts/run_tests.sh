#!/usr/bin/env bash
# The whole test suite: C++ core tests (plain and under AddressSanitizer + UBSan), then the package
# installed with pip and its Python tests.
set -euo pipefail
cd "$(dirname "$0")/.."
PY=${PYTHON:-python3}

# What the build and the tests need from Debian: installed here when running as root, otherwise the one
# command that installs them is printed and nothing else runs.
if command -v dpkg >/dev/null 2>&1; then
  need=()
  for pkg in g++ cmake ninja-build python3-dev python3-pip libgtest-dev zlib1g-dev chromium fonts-wqy-microhei; do
    dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
  done
  if [ ${#need[@]} -gt 0 ]; then
    if [ "$(id -u)" -eq 0 ]; then
      export DEBIAN_FRONTEND=noninteractive
      apt-get update -qq && apt-get install -y -qq "${need[@]}" >/dev/null
    else
      echo "missing Debian packages; install them with:" >&2
      echo "  sudo apt-get update && sudo apt-get install -y ${need[*]}" >&2
      exit 1
    fi
  fi
fi

for variant in plain asan; do
  dir=build/ctest-$variant
  flags=(-DVARLO_BUILD_TESTS=ON -DVARLO_BUILD_MODULES=OFF)
  [ "$variant" = asan ] && flags+=(-DVARLO_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug)
  cmake -S . -B "$dir" -G Ninja "${flags[@]}" > /dev/null
  cmake --build "$dir"
  (cd "$dir" && ctest --output-on-failure)
done

"$PY" -m pip install -q ".[test]"
# Run from the tests folder so the installed package, not the source tree, is imported.
cd tests && "$PY" -m pytest -q -p no:cacheprovider
