"""The table cache: identical tables with the cache off, cold and warm; changed files seen; damaged entries
ignored and rewritten; concurrent writers; the size bound."""

import os
import pickle
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

import VarloAlpha.Module as package
from VarloAlpha.Module import sample_market
from VarloAlpha.Module.Varlo_context import _read_table

RACY_SECONDS = 2.1  # files changed more recently than this are neither looked up nor stored


def odd_frame():
    """Everything an entry must restore: freq, names, -0.0 and a NaN payload, ints, bools, text with gaps."""
    dates = pd.date_range("2020-01-01", periods=6, freq="B", name="date")
    values = np.arange(12.0).reshape(6, 2)
    values[0, 0], values[1, 1] = -0.0, np.frombuffer(np.uint64(0x7FF8000000000123).tobytes(), "f8")[0]
    frame = pd.DataFrame(values, index=dates, columns=pd.Index(["A", "B"], name="sym"))
    frame["n"] = np.arange(6, dtype="int32")
    frame["ok"] = [True, False] * 3
    frame["code"] = pd.Series(["x1", None, "x1", np.nan, "é", "y"], index=dates, dtype=object)
    frame["field"] = pd.array(["a", np.nan, "b", "a", "c", "a"], dtype=pd.StringDtype(na_value=np.nan))
    return frame


BYPASSED = {
    "multiindex": lambda: pd.DataFrame(np.ones((3, 2)), index=pd.date_range("2020-01-01", periods=3),
                                       columns=pd.MultiIndex.from_tuples([("a", "x"), ("a", "y")])),
    "extension": lambda: pd.DataFrame({"A": pd.array([1, None, 3], dtype="Int64")},
                                      index=pd.date_range("2020-01-01", periods=3)),
    "object": lambda: pd.DataFrame({"A": [[1], [2], [3]]}, index=pd.date_range("2020-01-01", periods=3)),
}


@pytest.fixture(scope="module")
def market(tmp_path_factory):
    root = tmp_path_factory.mktemp("cached")
    upper = sample_market.generate(root / "upper", seed=5, start="2017-01-01", end="2017-12-31",
                                   symbols=["CU", "AL", "IF", "T"])
    lower = sample_market.generate(root / "lower", seed=5, start="2017-01-01", end="2017-12-31",
                                   symbols=["CU", "AL"], naming="lower")
    odd_frame().to_pickle(upper / "odd.pkl", compression="gzip")
    for name, make in BYPASSED.items():
        make().to_pickle(upper / f"{name}.pkl", compression="gzip")
    time.sleep(RACY_SECONDS)
    return upper, lower


@pytest.fixture
def cache(tmp_path, monkeypatch):
    monkeypatch.setenv("VARLO_CACHE_DIR", str(tmp_path / "cache"))
    monkeypatch.delenv("VARLO_CACHE", raising=False)
    monkeypatch.delenv("VARLO_CACHE_SIZE", raising=False)
    forget()
    yield tmp_path / "cache"
    forget()


def forget():
    getattr(package, "_table_memo", {}).clear()


def entries(cache):
    return sorted(cache.glob("*.vtc")) if cache.exists() else []


def assert_identical(got, ref):
    pd.testing.assert_frame_equal(got, ref, check_exact=True, check_freq=True, check_flags=True)
    assert got.index.dtype == ref.index.dtype and got.index.name == ref.index.name
    assert got.columns.dtype == ref.columns.dtype and got.columns.name == ref.columns.name
    assert list(got.dtypes) == list(ref.dtypes)
    for j, dtype in enumerate(ref.dtypes):  # -0.0 and NaN payloads too
        if isinstance(dtype, np.dtype) and dtype.kind == "f":
            assert got.iloc[:, j].to_numpy().tobytes() == ref.iloc[:, j].to_numpy().tobytes()


@pytest.mark.parametrize("where, name", [("upper", "dominant_vwap"), ("upper", "close"), ("upper", "basis"),
                                         ("upper", "dominant_contract"), ("lower", "dominant_settle"),
                                         ("lower", "dominant_contract"), ("upper", "odd")])
def test_off_cold_and_warm_give_the_pickle_bit_for_bit(market, cache, monkeypatch, where, name):
    path = market[where == "lower"] / f"{name}.pkl"
    ref = pd.read_pickle(path, compression="gzip")
    monkeypatch.setenv("VARLO_CACHE", "0")
    assert_identical(_read_table(path), ref)
    assert entries(cache) == []
    monkeypatch.delenv("VARLO_CACHE")
    assert_identical(_read_table(path), ref)  # cold
    assert len(entries(cache)) == 1
    unpickled = []
    monkeypatch.setattr(pickle, "loads", lambda *a: unpickled.append(a) or pytest.fail("unpickled"))
    assert_identical(_read_table(path), ref)  # this process
    forget()
    assert_identical(_read_table(path), ref)  # from disk
    assert unpickled == []


