from pathlib import Path

import numpy as np
import pandas as pd
import pytest

from VarloAlpha.Module import Varlo_module as vm
from VarloAlpha.Module.Varlo_tradingday import TradingDay

TD = TradingDay()
ATTRS = pd.read_csv(Path(vm.__file__).parent / "futures_attributes.csv", index_col=0)


def run_config(market, universe="all", begin="2017-06-01", end="2017-12-31", **extra):
    return {"data_path": Path(market), "base": {"begin_date": begin, "end_date": end, "universe": universe},
            "trade": {"capital": 10_000_000, "leverage": 1}, **extra}


def momentum_init(context):
    context.data_names = ["close"]


def momentum(context):
    close = context.data["close"].loc[:context.timestamp, context.symbols]
    context.alpha = close.iloc[-1] / close.iloc[-6] - 1
    context.alpha_multiplier = 1 + (context.timestamp.month % 2)


def plain_get_alpha(config, init, daily):
    """The collection loop written directly in pandas, as a reference."""
    data_path = config["data_path"]
    contracts = pd.read_pickle(data_path / "dominant_contract.pkl", compression="gzip")
    calendar = contracts.loc[config["base"]["begin_date"]:config["base"]["end_date"]].index

    class Plain:
        pass

    ctx = Plain()
    ctx.data_path, ctx.TD, ctx.timestamp = data_path, TD, None
    init(ctx)
    universe = config["base"]["universe"]
    universe = [s.upper() for s in universe] if isinstance(universe, list) else list(ATTRS.index)
    bd = ATTRS.loc[universe, "backtest_begin_date"].map(pd.Timestamp).sort_values()
    d1 = calendar[0] - 250 * TD
    ctx.data = {n: pd.read_pickle(data_path / f"{n}.pkl", compression="gzip").loc[d1:calendar[-1], universe].copy()
                for n in ctx.data_names}
    rows, mults = [], []
    for dd in calendar:
        ctx.timestamp = dd
        deadline = dd - 20 * TD
        ctx.symbols = list(bd.index[: int((bd < deadline).sum())])
        daily(ctx)
        d = ctx.alpha.to_dict()
        rows.append([d.get(s, np.nan) for s in universe])
        mults.append(ctx.alpha_multiplier)
    return pd.DataFrame(rows, index=calendar, columns=universe), pd.Series(mults, index=calendar)


def test_get_alpha_matches_the_plain_loop(market_upper):
    cfg = run_config(market_upper)
    alpha, mult = vm.get_alpha(cfg, momentum_init, momentum)
    ref_alpha, ref_mult = plain_get_alpha(cfg, momentum_init, momentum)
    pd.testing.assert_frame_equal(alpha, ref_alpha, check_dtype=False)
    pd.testing.assert_series_equal(mult, ref_mult)
    admitted = alpha.notna().any()
    assert admitted["RB"] and not admitted["PX"]  # PX lists in 2023, after this range


def test_get_alpha_call_order_and_returns(market_upper):
    seen = []

    def init(ctx):
        seen.append(("init", hasattr(ctx, "data_names"), "close" in ctx.data))
        ctx.data_names = []

    def daily(ctx):
        seen.append(("day", ctx.timestamp, list(ctx.symbols) == ctx.symbols, isinstance(ctx.original_alpha, dict)))
        ctx.alpha = pd.Series({"RB": 1.0})
        return "ignored"

    cfg = run_config(market_upper, universe=["RB", "CU"], begin="2017-06-01", end="2017-06-07",
                     parameters={"operators": {"sign": None}})
    alpha, mult = vm.get_alpha(cfg, init, daily)
    assert seen[0] == ("init", False, False)
    assert [s[1] for s in seen[1:]] == list(alpha.index) and all(s[3] for s in seen[2:])
    assert alpha["RB"].tolist() == [1.0] * len(alpha)  # the context's chain (sign) ran on the record
    with pytest.raises(TypeError):
        vm.get_alpha(cfg, init)
    with pytest.raises(TypeError):
        vm.get_alpha(cfg, init, daily, None)

    def failing(ctx):
        raise RuntimeError("strategy broke")

    with pytest.raises(RuntimeError, match="strategy broke"):
        vm.get_alpha(cfg, init, failing)


def test_get_alpha_lower_case_market(market_lower):
    cfg = run_config(market_lower, universe=["rb", "cu", "SR"], begin="2017-06-01", end="2017-06-30")
    alpha, _ = vm.get_alpha(cfg, momentum_init, momentum)
    assert list(alpha.columns) == ["rb", "cu", "SR"] and alpha.notna().all().all()


