"""stratification against its numpy formulation, and where a whole backtest spends its time.

    python3 bench/bench_backtest.py            (against the installed package; MPLBACKEND=Agg is set)

1. stratification on report files of 2,500 dates x 100 symbols, s = 10, beside the numpy loop over the
   same files; both read the two CSV files. Timed without figures (drawing is matplotlib's work, the
   same for both) and, for the record, with them.
2. backtest of the example strategy (VarloAlpha.examples.momentum) over ten years of every shipped
   symbol with output off: the time spent inside the strategy's init and get_alpha against the rest.
"""

import math
import os
import statistics
import tempfile
import time
from pathlib import Path

os.environ.setdefault("MPLBACKEND", "Agg")

import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402
from pandas.plotting._core import PlotAccessor  # noqa: E402

from VarloAlpha.examples import momentum  # noqa: E402
from VarloAlpha.Module import sample_market  # noqa: E402
from VarloAlpha.Module.Varlo_analyse import stratification  # noqa: E402
from VarloAlpha.Module.Varlo_module import backtest  # noqa: E402


def numpy_stratification(report_path, s, draw):
    """The loop as written with numpy and pandas."""
    run_id = report_path.name.split("_")[-1]
    alpha = pd.read_csv(report_path / f"alpha_{run_id}.csv", index_col=0, parse_dates=True)
    nextreturn = pd.read_csv(report_path / f"nextreturn_{run_id}.csv", index_col=0, parse_dates=True)
    dds = alpha.index
    len_dds = len(dds)
    alpha, nextreturn = alpha.values, nextreturn.values
    alpha_s, nextreturn_s = np.zeros((len_dds, s)), np.zeros((len_dds, s))
    for row in range(len_dds):
        row_not_nan = ~(np.isnan(alpha[row]) | np.isnan(nextreturn[row]))
        l = row_not_nan.sum()
        if l == 0:
            alpha_s[row], nextreturn_s[row] = np.nan, np.nan
            continue
        row_alpha, row_nextreturn = alpha[row][row_not_nan], nextreturn[row][row_not_nan]
        row_order = np.argsort(row_alpha)
        for i in range(s):
            part = row_order[math.floor(i * l / s):math.floor((i + 1) * l / s)]
            alpha_s[row, i] = np.mean(row_alpha[part]) if len(part) else np.nan
            nextreturn_s[row, i] = np.mean(row_nextreturn[part]) if len(part) else np.nan
    s1 = pd.DataFrame(np.nanmean(alpha_s, axis=0), columns=["mean"])
    s2 = pd.DataFrame(np.nansum(nextreturn_s, axis=0), columns=["sum"])
    s3 = pd.DataFrame(np.nancumsum(nextreturn_s, axis=0), index=dds)
    s1.index, s2.index, s3.columns = s1.index + 1, s2.index + 1, s3.columns + 1
    s3["all"] = s3.mean(axis=1)
    s3["t-b"] = s3[s] - s3[1]
    if draw:
        _, (ax1, ax2) = plt.subplots(2, 1)
        s1.plot(kind="bar", ax=ax1, title="alpha")
        s2.plot(kind="bar", ax=ax2, title="nextreturn")
        _, ax3 = plt.subplots(1, 1)
        s3.plot(ax=ax3, title="Stratification Cumulative Return")


def best_of(fn, repeat):
    times = []
    for _ in range(repeat):
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
        plt.close("all")
    return min(times), statistics.median(times)


class NoDrawing:
    """DataFrame.plot and pyplot.subplots as no-ops: only reading and computing are timed."""

    def __enter__(self):
        self.saved = PlotAccessor.__call__, plt.subplots
        PlotAccessor.__call__ = lambda self, *a, **k: None
        plt.subplots = lambda *a, **k: (None, (None, None) if a and a[0] == 2 else None)
        return self

    def __exit__(self, *exc):
        PlotAccessor.__call__, plt.subplots = self.saved


