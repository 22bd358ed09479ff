from pathlib import Path

import matplotlib.pyplot as plt
import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings, strategies as st

from VarloAlpha import ingest
from VarloAlpha.ingest import IngestError, IngestWarning, build_market
from VarloAlpha.Module import sample_market

TABLES = (*ingest.DOMINANT_TABLES, *ingest.STRATEGY_TABLES)
MULT = sample_market.load_attributes()["contract_multiplier"]


def read(directory, name):
    return pd.read_pickle(Path(directory) / f"{name}.pkl", compression="gzip")


def bars_of(rows):
    """Bars from (date, contract, open interest) rows, prices distinct per row."""
    frame = pd.DataFrame(rows, columns=["date", "contract", "open_interest"])
    price = 100.0 + np.arange(len(frame))
    for i, col in enumerate(("open", "high", "low", "close", "settle")):
        frame[col] = price + i / 10
    frame["volume"] = 10.0
    return frame


def reference_dominant(bars):
    """(date, symbol) -> contract key, by the rule read literally: one symbol-date at a time."""
    out = {}
    for symbol, rows in bars.groupby("symbol"):
        prev_values, prev_dom, first = {}, None, True
        for date, day in rows.groupby("date", sort=True):
            values = dict(zip(day["key"], day["rank"].fillna(0)))
            pool = list(values)
            if not first and prev_dom in values:
                pool = [k for k in pool if k >= prev_dom]
            seen = values if first else prev_values
            dom = max(pool, key=lambda k: (seen.get(k, 0.0), k))
            out[(date, symbol)] = dom
            prev_values, prev_dom, first = values, dom, False
    return out


def random_bars(seed):
    rng = np.random.default_rng(seed)
    days = sample_market.trading_dates("2024-03-01", "2024-06-01")[:25]
    rows = []
    for symbol, three_digit in (("RB", False), ("SR", True), ("CU", False)):
        months = np.sort(rng.choice(np.arange(24), size=5, replace=False))
        for m in months:
            year, month = 2024 + m // 12, m % 12 + 1
            code = f"{symbol}{year % 10}{month:02d}" if three_digit else f"{symbol.lower()}{year % 100}{month:02d}"
            live = days[rng.random(len(days)) < 0.7]
            for d in live:
                rows.append((d, code, symbol, year * 12 + month - 1))
    frame = pd.DataFrame(rows, columns=["date", "contract", "symbol", "key"])
    n = len(frame)
    # Few distinct open interests, so ties are common.
    frame["open_interest"] = rng.integers(0, 4, n).astype(float)
    frame.loc[rng.random(n) < 0.05, "open_interest"] = np.nan
    for col in ("open", "high", "low", "close", "settle"):
        frame[col] = rng.uniform(50, 150, n)
        frame.loc[rng.random(n) < 0.05, col] = np.nan
    frame["volume"] = rng.integers(0, 3, n).astype(float)
    frame["turnover"] = rng.uniform(1e4, 1e5, n)
    return frame.sample(frac=1.0, random_state=seed, ignore_index=True)  # any row order


