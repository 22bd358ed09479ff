"""Context.history / history_values against the pandas expression they stand for."""
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

from VarloAlpha.Module.Varlo_context import Context

NS = (1, 20, 400, 0, -3, np.int64(7))


def loaded(market, names, begin="2017-08-21", end="2017-10-31", universe="all"):
    ctx = Context({"data_path": Path(market), "base": {"begin_date": begin, "end_date": end, "universe": universe}})
    ctx.data_names = list(names)
    ctx.get_data()
    return ctx


def check(ctx, name, ns=NS):
    for n in ns:
        expected = ctx.data[name].loc[:ctx.timestamp, ctx.symbols].iloc[-n:]
        got = ctx.history(name, n)
        pd.testing.assert_frame_equal(got, expected, check_freq=True)
        assert got.columns.dtype == expected.columns.dtype and got.index.dtype == expected.index.dtype
        values = ctx.history_values(name, n)
        assert values.dtype == np.float64 and not values.flags.writeable
        np.testing.assert_array_equal(values, expected.to_numpy(dtype="float64"))


@pytest.mark.parametrize("naming", ["upper", "lower"])
def test_every_date_of_a_run(naming, market_upper, market_lower):
    market = market_upper if naming == "upper" else market_lower
    ctx = loaded(market, ["close", "volume", "basis"])
    close = ctx.data["close"]
    late = close.loc["2017-09-15":].copy()  # a table that starts after the run's first date
    ctx.data["late"] = late
    admitted = set()
    for i, dd in enumerate(ctx.backtest_calendar):
        ctx.timestamp = dd
        ctx.get_symbols()
        admitted.add(len(ctx.symbols))
        if i == 30:  # replaced mid-run: other values, other column order
            ctx.data["close"] = (close * 2.0)[close.columns[::-1]]
        if i == 50:  # dtypes changed in place on the same object: the fast path must step aside
            ctx.data["volume"]["CU" if naming == "upper" else ctx.data["volume"].columns[0]] = 1
        for name in ("close", "volume", "late", "basis"):
            check(ctx, name, ns=(20,) if i % 7 else NS)
    assert len(admitted) > 1  # symbols were admitted during the run


def test_writes_and_fallbacks(market_upper):
    ctx = loaded(market_upper, ["close", "open_interest.csv"])
    ctx.timestamp = ctx.backtest_calendar[40]
    ctx.get_symbols()
    first = ctx.history_values("close", 5)
    ctx.data["close"].iloc[-400:, :] = 7.0  # an in-place write the next call must see
    check(ctx, "close")
    assert not np.all(first == 7.0)  # earlier results do not alias the table
    out = ctx.history("close", 5)
    out.iloc[0, 0] = -1.0
    assert ctx.data["close"].loc[:ctx.timestamp, ctx.symbols].iloc[-5:].iloc[0, 0] != -1.0
    check(ctx, "open_interest")  # read from CSV
    ctx.data["ints"] = ctx.data["close"].fillna(0).astype("int64")
    ctx.data["mixed"] = ctx.data["close"].assign(CU=1)
    ctx.data["unsorted"] = ctx.data["close"].iloc[::-1]
    for name in ("ints", "mixed", "unsorted"):
        check(ctx, name)
    assert ctx.history("ints", 3).dtypes.eq("int64").all()
    with pytest.raises(KeyError):
        ctx.history("no_such_table", 3)
    ctx.symbols = ctx.symbols + ["NOPE"]
    with pytest.raises(KeyError):
        ctx.history("close", 3)
    with pytest.raises(KeyError):
        ctx.history_values("close", 3)
    ctx.symbols = []
    check(ctx, "close")
    ctx.symbols = ["CU", "CU", "AL"]  # repeated labels select the column twice, as .loc does
    check(ctx, "close")
    ctx.timestamp = pd.Timestamp("2000-01-01")  # before the table: no rows
    check(ctx, "close")