def bench_stratification(tmp):
    rng = np.random.default_rng(0)
    dates = pd.bdate_range("2014-01-01", periods=2500)
    cols = [f"S{j:03d}" for j in range(100)]
    alpha = rng.normal(size=(2500, 100))
    nextreturn = rng.normal(scale=0.02, size=(2500, 100))
    alpha[rng.random(alpha.shape) < 0.1] = np.nan
    nextreturn[rng.random(alpha.shape) < 0.05] = np.nan
    path = tmp / "report_1"
    path.mkdir()
    pd.DataFrame(alpha, dates, cols).to_csv(path / "alpha_1.csv")
    pd.DataFrame(nextreturn, dates, cols).to_csv(path / "nextreturn_1.csv")

    def read_only():
        pd.read_csv(path / "alpha_1.csv", index_col=0, parse_dates=True)
        pd.read_csv(path / "nextreturn_1.csv", index_col=0, parse_dates=True)

    rows = []
    with NoDrawing():
        ours = best_of(lambda: stratification(path, 10), 7)
        ref = best_of(lambda: numpy_stratification(path, 10, False), 3)
        reading = best_of(read_only, 7)
    rows.append(("reading + layers (no figures)", ours, ref))
    ours_d = best_of(lambda: stratification(path, 10), 3)
    ref_d = best_of(lambda: numpy_stratification(path, 10, True), 3)
    rows.append(("whole call with the two figures", ours_d, ref_d))

    print("stratification, 2,500 dates x 100 symbols, s = 10 (best of repeats, seconds)")
    print(f"{'':34s} {'varlo':>9s} {'numpy':>9s} {'ratio':>7s}")
    for name, (o, _), (r, _) in rows:
        print(f"{name:34s} {o:9.4f} {r:9.4f} {r / o:6.1f}x")
    print(f"{'of which pandas reading two CSVs':34s} {reading[0]:9.4f}")
    print()


def bench_backtest(tmp):
    market = sample_market.generate(tmp / "market", seed=0, start="2013-01-01", end="2024-12-31")
    spent = [0.0]

    def timed(fn):
        def run(context):
            t = time.perf_counter()
            fn(context)
            spent[0] += time.perf_counter() - t
        return run

    config = {
        "data_path": market,
        "base": {"alpha_id": "VarloAlpha.examples.momentum", "begin_date": "2015-01-01", "end_date": "2024-12-31",
                 "universe": "all"},
        "trade": {"trade_contract": "dominant", "matching_type": "vwap", "capital": 1e8, "leverage": 1},
        "operators": {"longshort": {"longshort": 0.3, "mode": "keep_rank"}},
        "output": {"output": False},
    }
    import contextlib
    import io

    results = []
    for _ in range(3):
        spent[0] = 0.0
        t = time.perf_counter()
        with contextlib.redirect_stdout(io.StringIO()):
            backtest(config, timed(momentum.init), timed(momentum.get_alpha))
        total = time.perf_counter() - t
        results.append((total, spent[0]))
    total, strategy = min(results)
    days = len(pd.read_pickle(market / "dominant_contract.pkl", compression="gzip").loc["2015-01-01":"2024-12-31"])
    symbols = len(pd.read_pickle(market / "close.pkl", compression="gzip").columns)
    framework = total - strategy
    print(f"backtest of {config['base']['alpha_id']}: {days} dates x {symbols} symbols, output off (best of 3)")
    print(f"{'':28s} {'seconds':>8s} {'share':>7s} {'per date':>9s}")
    for name, v in (("whole run", total), ("strategy (init + get_alpha)", strategy), ("framework", framework)):
        print(f"{name:28s} {v:8.3f} {v / total:7.1%} {v / days * 1e6:7.0f}us")


def main():
    with tempfile.TemporaryDirectory() as d:
        tmp = Path(d)
        bench_stratification(tmp)
        bench_backtest(tmp)


if __name__ == "__main__":
    main()