class TestRollRule:
    def test_hand_made_market(self, tmp_path):
        d = pd.bdate_range("2024-01-02", periods=7)
        rows = [
            (d[0], "RB2401", 100), (d[0], "RB2405", 100), (d[0], "RB2409", 10),  # first date: tie -> later
            (d[1], "RB2401", 5), (d[1], "RB2405", 100), (d[1], "RB2409", 100),  # from d0: 2405
            (d[2], "RB2401", 500), (d[2], "RB2405", 50), (d[2], "RB2409", 200),  # d1 tie -> roll to 2409
            (d[3], "CU2402", 1),  # RB has no bar: a gap day
            (d[4], "RB2401", 600), (d[4], "RB2405", 50), (d[4], "RB2409", 200),  # 2401 led: no roll back
            (d[5], "RB2401", 600), (d[5], "RB2405", 300),  # 2409 gone: among all
            (d[6], "RB2405", 10), (d[6], "RB2409", 900),  # 2401 gone; 2409 had no bar on d5
        ]
        bars = bars_of(rows)
        out = build_market(bars, tmp_path / "m", print_report=False)
        contract = read(out, "dominant_contract")["RB"]
        expected = ["RB2405", "RB2405", "RB2409", np.nan, "RB2409", "RB2401", "RB2405"]
        assert contract.tolist()[:3] == expected[:3] and pd.isna(contract.iloc[3])
        assert contract.tolist()[4:] == expected[4:]
        settle = bars.set_index(["date", "contract"])["settle"]
        # The gap day is skipped: d4's previous date is d2, and the dominant's own history is used.
        assert read(out, "dominant_prevsettle")["RB"].iloc[4] == settle[(d[2], "RB2409")]
        assert np.isnan(read(out, "dominant_nextreturnonsettle")["RB"].iloc[4])  # 2409 has no bar on d5
        assert read(out, "dominant_prevsettle")["RB"].iloc[6] == settle[(d[5], "RB2405")]
        report = (out / ingest.REPORT_NAME).read_text()
        assert "RB" in report and "rolls" in report and "0 from turnover, 7 missing" in report

        by_volume = bars.assign(volume=bars["open_interest"], open_interest=1.0)
        out = build_market(by_volume, tmp_path / "v", rank_by="volume", print_report=False)
        pd.testing.assert_frame_equal(read(out, "dominant_contract"), read(tmp_path / "m", "dominant_contract"))

    @settings(max_examples=15, deadline=None)
    @given(seed=st.integers(0, 2**31))
    def test_random_bars_against_the_rule_and_pandas(self, seed, tmp_path_factory):
        bars = random_bars(seed)
        out = build_market(bars.drop(columns=["symbol", "key"]), tmp_path_factory.mktemp("r"),
                           print_report=False)
        t = {name: read(out, name) for name in TABLES}

        dom = pd.Series(reference_dominant(bars.assign(rank=bars["open_interest"])))
        dom.index.names = ["date", "symbol"]
        code = pd.Series([f"{s}{k // 12 % 100:02d}{k % 12 + 1:02d}" for (_, s), k in dom.items()], index=dom.index)
        got = t["dominant_contract"].stack().dropna().rename_axis(["date", "symbol"])
        pd.testing.assert_series_equal(got.sort_index(), code.sort_index().astype(object), check_names=False)

        # The dominant contract's own bars today, on the symbol's previous date and on its next date.
        by = bars.set_index(["date", "symbol", "key"]).sort_index()
        dates = bars.groupby("symbol")["date"].unique().map(sorted)
        prev = {(d, s): ds[i - 1] if i else None for s, ds in dates.items() for i, d in enumerate(ds)}
        nxt = {(d, s): ds[i + 1] if i + 1 < len(ds) else None for s, ds in dates.items() for i, d in enumerate(ds)}

        def own(col, when):
            keys = [(when[(d, s)], s, k) for (d, s), k in dom.items()]
            return pd.Series([by[col].get(key, np.nan) for key in keys], index=dom.index)

        today = lambda col: own(col, {k: k[0] for k in dom.index})  # noqa: E731
        multiplier = MULT.reindex(dom.index.get_level_values("symbol")).to_numpy()
        volume = today("volume")
        expected = {
            "dominant_settle": today("settle"), "close": today("close"), "open_interest": today("open_interest"),
            "dominant_prevclose": own("close", prev), "dominant_prevsettle": own("settle", prev),
            "dominant_nextreturnonsettle": own("settle", nxt) / today("settle") - 1,
            "dominant_vwap": (today("turnover") / (volume * multiplier)).where(volume > 0),
        }
        for name, values in expected.items():
            got = t[name].stack().rename_axis(["date", "symbol"]).reindex(values.index)
            np.testing.assert_allclose(got.to_numpy(), values.to_numpy(), rtol=1e-12, err_msg=name)
        for name in TABLES:
            assert t[name].index.equals(t["dominant_contract"].index)
            assert list(t[name].columns) == [s for s in MULT.index if s in {"CU", "RB", "SR"}]

    def test_three_digit_codes_across_a_decade(self, tmp_path):
        rows = [("2018-06-01", "SR901", 1), ("2019-08-01", "SR909", 1), ("2019-12-02", "SR001", 1),
                ("2024-01-03", "SR312", 1), ("2024-01-04", "SR405", 1), ("2029-06-01", "SR001", 1),
                ("2029-06-04", "sr2909", 1)]
        bars = bars_of(rows)
        bars["date"] = bars["date"].str.replace("-", "").astype(int)  # as vendors often write them
        out = build_market(bars, tmp_path / "m", print_report=False)
        assert read(out, "dominant_contract").index[0] == pd.Timestamp("2018-06-01")
        assert read(out, "dominant_contract")["SR"].tolist() == [
            "SR1901", "SR1909", "SR2001", "SR2312", "SR2405", "SR3001", "SR2909"]


