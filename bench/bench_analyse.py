"""analyse against the plain pandas formulation on 2,500 dates x 100 symbols.

Both sides read the same gzip-compressed price pickles from disk on every call. Prints best-of-n wall
times and the ratio pandas / ours.

    cmake -S . -B build-rel -G Ninja -DCMAKE_BUILD_TYPE=Release && cmake --build build-rel
    PYTHONPATH=build-rel/pkg python3 bench/bench_analyse.py
"""

import sys
import tempfile
import time
from pathlib import Path

import numpy as np
import pandas as pd

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests"))
from reference.analyse import reference  # noqa: E402  (the pandas formulation)

from VarloAlpha.Module.Varlo_analyse import analyse  # noqa: E402

ROWS, COLS = 2500, 100


def market(root):
    rng = np.random.default_rng(0)
    dates = pd.bdate_range("2012-01-04", periods=ROWS)
    symbols = [f"s{i:02d}" for i in range(COLS)]

    def frame(values):
        return pd.DataFrame(values, index=dates, columns=symbols)

    settle = frame(np.round(3000 * np.exp(np.cumsum(rng.normal(0, 0.015, (ROWS, COLS)), axis=0))))
    settle.iloc[:30, :10] = np.nan  # symbols listed later
    tables = {"dominant_settle.pkl": settle, "dominant_prevsettle.pkl": settle.shift(1),
              "dominant_nextreturnonsettle.pkl": settle.shift(-1) / settle - 1,
              "dominant_vwap.pkl": (settle * (1 + rng.normal(0, 0.002, (ROWS, COLS)))).round()}
    root.mkdir(parents=True, exist_ok=True)
    for name, table in tables.items():
        table.to_pickle(root / name, compression="gzip")
    alpha = frame(rng.standard_normal((ROWS, COLS)))
    alpha[settle.isna()] = np.nan
    position = alpha.rank(axis=1, pct=True).sub(0.5).div(COLS / 4)
    return {"alpha": alpha, "position_alpha": position.copy(), "position": position,
            "volume_position": (position * 50).round()}


def config(data, save, on):
    return {"data_path": data, "trade": {"trade_contract": "dominant", "matching_type": "vwap", "commission": 3e-4},
            "output": {"output": on, "print": False, "plot": False, "last_position": False, "save_path": save}}


def pandas_reports(result, cfg):
    """The pandas formulation writing the same files: the summary text and the eight tables."""
    summary, lines, tables = reference(result, cfg)
    path = cfg["output"]["save_path"]
    run_id = path.name.split("_")[-1]
    path.mkdir(parents=True, exist_ok=True)
    with open(path / f"summary_{run_id}.txt", "w", encoding="utf-8") as f:
        for line in lines:
            print(line, file=f)
    for stem, table in tables.items():
        table.to_csv(path / f"{stem}_{run_id}.csv")
    return summary


def best(fn, n):
    times = []
    for _ in range(n):
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
    return min(times)


def main():
    with tempfile.TemporaryDirectory() as tmp:
        root = Path(tmp)
        data = root / "data"
        result = market(data)
        shape = result["position"]

        def read_only():
            for name in ["nextreturnonsettle", "settle", "prevsettle", "vwap"]:
                pd.read_pickle(data / f"dominant_{name}.pkl", compression="gzip").reindex(
                    index=shape.index, columns=shape.columns).to_numpy()

        off = config(data, root / "x" / "report_1", False)
        with np.errstate(all="ignore"):
            floor = best(read_only, 7)
            rows = [
                ("output off", best(lambda: reference(result, off), 7), best(lambda: analyse(result, off), 7)),
                ("reports written", best(lambda: pandas_reports(result, config(data, root / "p" / "report_1", True)), 3),
                 best(lambda: analyse(result, config(data, root / "o" / "report_1", True)), 3)),
            ]
        print(f"{ROWS} dates x {COLS} symbols, best-of-n wall time; pandas reading the 4 price files alone: "
              f"{floor * 1e3:.1f} ms")
        print(f"{'case':36s} {'pandas ms':>10s} {'ours ms':>10s} {'pandas/ours':>12s}")
        for name, theirs, ours in rows:
            print(f"{name:36s} {theirs * 1e3:10.1f} {ours * 1e3:10.1f} {theirs / ours:12.2f}")


if __name__ == "__main__":
    main()