@pytest.fixture
def frame():
    rng = np.random.default_rng(0)
    idx = pd.date_range("2017-01-02", periods=30, freq="B")
    values = rng.normal(size=(30, 5))
    values[3, 1] = np.nan
    values[7] = np.nan
    return pd.DataFrame(values, index=idx, columns=["RB", "CU", "IF", "IH", "IC"])


def test_position_alpha_chain_scale_and_multiplier(frame):
    before = frame.copy()
    default = vm.get_position_alpha.__defaults__ if hasattr(vm.get_position_alpha, "__defaults__") else None
    plain = vm.get_position_alpha(frame)
    pd.testing.assert_frame_equal(plain, vm.op_scale(frame) * 1)
    np.testing.assert_allclose(plain.abs().sum(axis=1).drop(frame.index[7]), 1.0)
    mult = pd.Series(2.0, index=frame.index[5:].append(pd.DatetimeIndex(["2030-01-01"])))
    out = vm.get_position_alpha(frame, mult, {"operators": {}})
    assert out.index.equals(frame.index.union(mult.index)) and out.iloc[:5].isna().all().all()
    pd.testing.assert_frame_equal(out.loc[frame.index[5:]], 2 * vm.op_scale(frame).loc[frame.index[5:]], check_freq=False)
    smooth_rank = {"operators": {"smooth": {"smooth": 3}, "rank": None}}
    rank_smooth = {"operators": {"rank": None, "smooth": {"smooth": 3}}}
    expected = vm.op_scale(vm.op_rank(vm.op_smooth(frame, {"smooth": 3})))
    pd.testing.assert_frame_equal(vm.get_position_alpha(frame, 1, smooth_rank), expected)
    pd.testing.assert_frame_equal(vm.get_position_alpha(frame, 1, rank_smooth),
                                  vm.op_scale(vm.op_smooth(vm.op_rank(frame), {"smooth": 3})))
    # in-place operators run on a copy only
    vm.get_position_alpha(frame, 1, {"operators": {"sign": None, "longshort": {"longshort": 1}, "index_futures": {}}})
    pd.testing.assert_frame_equal(frame, before)
    assert default is None or default[-1] == {"operators": {}}


def test_position_alpha_errors(frame):
    before = frame.copy()
    with pytest.raises(NameError, match="op_nosuch"):
        vm.get_position_alpha(frame, 1, {"operators": {"sign": None, "nosuch": {}}})
    with pytest.raises(AttributeError):
        vm.get_position_alpha(frame, 1, {"operators": None})
    with pytest.raises(KeyError):
        vm.get_position_alpha(frame, 1, {})
    with pytest.raises(ValueError, match="invalid op_smooth mode"):
        vm.get_position_alpha(frame, 1, {"operators": {"smooth": {"smooth": 2, "mode": "median"}}})
    pd.testing.assert_frame_equal(frame, before)


def write_prices(path, prevclose, vwap):
    path.mkdir(exist_ok=True)
    prevclose.to_pickle(path / "dominant_prevclose.pkl", compression="gzip")
    vwap.to_pickle(path / "dominant_vwap.pkl", compression="gzip")


def pandas_position(position_alpha, config, prevclose, vwap, attrs):
    prevclose = prevclose.reindex_like(position_alpha)
    vwap = vwap.reindex_like(position_alpha)
    if not position_alpha.columns.str.upper().equals(position_alpha.columns):
        attrs = attrs.set_axis(attrs["symbol_name"].values)
    cm = attrs["contract_multiplier"].loc[position_alpha.columns]
    money = config["trade"]["capital"] * config["trade"]["leverage"]
    volume = position_alpha.mul(money) / prevclose.mul(cm, axis=1)
    vp = volume.round(0)
    return vp * vwap.mul(cm, axis=1) / config["trade"]["capital"], vp