@pytest.mark.parametrize("name", sorted(BYPASSED))
def test_tables_it_cannot_hold_exactly_bypass_it(market, cache, name):
    path = market[0] / f"{name}.pkl"
    ref = pd.read_pickle(path, compression="gzip")
    for _ in range(2):
        assert_identical(_read_table(path), ref)
    assert entries(cache) == []


def test_each_read_gets_its_own_table(market, cache):
    path = market[0] / "close.pkl"
    ref = pd.read_pickle(path, compression="gzip")
    first = _read_table(path)
    first.iloc[0, 0] = 1e9
    first.index.name = "changed"
    first.columns.name = "changed"
    assert_identical(_read_table(path), ref)


def test_a_file_replaced_in_place_is_seen_even_with_its_old_mtime(tmp_path, cache):
    path = tmp_path / "table.pkl"
    frame = odd_frame()[["A", "B"]]
    stored = {"method": "gzip", "compresslevel": 0, "mtime": 0}  # same size for same-length content
    frame.to_pickle(path, compression=stored)
    time.sleep(RACY_SECONDS)
    assert_identical(_read_table(path), frame)
    assert len(entries(cache)) == 1
    before = os.stat(path)
    changed = frame * 2
    changed.to_pickle(path, compression=stored)
    os.utime(path, ns=(before.st_atime_ns, before.st_mtime_ns))
    after = os.stat(path)
    assert (after.st_size, after.st_mtime_ns, after.st_ino) == (before.st_size, before.st_mtime_ns, before.st_ino)
    assert_identical(_read_table(path), changed)


@pytest.mark.parametrize("damage", ["flip", "truncate", "foreign"])
def test_damaged_entries_are_ignored_and_rewritten(market, cache, damage):
    path, other = market[0] / "close.pkl", market[0] / "dominant_vwap.pkl"
    ref = pd.read_pickle(path, compression="gzip")
    _read_table(other)
    (foreign,) = entries(cache)
    _read_table(path)
    (entry,) = set(entries(cache)) - {foreign}
    good = entry.read_bytes()
    bad = {"flip": good[:-100] + bytes([good[-100] ^ 1]) + good[-99:], "truncate": good[: len(good) // 2],
           "foreign": foreign.read_bytes()}[damage]
    entry.write_bytes(bad)
    forget()
    assert_identical(_read_table(path), ref)
    assert entry.read_bytes() == good


def test_two_processes_fill_the_same_entries_at_once(market, cache):
    names = ["close", "basis", "dominant_contract"]
    script = (
        "import sys, pickle; from VarloAlpha.Module.Varlo_context import _read_table\n"
        "tables = [_read_table(p) for p in sys.argv[2:]]\n"
        "open(sys.argv[1], 'wb').write(pickle.dumps(tables))\n"
    )
    paths = [str(market[0] / f"{n}.pkl") for n in names]
    outs = [cache.parent / f"out{i}.pkl" for i in range(2)]
    procs = [subprocess.Popen([sys.executable, "-c", script, str(out), *paths]) for out in outs]
    assert [p.wait(timeout=120) for p in procs] == [0, 0]
    refs = [pd.read_pickle(p, compression="gzip") for p in paths]
    for out in outs:
        for got, ref in zip(pd.read_pickle(out), refs):
            assert_identical(got, ref)
    assert len(entries(cache)) == 3 and not [p for p in cache.iterdir() if p.suffix == ".tmp"]
    for p, ref in zip(paths, refs):
        assert_identical(_read_table(p), ref)


def test_the_size_bound_keeps_the_most_recent_entries(market, cache, monkeypatch):
    paths = [market[0] / f"{n}.pkl" for n in ("close", "dominant_vwap", "dominant_settle")]
    _read_table(paths[0])
    size = entries(cache)[0].stat().st_size
    monkeypatch.setenv("VARLO_CACHE_SIZE", str(2 * size))
    for p in paths[1:]:
        _read_table(p)
    kept = entries(cache)
    assert len(kept) == 2 and sum(e.stat().st_size for e in kept) <= 2 * size
    forget()
    assert_identical(_read_table(paths[0]), pd.read_pickle(paths[0], compression="gzip"))
    monkeypatch.setenv("VARLO_CACHE_SIZE", "lots")
    with pytest.raises(ValueError, match="VARLO_CACHE_SIZE"):
        _read_table(paths[0])