def valid():
    return bars_of([("2024-01-02", "RB2405", 5), ("2024-01-02", "rb2409", 3), ("2024-01-03", "RB2405", 5),
                    ("2024-01-03", "SR405", 2)])


class TestBadInput:
    @pytest.mark.parametrize("spoil, words", [
        (lambda b: b.drop(columns=["settle", "volume"]), ["settle", "volume"]),
        (lambda b: b.assign(date=["2024-01-02", "2024-01-02", "2024-13-45", "2024-01-03"]),
         ["date", "row 2", "RB2405"]),
        (lambda b: b.assign(contract=["RB2405", "rb2409", "RB2413", "SR4O5"]),
         ["contract", "row 2", "row 3", "RB2413", "SR4O5"]),
        (lambda b: b.assign(contract=["RB2405", "RB2409", "rb2405", "SR405"], date="2024-01-02"),
         ["duplicate", "row 0", "row 2"]),
        (lambda b: b.assign(contract=["RB2405", "RB2409", "SR2405", "SR405"], date="2024-01-02"),
         ["duplicate", "row 2", "row 3", "SR405"]),
        (lambda b: b.assign(close=[1.0, 0.0, 1.0, 1.0]), ["close", "non-positive", "row 1", "rb2409"]),
        (lambda b: b.assign(volume=[1.0, 1.0, -1.0, 1.0]), ["volume", "negative", "row 2"]),
        (lambda b: b.assign(open_interest=[1.0, 1.0, 1.0, -2.0]), ["open_interest", "row 3", "SR405"]),
        (lambda b: b.assign(settle=["1", "2", "x", "4"]), ["settle", "not a number", "row 2"]),
        (lambda b: b.assign(contract=["XX2405", "RB2409", "YY2405", "YY2409"]), ["XX (1 rows)", "YY (2 rows)"]),
    ])
    def test_error_names_the_fault_and_nothing_is_written(self, tmp_path, spoil, words):
        with pytest.raises(IngestError) as err:
            build_market(spoil(valid()), tmp_path / "m", print_report=False)
        for word in words:
            assert word in str(err.value)
        assert list(tmp_path.iterdir()) == []

    @pytest.mark.parametrize("suffix", [".csv", ".parquet"])
    def test_files_name_rows_as_frames_do(self, tmp_path, suffix):
        bars = valid().assign(settle=["1", "2", "x", "4"])
        if suffix == ".csv":
            bars.to_csv(tmp_path / "bars.csv", index=False)
        else:
            bars.to_parquet(tmp_path / "bars.parquet", index=False)
        with pytest.raises(IngestError, match=r"settle: not a number in row 2 \(2024-01-03, RB2405\)"):
            build_market(tmp_path / f"bars{suffix}", tmp_path / "m", print_report=False)
        assert not (tmp_path / "m").exists()

    def test_unknown_symbols_skipped_and_dates_off_calendar_warn(self, tmp_path):
        bars = valid()
        bars.loc[1, "contract"] = "XX2409"
        bars.loc[3, "date"] = "2024-01-06"  # a Saturday
        with pytest.warns(IngestWarning) as caught:
            out = build_market(bars, tmp_path / "m", skip_unknown=True, print_report=False)
        text = " ".join(str(w.message) for w in caught)
        assert "XX (1 rows)" in text and "2024-01-06" in text
        contract = read(out, "dominant_contract")
        assert list(contract.columns) == ["RB", "SR"] and pd.Timestamp("2024-01-06") in contract.index
        assert "dropped 1: unknown symbol" in (out / ingest.REPORT_NAME).read_text()