@pytest.mark.parametrize("lower", [False, True])
def test_get_position_matches_pandas(tmp_path, frame, lower):
    cols = ["rb", "cu", "IF", "IH", "IC"] if lower else list(frame.columns)
    pa = vm.get_position_alpha(frame).set_axis(cols, axis=1)
    rng = np.random.default_rng(1)
    prevclose = pd.DataFrame(rng.uniform(1e3, 5e4, size=pa.shape), index=pa.index, columns=cols)
    prevclose.iloc[2, 0] = np.nan
    prevclose.iloc[4, 1] = 0.0  # a zero close gives an infinite count
    vwap = prevclose * rng.uniform(0.98, 1.02, size=pa.shape)
    # a date and a symbol missing from the price files, an extra one present
    write_prices(tmp_path, prevclose.drop(index=pa.index[10]).assign(XX=1.0),
                 vwap.drop(columns=cols[3]))
    cfg = {"data_path": tmp_path, "trade": {"capital": 10_000_000, "leverage": 2}}
    position, volume = vm.get_position(pa, cfg)
    ref_pos, ref_vol = pandas_position(pa, cfg, prevclose.drop(index=pa.index[10]), vwap.drop(columns=cols[3]), ATTRS)
    pd.testing.assert_frame_equal(volume, ref_vol, check_exact=True)
    pd.testing.assert_frame_equal(position, ref_pos, check_exact=True)
    assert volume.iloc[10].isna().all() and position[cols[3]].isna().all()
    assert np.isinf(volume.iloc[4, 1]) and volume.iloc[2].isna()[cols[0]]
    assert cfg == {"data_path": tmp_path, "trade": {"capital": 10_000_000, "leverage": 2}}


def test_get_position_price_tables_pandas_conforms_itself(tmp_path, frame):
    # integer prices in reversed order, and a float table with a repeated date: pandas' own reindex
    pa = vm.get_position_alpha(frame)
    ints = pd.DataFrame(1000, index=pa.index[::-1], columns=pa.columns[::-1]).astype({"RB": "int32"})
    floats = ints.astype(float).drop(index=pa.index[3])
    write_prices(tmp_path, ints, floats)
    cfg = {"data_path": tmp_path, "trade": {"capital": 10_000_000, "leverage": 1}}
    for got, ref in zip(vm.get_position(pa, cfg), pandas_position(pa, cfg, ints, floats, ATTRS)):
        pd.testing.assert_frame_equal(got, ref, check_exact=True)
    repeated = pd.concat([floats, floats.iloc[:1]])
    write_prices(tmp_path, repeated, repeated)
    with pytest.raises(ValueError) as ours:
        vm.get_position(pa, cfg)
    with pytest.raises(ValueError, match=str(ours.value)):
        repeated.reindex_like(pa)


def test_get_position_rounds_halves_to_even_and_leverage(tmp_path):
    idx = pd.date_range("2020-01-01", periods=1)
    # RB: 10 t a contract; prevclose 1000 -> one contract per 10,000 of money
    pa = pd.DataFrame({"RB": [0.5 / 1e3 * 1, ]}, index=idx)
    prices = pd.DataFrame({"RB": [1000.0]}, index=idx)
    write_prices(tmp_path, prices, prices * 1.01)
    volumes = {}
    for frac, lev in [(0.5, 1), (1.5, 1), (2.5, 1), (-2.5, 1), (3.5, 1), (2.5, 2)]:
        cfg = {"data_path": tmp_path, "trade": {"capital": 10_000, "leverage": lev}}
        position, volume = vm.get_position(pa * 0 + frac, cfg)
        volumes[(frac, lev)] = volume.iloc[0, 0]
        assert position.iloc[0, 0] == volume.iloc[0, 0] * 1010.0 * 10 / 10_000
    assert volumes == {(0.5, 1): 0, (1.5, 1): 2, (2.5, 1): 2, (-2.5, 1): -2, (3.5, 1): 4, (2.5, 2): 5}
    cfg = {"data_path": tmp_path, "trade": {"capital": 10_000, "leverage": 1, "trade_contract": "other"}}
    with pytest.raises(FileNotFoundError, match="other_prevclose.pkl"):
        vm.get_position(pa, cfg)
    with pytest.raises(KeyError, match="leverage"):
        vm.get_position(pa, {"data_path": tmp_path, "trade": {"capital": 1}})
    # numbers the pandas arithmetic refuses are refused with its exception types, naming the parameter
    for capital, error in [("1e8", TypeError), (10**400, OverflowError)]:
        with pytest.raises(error, match="capital"):
            vm.get_position(pa, {"data_path": tmp_path, "trade": {"capital": capital, "leverage": 1}})
    text, _ = vm.get_position(pa, {"data_path": str(tmp_path), "trade": {"capital": 10_000, "leverage": 1}})
    assert text.equals(vm.get_position(pa, {"data_path": tmp_path, "trade": {"capital": 10_000, "leverage": 1}})[0])


