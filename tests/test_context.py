from pathlib import Path

import numpy as np
import pandas as pd
import pytest

from VarloAlpha.Module import Varlo_context as vc
from VarloAlpha.Module.Varlo_context import Context
from VarloAlpha.Module.Varlo_tradingday import TradingDay

TD = TradingDay()


def config(market, universe="all", begin="2017-01-01", end="2017-03-31", **extra):
    return {"data_path": Path(market), "base": {"begin_date": begin, "end_date": end, "universe": universe}, **extra}


def loaded(market, names=("close",), **kw):
    ctx = Context(config(market, **kw))
    ctx.data_names = list(names)
    ctx.get_data()
    return ctx


def test_construction_state(market_upper):
    cfg = config(market_upper, begin="2017-01-01", end="2017-01-31")
    ctx = Context(cfg)
    contracts = pd.read_pickle(Path(market_upper) / "dominant_contract.pkl", compression="gzip")
    cal = contracts.loc["2017-01-01":"2017-01-31"].index
    assert ctx.config is cfg and ctx.data_path == Path(market_upper)
    assert ctx.backtest_calendar.equals(cal) and ctx.begin_timestamp == cal[0] and ctx.end_timestamp == cal[-1]
    # labels that are not trading dates: first date on or after begin, last on or before end
    assert cal[0] == pd.Timestamp("2017-01-03") and cal[-1] == pd.Timestamp("2017-01-26")
    assert ctx.original_symbols == "all" and ctx.symbols == [] and ctx.original_alpha == {}
    assert ctx.timestamp == pd.Timestamp("2010-01-01") and ctx.alpha_multiplier == 1
    assert ctx.alpha.dtype == object and ctx.alpha.empty
    assert isinstance(ctx.TD, TradingDay) and list(ctx.data) == ["dominant_contract"]
    ctx.my_signal = pd.Series([1.0])  # strategies keep their own state on the context
    assert ctx.my_signal.iloc[0] == 1.0 and "my_signal" in dir(ctx)


def test_construction_failures(tmp_path, market_upper):
    cfg = {"base": {"begin_date": "2017-01-01", "end_date": "2017-01-31", "universe": "all"}}
    with pytest.raises(FileNotFoundError):
        Context(cfg)
    assert cfg["data_path"] == Path("Z:/cs_data.v3")
    with pytest.raises(KeyError, match="begin_date"):
        Context({"data_path": Path(market_upper), "base": {"end_date": "2017-01-31", "universe": "all"}})
    with pytest.raises(IndexError, match="2017-01-28 to 2017-01-31 in .*dominant_contract.pkl"):
        Context(config(market_upper, begin="2017-01-28", end="2017-01-31"))
    with pytest.raises(IndexError, match="2017-02-01 to 2017-01-01"):
        Context(config(market_upper, begin="2017-02-01", end="2017-01-01"))
    # a data directory given as text works as a Path
    text = Context({**config(market_upper), "data_path": str(market_upper)})
    text.data_names = ["close"]
    text.get_data()
    assert text.data_path == Path(market_upper) and not text.data["close"].empty


def test_universe_resolution_and_naming(market_upper, market_lower):
    up = loaded(market_upper, universe=["rb", "cu"])
    assert up.original_symbols == ["RB", "CU"]
    assert up.data["futures_attributes"].index[0] == "CU"
    lo = loaded(market_lower, universe=["rb", "cu", "SR"])
    assert lo.original_symbols == ["rb", "cu", "SR"]
    attrs = lo.data["futures_attributes"]
    assert "rb" in attrs.index and attrs.loc["SR", "symbol_name"] == "SR"
    assert list(lo.data["close"].columns) == ["rb", "cu", "SR"]
    named = loaded(market_upper, universe="precious")
    assert named.original_symbols == ["AU", "AG"]
    computed = loaded(market_lower, universe="market")  # computed from the context itself
    cols = pd.read_pickle(Path(market_lower) / "dominant_contract.pkl", compression="gzip").columns
    assert computed.original_symbols == list(cols)
    for bad in (("RB", "CU"), None, 3):
        ctx = Context(config(market_upper, universe=bad))
        ctx.data_names = []
        with pytest.raises(TypeError, match="^invalid universe$"):
            ctx.get_data()
    ctx = Context(config(market_upper, universe="no_such_universe"))
    ctx.data_names = []
    with pytest.raises(KeyError, match="'no_such_universe'.*universes.txt defines.*'all'.*'precious'"):
        ctx.get_data()


