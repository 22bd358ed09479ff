"""The whole-frame alpha path equals the daily loop exactly; the look-ahead guard catches reads of the future."""
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

from VarloAlpha.Module.Varlo_module import get_alpha, get_alpha_frame

LOOKBACK, SKIP = 20, 1


def config(market, **base):
    return {"data_path": Path(market), "base": {"begin_date": "2017-06-01", "end_date": "2017-12-29",
                                                "universe": "all", **base}}


def init(context):
    context.data_names = ["close"]
    context.operators = {"smooth": {"smooth": 3, "mode": "linear"}, "rank": {}}


def multiplier(context):
    cal = context.backtest_calendar
    return pd.Series(np.linspace(0.5, 1.5, len(cal)), index=cal)


def daily_loc(context):
    close = context.data["close"].loc[:context.timestamp, context.symbols]
    context.alpha = close.iloc[-1 - SKIP] / close.iloc[-1 - SKIP - LOOKBACK] - 1
    context.alpha_multiplier = multiplier(context).loc[context.timestamp]


def daily_history(context):
    v = context.history_values("close", LOOKBACK + SKIP + 1)
    context.alpha = pd.Series(v[-1 - SKIP] / v[0] - 1, index=context.symbols)
    context.alpha_multiplier = multiplier(context).loc[context.timestamp]


def whole_frame(context):
    close = context.data["close"]
    context.alpha_multiplier = multiplier(context)
    return close.shift(SKIP) / close.shift(SKIP + LOOKBACK) - 1


def test_three_forms_identical(market_upper, market_lower):
    for market in (market_upper, market_lower):
        ref, ref_m = get_alpha(config(market), init, daily_loc)
        assert ref.notna().any().any() and ref.isna().any().any()  # admission leaves NaN columns early on
        for alpha, mult in (get_alpha(config(market), init, daily_history),
                            get_alpha_frame(config(market), init, whole_frame)):
            pd.testing.assert_frame_equal(alpha, ref, check_exact=True, check_freq=True)
            pd.testing.assert_series_equal(mult, ref_m, check_exact=True)


def test_other_dtypes_and_a_number_multiplier_follow_the_loop(market_upper):
    def signs(context):
        context.alpha_multiplier = 2
        return np.sign(context.data["close"].diff()).fillna(0).astype("int64").iloc[:, ::-1]

    def daily(context):
        frame = signs(context).reindex(index=context.backtest_calendar, columns=context.original_symbols)
        context.alpha = frame.loc[context.timestamp, context.symbols]

    bare = lambda c: setattr(c, "data_names", ["close"])
    ref, ref_m = get_alpha(config(market_upper), bare, daily)
    alpha, mult = get_alpha_frame(config(market_upper), bare, signs)
    pd.testing.assert_frame_equal(alpha, ref, check_exact=True)
    pd.testing.assert_series_equal(mult, ref_m, check_exact=True)


def test_guard_catches_look_ahead(market_upper):
    bare = lambda c: setattr(c, "data_names", ["close"])
    future = lambda c: c.data["close"].pct_change(fill_method=None).shift(-1)
    zscore = lambda c: (c.data["close"] - c.data["close"].mean()) / c.data["close"].std()
    trailing = lambda c: c.data["close"].rolling(10).mean() / c.data["close"] - 1
    with pytest.raises(ValueError, match=r"look-ahead in get_alpha_frame: the alpha of \w+ on 2017-\d\d-\d\d changes "
                                         r"when the data end on 2017-"):
        get_alpha_frame(config(market_upper), bare, future)
    with pytest.raises(ValueError, match="^look-ahead"):
        get_alpha_frame(config(market_upper, lookahead_checks=1), bare, zscore)
    get_alpha_frame(config(market_upper, lookahead_checks=5), bare, trailing)
    alpha, _ = get_alpha_frame(config(market_upper, lookahead_checks=0), bare, future)  # off: no check
    assert alpha.notna().any().any()
    # the first date named is the earliest changed: a cut on the calendar's first date exposes it
    cal = get_alpha(config(market_upper), bare, lambda c: None)[0].index
    with pytest.raises(ValueError) as err:
        get_alpha_frame(config(market_upper), bare, zscore)
    first = pd.Timestamp(str(err.value).split(" on ")[1].split(" ")[0])
    assert first == cal[0]