def test_get_position_reads_through_an_instrumented_reader(tmp_path, frame, monkeypatch):
    pa = vm.get_position_alpha(frame)
    prices = pd.DataFrame(1000.0, index=pa.index, columns=pa.columns)
    write_prices(tmp_path, prices, prices)
    real, seen = pd.read_pickle, []

    def recording(path, *args, **kwargs):
        seen.append((Path(path).name, kwargs))
        return real(path, *args, **kwargs)

    monkeypatch.setattr(pd, "read_pickle", recording)
    vm.get_position(pa, {"data_path": tmp_path, "trade": {"capital": 1e7, "leverage": 1}})
    assert seen == [("dominant_prevclose.pkl", {"compression": "gzip"}), ("dominant_vwap.pkl", {"compression": "gzip"})]


def test_get_position_bad_files_raise_the_readers_errors(tmp_path, frame):
    pa = vm.get_position_alpha(frame)
    prices = pd.DataFrame(1000.0, index=pa.index, columns=pa.columns)
    write_prices(tmp_path, prices, prices * 1.5)
    expected, _ = vm.get_position(pa, {"data_path": tmp_path, "trade": {"capital": 1e7, "leverage": 1}})
    (tmp_path / "dominant_vwap.pkl").write_bytes(b"not gzip")
    cfg = {"data_path": tmp_path, "trade": {"capital": 1e7, "leverage": 1}}
    with pytest.raises(Exception) as fast:
        vm.get_position(pa, cfg)
    with pytest.raises(type(fast.value)):
        pd.read_pickle(tmp_path / "dominant_vwap.pkl", compression="gzip")
    # a multi-member gzip stream reads like any other
    import gzip
    import pickle
    raw = pickle.dumps(prices * 1.5)
    (tmp_path / "dominant_vwap.pkl").write_bytes(gzip.compress(raw[:100]) + gzip.compress(raw[100:]))
    position, _ = vm.get_position(pa, cfg)
    pd.testing.assert_frame_equal(position, expected)


READ_BAD_FILE = r"""
import resource, sys
from pathlib import Path
import numpy as np, pandas as pd
from VarloAlpha.Module import Varlo_module as vm
data = Path(sys.argv[1])
pa = pd.DataFrame(0.1, index=pd.date_range("2017-01-02", periods=5), columns=["RB", "CU"])
cfg = {"data_path": data, "trade": {"capital": 1e7, "leverage": 1}}
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
def outcome(call, *args, **kwargs):
    try:
        call(*args, **kwargs)
        return "read"
    except Exception as e:
        return type(e).__name__
ours = outcome(vm.get_position, pa, cfg)
theirs = outcome(pd.read_pickle, data / "dominant_vwap.pkl", compression="gzip")
print(ours, theirs, (resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before) // 1024)
"""


@pytest.mark.parametrize("damage", ["directory", "truncated", "trailer"])
def test_get_position_bad_price_file_fails_like_pandas_in_bounded_memory(tmp_path, damage):
    import subprocess
    import sys
    rng = np.random.default_rng(1)
    prices = pd.DataFrame(rng.normal(size=(20_000, 20)), index=pd.date_range("1970-01-01", periods=20_000),
                          columns=[f"S{i}" for i in range(20)])
    write_prices(tmp_path, prices, prices)
    vwap = tmp_path / "dominant_vwap.pkl"
    packed = vwap.read_bytes()
    if damage == "directory":
        vwap.unlink()
        vwap.mkdir()
    elif damage == "truncated":  # whatever the cut leaves in the trailer's place claims ~4 GiB
        vwap.write_bytes(packed[:100_000] + b"\xf0\xff\xff\xff")
    else:  # pandas stops at the pickle's end and never checks the trailer: the file reads, the length check fails
        vwap.write_bytes(packed[:-4] + b"\xf0\xff\xff\xff")
    out = subprocess.run([sys.executable, "-c", READ_BAD_FILE, str(tmp_path)], capture_output=True, text=True,
                         timeout=120)
    assert out.returncode == 0, out.stderr[-2000:]
    ours, theirs, grown_mib = out.stdout.split()
    assert (ours, theirs) == {"directory": ("IsADirectoryError",) * 2, "truncated": ("EOFError",) * 2,
                              "trailer": ("BadGzipFile", "read")}[damage]
    # the file holds 3.2 MB of values; a trailer-sized buffer would be 4 GiB
    assert int(grown_mib) < 100