def test_begin_dates_sorted(market_upper):
    ctx = loaded(market_upper, universe=["IF", "RB", "SI", "CU"])
    bd = ctx.data["backtest_begin_date"]
    assert bd.is_monotonic_increasing and sorted(bd.index) == ["CU", "IF", "RB", "SI"]


def test_data_names_window_and_formats(market_upper, tmp_path):
    ctx = loaded(market_upper, names=["close", "close.pkl", "basis", "open_interest.csv"], universe=["RB", "CU"])
    d1 = ctx.begin_timestamp - 250 * TD
    close = pd.read_pickle(Path(market_upper) / "close.pkl", compression="gzip")
    expected = close.loc[d1:ctx.end_timestamp, ["RB", "CU"]]
    pd.testing.assert_frame_equal(ctx.data["close"], expected)
    assert ctx.data["close"].index[0] == d1
    basis = ctx.data["basis"]
    assert "field" not in basis.columns and basis.index.names[1] == "field" and list(basis.columns) == ["RB", "CU"]
    assert basis.index.get_level_values(0).min() >= d1
    oi = ctx.data["open_interest"]
    assert isinstance(oi.index, pd.DatetimeIndex) and oi.index[0] == d1
    # a later name with the same stem replaces an earlier one; a sub-directory path reads that file
    (tmp_path / "sub").mkdir()
    close.mul(2).to_csv(tmp_path / "sub" / "close.csv")
    ctx = Context(config(market_upper, universe=["RB"]))
    ctx.data_path = tmp_path  # the loader reads through the context's data path
    ctx.data_names = ["sub/close.csv"]
    ctx.get_data()
    assert ctx.data["close"]["RB"].iloc[-1] == pytest.approx(2 * close.loc[ctx.end_timestamp, "RB"])


def test_data_name_errors(market_upper):
    ctx = Context(config(market_upper, universe=["RB"]))
    ctx.data_names = ["sub/close.parquet"]
    with pytest.raises(ValueError, match="^invalid data name: sub/close.parquet$"):
        ctx.get_data()
    ctx = Context(config(market_upper, universe=["RB"]))
    with pytest.raises(AttributeError):
        ctx.get_data()  # the strategy never set data_names
    ctx = Context(config(market_upper, universe=["RB", "XX"]))
    ctx.data_names = []
    with pytest.raises(KeyError):
        ctx.get_data()


def _admission_context(market, begin_dates, when):
    ctx = Context(config(market, universe=list(begin_dates)))
    ctx.original_symbols = list(begin_dates)
    ctx.data["backtest_begin_date"] = pd.Series(pd.to_datetime(list(begin_dates.values())),
                                                index=list(begin_dates)).sort_values()
    ctx.timestamp = pd.Timestamp(when)
    return ctx


def test_admission_on_the_deadline_and_the_day_after(market_upper):
    d2 = pd.Timestamp("2017-03-01")
    exact = d2 + 20 * TD
    dates = {"A": "2016-01-04", "B": str(d2.date()), "C": "2017-06-01"}
    ctx = _admission_context(market_upper, dates, exact)
    ctx.get_symbols()
    assert ctx.symbols == ["A"]
    ctx.timestamp = exact + TD
    ctx.get_symbols()
    assert ctx.symbols == ["A", "B"]
    before = ctx.symbols
    ctx.timestamp = pd.Timestamp("2030-01-01")
    ctx.get_symbols()
    assert ctx.symbols == ["A", "B", "C"]
    ctx.get_symbols()
    assert ctx.symbols == ["A", "B", "C"] and before == ["A", "B"]
    # a time of day on the timestamp counts as that date
    ctx = _admission_context(market_upper, dates, exact + pd.Timedelta(hours=15))
    ctx.get_symbols()
    assert ctx.symbols == ["A"]


def test_admission_stops_at_a_missing_begin_date_and_scans_on(market_upper):
    ctx = _admission_context(market_upper, {"A": "2016-01-04", "B": None, "C": "2016-02-01"}, "2018-01-02")
    ctx.get_symbols()
    assert ctx.symbols == ["A", "C"]  # NaT sorts last and is never admitted
    # the scan continues from the current length of symbols, not from the start
    ctx = _admission_context(market_upper, {"A": "2016-01-04", "B": "2016-02-01"}, "2018-01-02")
    ctx.symbols = ["A", "B"]
    ctx.get_symbols()
    assert ctx.symbols == ["A", "B"]
    ctx.symbols = ["zz"]
    ctx.get_symbols()
    assert ctx.symbols == ["A", "B"]
    # a replaced offset is honoured
    ctx = _admission_context(market_upper, {"A": "2017-12-10", "B": "2017-12-20"}, "2018-01-02")
    ctx.TD = pd.offsets.Day()
    ctx.get_symbols()
    assert ctx.symbols == ["A"]
    ctx = Context(config(market_upper, universe=["RB"]))
    ctx.original_symbols = ["RB"]
    with pytest.raises(KeyError, match="backtest_begin_date"):
        ctx.get_symbols()


