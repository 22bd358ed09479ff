"""Two builds of the package side by side on the table cache's speed targets, warm cache.

    python3 bench/bench_builds.py BEFORE [AFTER]

BEFORE and AFTER are folders holding a `VarloAlpha` package (for example `pip install --target DIR` of an
older commit); AFTER defaults to the package this interpreter imports. Every figure is the best of its
rounds in a fresh child process per build, three children a build taking turns, so that both see the same
load on a shared machine; the results of the two builds are checked to be identical.

1. get_position + analyse, output off, at 2,410 x 70 and 2,479 x 300 (synthetic prices; the 300-symbol
   case runs in a copy of each package whose attribute table names 230 more symbols).
2. The example strategy's whole-frame backtest over ten years of 70 symbols, output off, look-ahead guard
   3 (the default) and off.
3. A 16-point grid of it on one pool worker, entries on disk: ms a point, pool start included.
"""

import json
import os
import pickle
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

os.environ.setdefault("MPLBACKEND", "Agg")
sys.path.insert(0, str(Path(__file__).resolve().parent))

RACY = 2.1  # files younger than this are not cached


def child(kind, data, out, *args):
    import contextlib
    import io

    import numpy as np
    import pandas as pd

    import bench_cache as bc
    from VarloAlpha.Module import Varlo_module as vm
    from VarloAlpha.Module.Varlo_analyse import analyse

    data = Path(data)
    if kind == "sizing":
        position_alpha = pd.read_pickle(data / "position_alpha.pkl")
        cfg = {"data_path": data, "trade": {"trade_contract": "dominant", "matching_type": "vwap", "capital": 1e8,
                                            "leverage": 1, "commission": 3e-4}, "output": {"output": False}}

        def run():
            position, volume = vm.get_position(position_alpha, cfg)
            return analyse({"alpha": position_alpha, "position_alpha": position_alpha, "position": position,
                            "volume_position": volume}, cfg)
        rounds = 9
    elif kind == "backtest":
        def run():
            with contextlib.redirect_stdout(io.StringIO()):
                return vm.backtest(bc.example_config(data, lookahead_checks=int(args[0])))
        rounds = 7
    else:
        grid = {"skip": [0, 1], "lookback": [5, 10, 20, 40, 60, 80, 100, 120]}
        vm.cpu_count = lambda: 2  # one pool worker

        def run():
            with bc.quiet():
                return vm.multi_run(bc.example_config(data), grid)
        rounds = 2
    with np.errstate(all="ignore"):
        run()  # warm: the cache's entries and this process's tables
        t, result = bc.best(run, rounds)
    if kind == "grid":
        t /= 16
    Path(out).write_bytes(pickle.dumps((t, result)))


def measure(build, kind, data, tmp, *args):
    out = tmp / "out.pkl"
    env = {**os.environ, "PYTHONPATH": str(build), "VARLO_CACHE_DIR": str(tmp / "cache")}
    env.pop("VARLO_CACHE", None)
    subprocess.run([sys.executable, __file__, "--child", kind, str(data), str(out), *args], env=env, check=True)
    return pickle.loads(out.read_bytes())


def package_of(build):
    code = "import VarloAlpha, pathlib; print(pathlib.Path(VarloAlpha.__file__).parent)"
    env = {**os.environ, "PYTHONPATH": str(build)}
    return Path(subprocess.run([sys.executable, "-c", code], env=env, check=True, capture_output=True,
                               text=True).stdout.strip())


def wide_copy(build, tmp, name):
    """A copy of the build's package whose attribute table names 230 more symbols (copies of the first)."""
    import pandas as pd

    root = tmp / name
    shutil.copytree(package_of(build), root / "VarloAlpha")
    csv = root / "VarloAlpha" / "Module" / "futures_attributes.csv"
    attrs = pd.read_csv(csv, index_col=0)
    extra = pd.DataFrame([attrs.iloc[0]] * 230, index=[f"X{i:03d}" for i in range(230)])
    extra["symbol_name"] = [s.lower() for s in extra.index]
    pd.concat([attrs, extra]).to_csv(csv)
    return root


def main():
    if sys.argv[1:2] == ["--child"]:
        child(*sys.argv[2:])
        return
    import pandas as pd

    import bench_cache as bc

    builds = {"before": Path(sys.argv[1]).resolve(),
              "after": Path(sys.argv[2]).resolve() if len(sys.argv) > 2 else package_of("").parent}
    with tempfile.TemporaryDirectory() as d:
        tmp = Path(d)
        attrs = pd.read_csv(package_of(builds["after"]) / "Module" / "futures_attributes.csv", index_col=0)
        cases = []
        for rows, cols in ((2410, 70), (2479, 300)):
            symbols = list(attrs.index[:70]) + [f"X{i:03d}" for i in range(cols - 70)]
            data = tmp / f"sizing{rows}x{cols}"
            bc.prices(data, rows, cols, symbols).to_pickle(data / "position_alpha.pkl")
            wide = {k: wide_copy(b, tmp, f"{k}{cols}") for k, b in builds.items()} if cols > 70 else builds
            cases.append((f"get_position + analyse {rows} x {cols}", wide, "sizing", data, ()))
        from VarloAlpha.Module import sample_market

        market = sample_market.generate(tmp / "example", seed=0, start="2013-01-01", end="2024-12-31")
        for checks in ("3", "0"):
            cases.append((f"whole-frame backtest, guard {checks}", builds, "backtest", market, (checks,)))
        cases.append(("16-point grid, one worker (a point)", builds, "grid", market, ()))
        time.sleep(RACY)
        print(f"load average at start: {' '.join(f'{v:.1f}' for v in os.getloadavg())} ({os.cpu_count()} CPUs)")
        print("best of the children (slowest child's best in brackets): the first child of a build decodes the")
        print("pickles and stores the entries, the next ones load the entries from disk")
        print(f"{'case (warm cache, ms)':44}{'before':>17}{'after':>17}{'ratio':>8}")
        for label, paths, kind, data, args in cases:
            times = {name: [] for name in paths}
            results = {}
            for _ in range(3):  # the builds take turns
                for name, path in paths.items():
                    t, results[name] = measure(path, kind, data, tmp / name, *args)
                    times[name].append(t)
            best = {name: min(ts) for name, ts in times.items()}
            spread = {name: f"{min(ts) * 1e3:7.1f} ({max(ts) * 1e3:5.1f})" for name, ts in times.items()}
            ref, got = results["before"], results["after"]
            if kind == "grid":
                pd.testing.assert_frame_equal(got, ref, check_exact=True)
            else:
                pd.testing.assert_series_equal(got, ref, check_exact=True)
            print(f"{label:44}{spread['before']:>17}{spread['after']:>17}{best['before'] / best['after']:7.2f}x")
        print(f"load average at end: {' '.join(f'{v:.1f}' for v in os.getloadavg())}")


if __name__ == "__main__":
    main()