class TestWriting:
    def test_replace_only_with_force_and_a_failed_write_leaves_no_trace(self, tmp_path, monkeypatch):
        out = tmp_path / "m"
        build_market(valid(), out, print_report=False)
        (out / "mine.txt").write_text("keep")
        with pytest.raises(FileExistsError):
            build_market(valid(), out, print_report=False)
        assert (out / "mine.txt").exists()

        calls = []
        real = pd.DataFrame.to_pickle

        def failing(self, *a, **k):
            calls.append(1)
            if len(calls) == 3:
                raise OSError("disk full")
            return real(self, *a, **k)

        monkeypatch.setattr(pd.DataFrame, "to_pickle", failing)
        with pytest.raises(OSError, match="disk full"):
            build_market(valid(), out, force=True, print_report=False)
        assert sorted(p.name for p in tmp_path.iterdir()) == ["m"] and (out / "mine.txt").exists()
        monkeypatch.undo()

        build_market(valid().assign(settle=7.0), out, force=True, print_report=False)
        assert sorted(p.name for p in tmp_path.iterdir()) == ["m"] and not (out / "mine.txt").exists()
        assert (read(out, "dominant_settle").stack().dropna() == 7.0).all()

    def test_extra_table_names_stay_in_the_folder(self, tmp_path):
        with pytest.raises(ValueError):
            build_market(valid(), tmp_path / "m", extra_tables={"../x.pkl": pd.DataFrame()})
        assert list(tmp_path.iterdir()) == []


def init(context):
    context.data_names = ["close"]


def momentum(context):
    close = context.data["close"].loc[:context.timestamp, context.symbols]
    context.alpha = close.iloc[-1] / close.iloc[-6] - 1


def test_command_line_from_csv_matches_the_sample_and_backtests(tmp_path, monkeypatch, capsys):
    from VarloAlpha.Module import Varlo_module as vm

    symbols = ["RB", "CU", "SR", "M", "TA", "I", "AU", "Y"]
    bars = sample_market.sample_bars(5, "2015-06-01", "2016-12-31", symbols)
    bars.rename(columns={"open_interest": "oi"}).to_csv(tmp_path / "bars.csv.gz", index=False)
    assert ingest.main([str(tmp_path / "bars.csv.gz"), str(tmp_path / "m"), "--column", "oi=open_interest"]) == 0
    assert "rolls" in capsys.readouterr().out
    assert ingest.main([str(tmp_path / "bars.csv.gz"), str(tmp_path / "m2")]) == 1
    assert "open_interest" in capsys.readouterr().err and not (tmp_path / "m2").exists()

    sample = sample_market.generate(tmp_path / "s", seed=5, start="2015-06-01", end="2016-12-31", symbols=symbols)
    for name in TABLES:
        ingested = read(tmp_path / "m", name)
        pd.testing.assert_frame_equal(ingested, read(sample, name)[list(ingested.columns)])

    monkeypatch.setattr(plt, "show", lambda *a, **k: None)
    config = {"data_path": tmp_path / "m", "base": {"begin_date": "2016-06-01", "end_date": "2016-12-31",
                                                      "universe": symbols},
              "trade": {"trade_contract": "dominant", "matching_type": "vwap", "capital": 10_000_000,
                        "leverage": 1},
              "operators": {"rank": {}}, "output": {"output": False}}
    summary = vm.backtest(config, init, momentum)
    assert summary.notna().all()