def _recording_context(market, universe, dates):
    ctx = Context(config(market, universe=universe, begin=dates[0], end=dates[-1]))
    ctx.original_symbols = list(universe)
    return ctx


def test_record_alpha_forms_and_rules(market_upper):
    ctx = _recording_context(market_upper, ["RB", "CU"], ["2017-01-03", "2017-01-05"])
    cal = ctx.backtest_calendar
    assert len(cal) == 3
    ctx.timestamp = cal[0]
    ctx.alpha = pd.Series({"RB": 1.5, "XX": 9.0})  # outside the universe: ignored
    ctx.record_alpha()
    assert ctx.original_alpha["alpha_dict"]["RB"] == [1.5] and np.isnan(ctx.original_alpha["alpha_dict"]["CU"][0])
    ctx.timestamp = cal[1]  # nothing assigned: the previous values are recorded again
    ctx.alpha_multiplier = 2
    ctx.record_alpha()
    ctx.timestamp = cal[2]
    ctx.alpha = pd.Series({"CU": 3, "RB": 4}, dtype=object)
    ctx.record_alpha()
    expected = pd.DataFrame({"RB": [1.5, 1.5, 4], "CU": [np.nan, np.nan, 3]}, index=cal)
    pd.testing.assert_frame_equal(ctx.original_alpha, expected)
    pd.testing.assert_series_equal(ctx.alpha_multiplier, pd.Series([1, 2, 2], index=cal))


def test_record_alpha_one_date_and_out_of_order(market_upper):
    ctx = _recording_context(market_upper, ["RB", "CU"], ["2017-01-03", "2017-01-03"])
    ctx.timestamp = ctx.backtest_calendar[0]
    ctx.alpha = pd.Series({"CU": 1.0, "RB": 2.0})
    ctx.record_alpha()
    assert ctx.original_alpha.shape == (1, 2) and list(ctx.alpha_multiplier) == [1]
    ctx = _recording_context(market_upper, ["RB"], ["2017-01-03", "2017-01-05"])
    ctx.timestamp = ctx.backtest_calendar[1]
    with pytest.raises(KeyError, match="alpha_dict"):
        ctx.record_alpha()


def test_record_alpha_duplicate_labels_and_index_changes(market_upper):
    ctx = _recording_context(market_upper, ["RB", "CU"], ["2017-01-03", "2017-01-04"])
    cal = ctx.backtest_calendar
    ctx.timestamp = cal[0]
    ctx.alpha = pd.Series([1.0, 2.0, 3.0], index=["RB", "CU", "RB"])  # the last value of a label wins
    ctx.record_alpha()
    ctx.timestamp = cal[1]
    ctx.alpha = pd.Series([5.0], index=["CU"])
    ctx.record_alpha()
    assert ctx.original_alpha["RB"].tolist()[0] == 3.0 and np.isnan(ctx.original_alpha["RB"].iloc[1])
    assert ctx.original_alpha["CU"].tolist() == [2.0, 5.0]


def test_set_parameters_and_do_operators(market_upper):
    ctx = _recording_context(market_upper, ["RB", "CU", "AU"], ["2017-01-03", "2017-01-03"])
    ctx.config["parameters"] = {"window": 5, "operators": {"rank": None, "sign": None}}
    ctx.set_parameters()
    assert ctx.window == 5
    ctx.original_alpha = pd.DataFrame({"RB": [1.0], "CU": [3.0], "AU": [2.0]})
    ctx.do_operators()  # rank then sign
    assert ctx.original_alpha.iloc[0].tolist() == [-1.0, 1.0, 0.0]
    ctx.operators = {"nosuch": {}}
    with pytest.raises(NameError, match="op_nosuch"):
        ctx.do_operators()
    bare = _recording_context(market_upper, ["RB"], ["2017-01-03", "2017-01-03"])
    frame = pd.DataFrame({"RB": [1.0]})
    bare.original_alpha = frame
    bare.set_parameters()  # no parameters section
    bare.do_operators()
    assert bare.original_alpha is frame
    assert callable(vc.op_rank)


