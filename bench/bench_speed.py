"""A research run as fast as its data: the three forms of one strategy, the framework's per-day cost with a
fresh alpha Series every day, and the native report-table writer, each against the pandas formulation run
side by side in this process.

    PYTHONPATH=build/<tag>/pkg python3 bench/bench_speed.py      (or against the installed package)
"""

import statistics
import tempfile
import time
from pathlib import Path

import numpy as np
import pandas as pd

from VarloAlpha.Module import sample_market
from VarloAlpha.Module.Varlo_analyse import _write_csv
from VarloAlpha.Module.Varlo_context import Context
from VarloAlpha.Module.Varlo_module import get_alpha, get_alpha_frame

LOOKBACK, SKIP = 20, 1
BEGIN, END = "2015-01-01", "2024-12-31"


def init(context):
    context.data_names = ["close"]
    context.operators = {"smooth": {"smooth": 5, "mode": "linear"}, "rank": {}}


def daily_loc(context):
    close = context.data["close"].loc[:context.timestamp, context.symbols]
    context.alpha = close.iloc[-1 - SKIP] / close.iloc[-1 - SKIP - LOOKBACK] - 1


def daily_history(context):
    close = context.history("close", LOOKBACK + SKIP + 1)
    context.alpha = close.iloc[-1 - SKIP] / close.iloc[0] - 1


def daily_history_values(context):
    v = context.history_values("close", LOOKBACK + SKIP + 1)
    context.alpha = pd.Series(v[-1 - SKIP] / v[0] - 1, index=context.symbols)


def daily_history_values_index(context):
    # The admitted symbols only grow as a prefix: one Index per admission, not one per day.
    if len(getattr(context, "symbols_index", ())) != len(context.symbols):
        context.symbols_index = pd.Index(context.symbols)
    v = context.history_values("close", LOOKBACK + SKIP + 1)
    context.alpha = pd.Series(v[-1 - SKIP] / v[0] - 1, index=context.symbols_index)


def whole_frame(context):
    close = context.data["close"]
    return close.shift(SKIP) / close.shift(SKIP + LOOKBACK) - 1


def best(fn, *args, repeat=3):
    times, out = [], None
    for _ in range(repeat):
        t = time.perf_counter()
        out = fn(*args)
        times.append(time.perf_counter() - t)
    return min(times), out


def bench_forms(market):
    cfg = lambda **kw: {"data_path": market, "base": {"begin_date": BEGIN, "end_date": END, "universe": "all", **kw}}
    t_loc, (ref, _) = best(get_alpha, cfg(), init, daily_loc)
    rows = [(".loc (daily)", t_loc)]
    for label, fn in (("history (daily)", daily_history), ("history_values (daily)", daily_history_values),
                      ("history_values, kept Index", daily_history_values_index)):
        t, (alpha, _) = best(get_alpha, cfg(), init, fn)
        pd.testing.assert_frame_equal(alpha, ref, check_exact=True)
        rows.append((label, t))
    for label, checks in (("whole frame, guard 3", 3), ("whole frame, guard off", 0)):
        t, (alpha, _) = best(get_alpha_frame, cfg(lookahead_checks=checks), init, whole_frame)
        pd.testing.assert_frame_equal(alpha, ref, check_exact=True)
        rows.append((label, t))
    print(f"alpha collection, momentum {LOOKBACK}/{SKIP}, {ref.shape[0]} days x {ref.shape[1]} symbols "
          "(alphas identical)")
    print(f"  {'form':28}{'seconds':>10}{'vs .loc':>10}")
    for label, t in rows:
        print(f"  {label:28}{t:10.3f}{t_loc / t:9.1f}x")


def bench_lookup(market):
    ctx = Context({"data_path": market, "base": {"begin_date": BEGIN, "end_date": END, "universe": "all"}})
    init(ctx)
    ctx.get_data()
    for dd in ctx.backtest_calendar[:1500]:
        ctx.timestamp = dd
        ctx.get_symbols()
    n = LOOKBACK + SKIP + 1
    calls = {
        ".loc[:t, symbols].iloc[-n:]": lambda: ctx.data["close"].loc[:ctx.timestamp, ctx.symbols].iloc[-n:],
        "history(name, n)": lambda: ctx.history("close", n),
        "history_values(name, n)": lambda: ctx.history_values("close", n),
    }
    print(f"one day's lookup, {len(ctx.symbols)} symbols, n={n}, table of {len(ctx.data['close'])} rows")
    base = None
    for label, fn in calls.items():
        reps = 300 if label.startswith(".loc") else 3000
        t = min(timeit(fn, reps) for _ in range(3))
        base = base or t
        print(f"  {label:30}{t * 1e6:9.1f} us{base / t:9.1f}x")


def timeit(fn, reps):
    t = time.perf_counter()
    for _ in range(reps):
        fn()
    return (time.perf_counter() - t) / reps


def bench_record(market):
    syms = list(pd.read_pickle(market / "dominant_contract.pkl", compression="gzip").columns)
    rng = np.random.default_rng(0)
    fresh = [pd.Series(rng.normal(size=len(syms)), index=list(syms)) for _ in range(2600)]
    reused = [fresh[0]] * 2600

    def run(series, begin):
        def setup(context):
            context.data_names, context.i = [], 0

        def daily(context):
            context.alpha = series[context.i]
            context.i += 1

        cfg = {"data_path": market, "base": {"begin_date": begin, "end_date": END, "universe": "all"}}
        return best(get_alpha, cfg, setup, daily, repeat=5)

    print("framework per day (slope between a 1-year and a 10-year run; the Series are built beforehand)")
    for label, series in (("the same Series every day", reused), ("a fresh Series every day", fresh)):
        (t1, (a1, _)), (t10, (a10, _)) = run(series, "2024-01-01"), run(series, BEGIN)
        print(f"  {label:28}{(t10 - t1) / (len(a10) - len(a1)) * 1e6:8.1f} us/day")


def bench_csv(tmp):
    rng = np.random.default_rng(0)
    print("report table, native writer vs to_csv (bytes identical)")
    print(f"  {'table':14}{'to_csv ms':>11}{'native ms':>11}{'ratio':>8}")
    for rows, cols in ((2500, 70), (5000, 300)):
        frame = pd.DataFrame(rng.normal(size=(rows, cols)) * 10.0 ** rng.integers(-6, 8, size=(rows, cols)),
                             index=pd.bdate_range("2005-01-03", periods=rows), columns=[f"S{i}" for i in range(cols)])
        frame[frame.abs() < 1e-3] = np.nan
        t_pd, _ = best(frame.to_csv, tmp / "pandas.csv")
        t_ours, _ = best(_write_csv, frame, tmp / "ours.csv")
        assert (tmp / "pandas.csv").read_bytes() == (tmp / "ours.csv").read_bytes()
        print(f"  {f'{rows} x {cols}':14}{t_pd * 1e3:11.1f}{t_ours * 1e3:11.1f}{t_pd / t_ours:7.1f}x")


def main():
    with tempfile.TemporaryDirectory() as d:
        market = sample_market.generate(Path(d) / "market", seed=0, start="2013-06-01", end=END)
        bench_forms(market)
        bench_lookup(market)
        bench_record(market)
        bench_csv(Path(d))


if __name__ == "__main__":
    main()
