"""A research run as fast as its data: the three forms of one strategy, the framework's per-day cost with a
fresh alpha Series every day, and the native report-table writer, each against the pandas formulation run
side by side in this process.

    PYTHONPATH=build/<tag>/pkg python3 bench/bench_speed.py      (or against the installed package)
"""

import contextlib
import io
import tempfile
import time
from pathlib import Path

import numpy as np
import pandas as pd

from VarloAlpha.Module import sample_market
from VarloAlpha.Module.Varlo_analyse import _write_csv
from VarloAlpha.Module.Varlo_context import Context
from VarloAlpha.examples import momentum
from VarloAlpha.Module.Varlo_module import backtest, get_alpha

LOOKBACK, SKIP = momentum.LOOKBACK, momentum.SKIP
BEGIN, END = "2015-01-01", "2024-12-31"


init = momentum.init


def daily_history(context):
    close = context.history("close", LOOKBACK + SKIP + 1)
    context.alpha = close.iloc[-1 - SKIP] / close.iloc[0] - 1


def daily_history_values(context):
    v = context.history_values("close", LOOKBACK + SKIP + 1)
    context.alpha = pd.Series(v[-1 - SKIP] / v[0] - 1, index=context.symbols)


def best(fn, *args, repeat=3):
    times, out = [], None
    for _ in range(repeat):
        t = time.perf_counter()
        out = fn(*args)
        times.append(time.perf_counter() - t)
    return min(times), out


def bench_forms(market):
    """The bundled example strategy, end to end (backtest, output off), in its three forms."""
    import matplotlib

    matplotlib.use("Agg")
    base = {"alpha_id": "VarloAlpha.examples.momentum", "begin_date": BEGIN, "end_date": END, "universe": "all"}

    def cfg(**kw):
        return {"data_path": market, "base": {**base, **kw}, "operators": {},
                "trade": {"trade_contract": "dominant", "matching_type": "vwap", "capital": 1e8, "leverage": 1},
                "output": {"output": False}}

    def quiet(fn, *args):
        with contextlib.redirect_stdout(io.StringIO()):
            return fn(*args)

    t_loc, ref = best(quiet, backtest, cfg())
    alpha_ref, _ = get_alpha(cfg(), momentum.init, momentum.get_alpha)
    rows = [(".loc (daily)", t_loc)]
    t, summary = best(quiet, backtest, cfg(), momentum.init, momentum.get_alpha_history)
    pd.testing.assert_series_equal(summary, ref, check_exact=True)
    rows.append(("history_values (daily)", t))
    for label, checks in (("whole frame, guard 3", 3), ("whole frame, guard off", 0)):
        t, summary = best(quiet, backtest, cfg(alpha_frame=True, lookahead_checks=checks))
        pd.testing.assert_series_equal(summary, ref, check_exact=True)
        rows.append((label, t))
    for label, fn in (("history (daily)", daily_history), ("history_values, list index", daily_history_values)):
        t, _ = best(quiet, backtest, cfg(), init, fn)
        rows.append((label + " *", t))
    print(f"backtest, output off, example momentum strategy, {alpha_ref.shape[0]} days x {alpha_ref.shape[1]} "
          "symbols (summaries identical)")
    print(f"  {'form':30}{'seconds':>10}{'vs .loc':>10}")
    for label, t in rows:
        print(f"  {label:30}{t:10.3f}{t_loc / t:9.1f}x")
    print("  * variants written here: a DataFrame window, or a Series built on the symbol list each day")


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

    def record_only(series):
        ctx = Context({"data_path": market, "base": {"begin_date": BEGIN, "end_date": END, "universe": syms}})
        ctx.original_symbols = syms
        cal = list(ctx.backtest_calendar)
        t = time.perf_counter()
        for i, dd in enumerate(cal):
            ctx.timestamp = dd
            ctx.alpha = series[i]
            ctx.record_alpha()
        return (time.perf_counter() - t) / len(cal)

    print("framework per day: get_alpha's slope between a 1-year and a 10-year run, and record_alpha alone "
          "(Series built beforehand)")
    for label, series in (("the same Series every day", reused), ("a fresh Series every day", fresh)):
        (t1, (a1, _)), (t10, (a10, _)) = run(series, "2024-01-01"), run(series, BEGIN)
        alone = min(record_only(series) for _ in range(5))
        print(f"  {label:28}{(t10 - t1) / (len(a10) - len(a1)) * 1e6:8.1f} us/day{alone * 1e6:8.1f} us record_alpha")


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


def bench_output(market, tmp):
    """An output-on run against an output-off run, and what the report tables cost with either writer."""
    from VarloAlpha.Module.Varlo_module import get_position, get_position_alpha

    base = {"alpha_id": "VarloAlpha.examples.momentum", "begin_date": BEGIN, "end_date": END, "universe": "all"}
    trade = {"trade_contract": "dominant", "matching_type": "vwap", "capital": 1e8, "leverage": 1}
    off = {"data_path": market, "base": base, "operators": {}, "trade": trade, "output": {"output": False}}
    on = {**off, "output": {"save_path": tmp / "reports" / "run_1", "print": False, "plot": False}}
    with contextlib.redirect_stdout(io.StringIO()):
        t_off, _ = best(backtest, off)
        t_on, _ = best(backtest, on)
    alpha, mult = get_alpha(off, momentum.init, momentum.get_alpha)
    position_alpha = get_position_alpha(alpha, mult, off)
    position, volume = get_position(position_alpha, off)
    # the eight tables: four result frames and four of about the same size (returns, next returns, ...)
    tables = [alpha, position_alpha, position, volume] * 2
    t_pd, _ = best(lambda: [t.to_csv(tmp / f"p{i}.csv") for i, t in enumerate(tables)])
    t_nat, _ = best(lambda: [_write_csv(t, tmp / f"n{i}.csv") for i, t in enumerate(tables)])
    assert all((tmp / f"p{i}.csv").read_bytes() == (tmp / f"n{i}.csv").read_bytes() for i in range(8))
    print(f"output on vs off (example strategy, .loc form; report tables written by the native writer)")
    print(f"  output off {t_off:.3f} s, output on {t_on:.3f} s: {t_on / t_off:.2f}x")
    print(f"  eight {alpha.shape[0]} x {alpha.shape[1]} tables: to_csv {t_pd:.3f} s, native {t_nat:.3f} s "
          f"({t_pd / t_nat:.1f}x); output on with to_csv instead would be about {(t_on - t_nat + t_pd) / t_off:.2f}x off")


def main():
    with tempfile.TemporaryDirectory() as d:
        market = sample_market.generate(Path(d) / "market", seed=0, start="2013-06-01", end=END)
        bench_forms(market)
        bench_lookup(market)
        bench_record(market)
        bench_csv(Path(d))
        bench_output(market, Path(d))


if __name__ == "__main__":
    main()