def test_final_record_equals_pandas_construction(market_upper):
    ctx = _recording_context(market_upper, ["RB", "CU", "AU"], ["2017-01-03", "2017-01-06"])
    for i, day in enumerate(ctx.backtest_calendar):
        ctx.timestamp = day
        ctx.alpha = pd.Series({"RB": 0.1 * i, "AU": np.nan} if i % 2 else {"CU": -1.0 * i})
        ctx.record_alpha()
        if day != ctx.end_timestamp:
            lists = {k: list(v) for k, v in ctx.original_alpha["alpha_dict"].items()}
    lists = {k: v + [ctx.alpha.to_dict().get(k, np.nan)] for k, v in lists.items()}
    expected = pd.DataFrame(lists, index=ctx.backtest_calendar)
    pd.testing.assert_frame_equal(ctx.original_alpha, expected, check_exact=True)
    assert ctx.original_alpha.columns.equals(expected.columns) and ctx.original_alpha.columns.dtype == expected.columns.dtype
    # int values keep pandas' own construction (an int column stays int)
    ctx = _recording_context(market_upper, ["RB"], ["2017-01-03", "2017-01-04"])
    for day in ctx.backtest_calendar:
        ctx.timestamp = day
        ctx.alpha = pd.Series({"RB": 3})
        ctx.record_alpha()
    assert ctx.original_alpha["RB"].dtype == np.int64


def test_context_pickles_and_copies_mid_run(market_upper):
    import copy
    import pickle
    ctx = loaded(market_upper, universe=["rb", "cu", "SR"])
    days = ctx.backtest_calendar

    def run(c, dates):
        for d in dates:
            c.timestamp = d
            c.get_symbols()
            c.alpha = c.data["close"].loc[:d, c.symbols].iloc[-1]
            c.record_alpha()

    run(ctx, days[:30])
    copies = [pickle.loads(pickle.dumps(ctx)), copy.deepcopy(ctx), copy.copy(ctx)]
    run(ctx, days[30:])
    for c in copies:
        assert type(c) is Context and c.TD == ctx.TD and c.symbols == ctx.symbols[:len(c.symbols)]
        c.note = 1
        assert not hasattr(ctx, "note")
    for c in copies[:2]:
        assert c.TD is not ctx.TD and c.data["close"] is not ctx.data["close"]
        run(c, days[30:])
        pd.testing.assert_frame_equal(c.original_alpha, ctx.original_alpha)



def test_attribute_table_parsed_once_and_a_rewrite_seen(market_upper, tmp_path):
    import shutil
    import subprocess
    import sys
    import textwrap

    import VarloAlpha

    shutil.copytree(Path(VarloAlpha.__file__).parent, tmp_path / "VarloAlpha")
    csv = tmp_path / "VarloAlpha" / "Module" / "futures_attributes.csv"
    script = textwrap.dedent(f"""
        import time
        from pathlib import Path
        import pandas as pd
        import VarloAlpha.Module as package
        from VarloAlpha.Module.Varlo_context import Context

        def table():
            ctx = Context({{"data_path": Path({str(market_upper)!r}),
                           "base": {{"begin_date": "2017-01-01", "end_date": "2017-01-31", "universe": "all"}}}})
            ctx.data_names = []
            ctx.get_data()
            return ctx.data["futures_attributes"]

        time.sleep(2.1)  # a file changed within the clock's tick is always read
        first = table()
        first.loc["CU", "contract_multiplier"] = -1  # the caller's own copy
        kept = table()
        assert len(package._attributes_memo) == 1
        pd.testing.assert_frame_equal(kept, pd.read_csv({str(csv)!r}, index_col=0, parse_dates=["backtest_begin_date"]))
        text = Path({str(csv)!r}).read_text()
        Path({str(csv)!r}).write_text(text.replace("CU,cu,1993-03-01,nonferrous,5,", "CU,cu,1993-03-01,nonferrous,7,"))
        time.sleep(2.1)  # same size, new content, in place
        print(kept.loc["CU", "contract_multiplier"], table().loc["CU", "contract_multiplier"])
    """)
    env = dict(__import__("os").environ, PYTHONPATH=str(tmp_path))
    out = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, text=True, check=True)
    assert out.stdout.split() == ["5", "7"]
