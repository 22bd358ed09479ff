#!/usr/bin/env bash
# The whole test suite: C++ core tests (plain and under AddressSanitizer + UBSan), then the package
# installed with pip and its Python tests.
set -euo pipefail
cd "$(dirname "$0")/.."
PY=${PYTHON:-python3}

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