def test_checks_are_bounded_by_the_dates(market_upper):
    import subprocess
    import sys

    script = ("import sys\nfrom pathlib import Path\n"
              "from VarloAlpha.Module.Varlo_module import get_alpha_frame\n"
              "calls = []\n"
              "base = {'begin_date': '2017-06-01', 'end_date': '2017-06-30', 'universe': 'all', 'lookahead_checks': 10**15}\n"
              "alpha, _ = get_alpha_frame({'data_path': Path(sys.argv[1]), 'base': base},\n"
              "                           lambda c: setattr(c, 'data_names', ['close']),\n"
              "                           lambda c: calls.append(1) or c.data['close'])\n"
              "print(len(calls), len(alpha))\n")
    # before the fix the guard walked every one of the 10**15 checks: the child is killed by the timeout
    done = subprocess.run([sys.executable, "-c", script, str(market_upper)], capture_output=True, text=True, timeout=120)
    calls, dates = map(int, done.stdout.split())
    assert calls == dates  # the full computation, then a cut after each date but the last


def test_guard_restores_the_context(market_upper):
    calls, ctx_of = [], []

    def frame(context):
        calls.append(context.data["close"].index[-1])
        assert context.symbols == [] and not hasattr(context, "seen")  # every call sees the context as the first
        context.seen = len(calls)
        ctx_of[:] = [context]
        context.alpha_multiplier = 3.0
        return context.data["close"]

    _, mult = get_alpha_frame(config(market_upper, lookahead_checks=2), lambda c: setattr(c, "data_names", ["close"]), frame)
    assert len(calls) == 3 and calls[0] == max(calls)  # the full computation first, then two cut ones
    assert (mult == 3.0).all() and ctx_of[0].seen == 1
    for checks in (0, 2):  # the context after the run: as the full computation and the daily walk left it
        ctx_after = []
        get_alpha_frame(config(market_upper, lookahead_checks=checks),
                        lambda c: setattr(c, "data_names", ["close"]),
                        lambda c: ctx_after.append(c) or c.data["close"])
        ctx = ctx_after[0]
        assert ctx.timestamp == ctx.end_timestamp and len(ctx.symbols) > 0
        assert ctx.data["close"].index[-1] == ctx.end_timestamp


def test_example_strategy_forms_and_the_backtest_hook(market_upper, tmp_path, monkeypatch):
    import matplotlib.pyplot as plt

    from VarloAlpha.examples import momentum
    from VarloAlpha.Module.Varlo_module import backtest

    cfg = config(market_upper, alpha_id="VarloAlpha.examples.momentum")
    cfg["parameters"] = {"lookback": 10}
    ref, ref_m = get_alpha(cfg, momentum.init, momentum.get_alpha)
    for alpha, mult in (get_alpha(cfg, momentum.init, momentum.get_alpha_history),
                        get_alpha_frame(cfg, momentum.init, momentum.get_alpha_frame)):
        pd.testing.assert_frame_equal(alpha, ref, check_exact=True)
        pd.testing.assert_series_equal(mult, ref_m, check_exact=True)

    monkeypatch.setattr(plt, "show", lambda *a, **k: None)
    calls, whole = [], momentum.get_alpha_frame
    monkeypatch.setattr(momentum, "get_alpha_frame", lambda c: calls.append(1) or whole(c))
    cfg.update(trade={"trade_contract": "dominant", "matching_type": "vwap", "capital": 10_000_000, "leverage": 1},
               operators={},
               output={"save_path": tmp_path / "r_1", "print": False, "plot": False, "report": False,
                       "last_position": False})
    daily = backtest(cfg)
    assert calls == []  # the flag is off
    cfg["base"]["alpha_frame"] = True
    framed = backtest(cfg)
    assert len(calls) == 4  # the run and three look-ahead checks
    pd.testing.assert_series_equal(framed, daily, check_exact=True)


def test_admission_scan_equals_a_call_per_date(market_upper, monkeypatch):
    import VarloAlpha.Module.Varlo_module as vm
    from VarloAlpha.Module.Varlo_context import Context

    def fresh(cls=Context):
        context = cls(config(market_upper))
        init(context)
        context.get_data()
        return context

    scan, daily = fresh(), fresh()
    counts, labels = scan._admission(scan.backtest_calendar)
    assert 0 < counts[0] < counts[-1]
    for dd, k in zip(daily.backtest_calendar, counts, strict=True):
        daily.timestamp = dd
        daily.get_symbols()
        assert daily.symbols == labels[:k]
    assert (scan.timestamp, scan.symbols) == (daily.timestamp, daily.symbols)

    class OneLess(Context):  # a replaced get_symbols is called on every date, as the daily loop does
        def get_symbols(self):
            Context.get_symbols(self)
            self.symbols = self.symbols[1:]

    assert fresh(OneLess)._admission(daily.backtest_calendar) is None
    monkeypatch.setattr(vm, "Context", OneLess)
    ref, _ = get_alpha(config(market_upper), init, daily_loc)
    alpha, _ = get_alpha_frame(config(market_upper), init, whole_frame)
    pd.testing.assert_frame_equal(alpha, ref, check_exact=True)
