import importlib.machinery
import types
import re
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

MODULE_DIR = Path(__file__).resolve().parent.parent / "src" / "VarloAlpha" / "Module"
PRICE_TABLES = ("dominant_settle", "dominant_prevsettle", "dominant_nextreturnonsettle",
                "dominant_prevclose", "dominant_vwap")
START, END = "2019-06-01", "2021-06-30"


def _load(name, path):
    # The package's compiled modules are built elsewhere, so load the file directly.
    module = types.ModuleType(name)
    module.__file__ = str(path)
    importlib.machinery.SourceFileLoader(name, str(path)).exec_module(module)
    return module


sm = _load("varlo_sample_market", MODULE_DIR / "sample_market.py")
ATTRS = pd.read_csv(MODULE_DIR / "futures_attributes.csv", index_col=0)


def read(directory, name):
    return pd.read_pickle(Path(directory) / f"{name}.pkl", compression="gzip")


@pytest.fixture(scope="module")
def upper(tmp_path_factory):
    return sm.generate(tmp_path_factory.mktemp("upper"), seed=7, start=START, end=END)


@pytest.fixture(scope="module")
def lower(tmp_path_factory):
    return sm.generate(tmp_path_factory.mktemp("lower"), seed=7, start=START, end=END,
                       naming="lower")


class TestAttributes:
    def test_coverage(self):
        assert len(ATTRS) >= 60
        assert set(ATTRS["exchange"]) == {"SHFE", "INE", "DCE", "CZCE", "GFEX", "CFFEX"}
        assert {"IF", "IH", "IC"} <= set(ATTRS.index)
        assert ATTRS.index.is_unique and ATTRS["symbol_name"].is_unique
        assert (ATTRS["contract_multiplier"] > 0).all()
        assert pd.to_datetime(ATTRS["backtest_begin_date"]).notna().all()

    def test_market_id_one_per_exchange(self):
        ids = ATTRS.groupby("exchange")["market_id"].unique()
        assert all(len(v) == 1 for v in ids)
        assert ids.map(lambda v: v[0]).is_unique
        assert ids["CZCE"][0] == 14

    def test_symbol_name_case_follows_exchange(self):
        upper_case = ATTRS["exchange"].isin(["CZCE", "CFFEX"])
        assert (ATTRS.loc[upper_case, "symbol_name"] == ATTRS.index[upper_case]).all()
        names = ATTRS.loc[~upper_case, "symbol_name"]
        assert (names == names.index.str.lower()).all()


class TestUniverses:
    class FakeContext:
        def __init__(self, columns):
            self.data = {"dominant_contract": pd.DataFrame(columns=columns)}

    def universes(self, columns):
        text = (MODULE_DIR / "universes.txt").read_text()
        return eval(text, {}, {"self": self.FakeContext(columns)})

    def test_symbols_exist_and_groups_match_attributes(self):
        u = self.universes(["rb", "SR", "IF"])
        assert all(isinstance(v, list) for v in u.values())
        for name, symbols in u.items():
            assert set(symbols) <= set(ATTRS.index), name
            assert len(symbols) == len(set(symbols)), name
        assert sorted(u["all"]) == sorted(ATTRS.index)
        assert sorted(u["commodity"]) == sorted(ATTRS.index[ATTRS["exchange"] != "CFFEX"])
        assert {"IF", "IH", "IC", "IM"} == set(u["index_futures"])

    def test_market_follows_loaded_columns(self):
        assert self.universes(["rb", "SR", "IF"])["market"] == ["RB", "SR", "IF"]
        assert self.universes([])["market"] == []


class TestLayout:
    def test_calendar_skips_holidays(self, upper):
        index = read(upper, "dominant_settle").index
        holidays = pd.to_datetime(pd.read_csv(MODULE_DIR / "holidays.csv", index_col=0).index)
        assert isinstance(index, pd.DatetimeIndex)
        assert index.is_monotonic_increasing and index.is_unique
        assert (index == index.normalize()).all()
        assert not index.isin(holidays).any()
        assert (index.day_of_week < 5).all()
        full = pd.date_range(START, END)
        assert full.difference(index).isin(holidays).all()

    def test_all_tables_share_index_and_columns(self, upper):
        contract = read(upper, "dominant_contract")
        assert list(contract.columns) == list(ATTRS.index)
        assert contract.dtypes.eq(object).all()
        for name in (*PRICE_TABLES, "close", "volume"):
            table = read(upper, name)
            assert table.index.equals(contract.index), name
            assert list(table.columns) == list(contract.columns), name
            assert table.dtypes.eq(np.float64).all(), name

    def test_long_table_has_field_rows_per_date(self, upper):
        basis = read(upper, "basis")
        dates = read(upper, "dominant_settle").index
        assert basis.columns[0] == "field"
        assert list(basis.columns[1:]) == list(ATTRS.index)
        fields = basis["field"].unique()
        assert len(fields) >= 2
        per_date = basis.groupby(level=0)["field"].agg(lambda f: tuple(sorted(f)))
        assert set(per_date) == {tuple(sorted(fields))}
        assert basis.index.unique().equals(dates)

    def test_csv_table_round_trips(self, upper):
        oi = pd.read_csv(Path(upper) / "open_interest.csv", index_col=0, parse_dates=True)
        dates = read(upper, "dominant_settle").index
        assert isinstance(oi.index, pd.DatetimeIndex)
        assert (oi.index == dates).all()
        assert list(oi.columns) == list(ATTRS.index)
        live = read(upper, "dominant_contract").notna()
        values = oi.to_numpy()
        assert (values[live.to_numpy()] > 0).all()
        assert np.isnan(values[~live.to_numpy()]).all()


class TestContracts:
    def test_codes_and_rolls(self, upper):
        contract = read(upper, "dominant_contract")
        for symbol in contract.columns:
            codes = contract[symbol].dropna()
            assert codes.str.fullmatch(re.escape(symbol) + r"\d{4}").all(), symbol
            yymm = codes.str[-4:].astype(int)
            assert yymm.map(lambda v: 1 <= v % 100 <= 12).all(), symbol
            # Delivery month never precedes the date and only moves forward.
            ym = (codes.index.year % 100) * 100 + codes.index.month
            assert (yymm.to_numpy() >= ym).all(), symbol
            assert yymm.is_monotonic_increasing, symbol
            if len(codes) > 250:
                # At most one roll a month, at least one every seven months.
                months = codes.index.to_period("M").nunique()
                assert months / 7 - 1 <= yymm.nunique() - 1 <= months, symbol

    def test_missing_before_first_date(self, upper):
        contract = read(upper, "dominant_contract")
        settle = read(upper, "dominant_settle")
        begin = pd.to_datetime(ATTRS["backtest_begin_date"])
        listed_inside = begin[(begin > contract.index[0]) & (begin <= contract.index[-1])]
        assert len(listed_inside) > 0
        for symbol, first in listed_inside.items():
            before = contract.index < first
            assert contract.loc[before, symbol].isna().all(), symbol
            assert contract.loc[~before, symbol].notna().all(), symbol
            for name in (*PRICE_TABLES, "close", "volume"):
                assert read(upper, name).loc[before, symbol].isna().all(), (name, symbol)
            assert settle.loc[~before, symbol].notna().mean() > 0.98, symbol

    def test_missing_prices_are_rare_and_scattered(self, upper):
        live = read(upper, "dominant_contract").notna()
        for name in PRICE_TABLES:
            table = read(upper, name).iloc[:-1]
            holes = table.isna() & live.iloc[:-1]
            assert 0 < holes.sum().sum() < 0.005 * live.sum().sum(), name
            assert (holes.sum() <= 5).all(), name


class TestPriceConsistency:
    def test_same_contract_links_between_days(self, upper):
        contract = read(upper, "dominant_contract")
        settle = read(upper, "dominant_settle")
        prevsettle = read(upper, "dominant_prevsettle")
        nextret = read(upper, "dominant_nextreturnonsettle")
        close = read(upper, "close")
        prevclose = read(upper, "dominant_prevclose")
        same = (contract == contract.shift(1)) & contract.notna()

        def check(actual, expected):
            mask = same & actual.notna() & expected.notna()
            assert mask.sum().sum() > 0.9 * same.sum().sum()
            np.testing.assert_allclose(actual[mask].stack(), expected[mask].stack(), rtol=1e-12)

        check(prevsettle, settle.shift(1))
        check(prevclose, close.shift(1))
        check(nextret.shift(1), settle / settle.shift(1) - 1)

    def test_roll_days_use_new_contract_history(self, upper):
        contract = read(upper, "dominant_contract")
        settle = read(upper, "dominant_settle")
        prevsettle = read(upper, "dominant_prevsettle")
        rolled = (contract != contract.shift(1)) & contract.notna() & contract.shift(1).notna()
        assert rolled.sum().sum() > len(contract.columns)
        gap = (prevsettle / settle.shift(1))[rolled].stack().dropna()
        assert (gap != 1).all()
        assert (np.abs(np.log(gap)) < 0.05).all()
        # The day before a roll still holds the old contract, whose move skips the spread.
        nextret = read(upper, "dominant_nextreturnonsettle")
        before_roll = rolled.shift(-1, fill_value=False)
        chained = (settle.shift(-1) / settle - 1)[before_roll].stack().dropna()
        held = nextret[before_roll].stack().dropna()
        both = chained.index.intersection(held.index)
        assert len(both) > 0 and (np.abs(chained[both] - held[both]) > 1e-9).all()

    def test_levels_and_intraday_prices_plausible(self, upper):
        nextret = read(upper, "dominant_nextreturnonsettle")
        assert nextret.iloc[-1].isna().all()
        assert nextret.abs().stack().max() < 0.2
        settle = read(upper, "dominant_settle")
        vwap = read(upper, "dominant_vwap")
        assert np.abs(np.log(vwap / settle)).stack().max() < 0.05
        assert settle.stack().min() > 0


class TestGenerateOptions:
    def test_same_seed_reproduces_and_subset_is_stable(self, upper, tmp_path):
        again = sm.generate(tmp_path / "a", seed=7, start=START, end=END,
                            symbols=["RB", "sr", "IF"])
        other = sm.generate(tmp_path / "b", seed=8, start=START, end=END, symbols=["RB", "SR", "IF"])
        for name in ("dominant_contract", *PRICE_TABLES, "close", "volume"):
            full = read(upper, name)[["RB", "SR", "IF"]]
            pd.testing.assert_frame_equal(read(again, name), full)
        a, b = read(again, "dominant_settle"), read(other, "dominant_settle")
        assert not np.allclose(a.fillna(0), b.fillna(0))
        # Rolls follow each seed's open interest: the same contracts lead, on days that may differ.
        ca, cb = read(again, "dominant_contract"), read(other, "dominant_contract")
        assert all(set(ca[s].dropna()) == set(cb[s].dropna()) for s in ca.columns)

    def test_lower_naming_relabels_only(self, upper, lower):
        names = list(ATTRS["symbol_name"])
        for name in ("dominant_contract", *PRICE_TABLES, "close", "volume"):
            lo, up = read(lower, name), read(upper, name)
            assert list(lo.columns) == names
            if name != "dominant_contract":
                np.testing.assert_array_equal(lo.to_numpy(), up.to_numpy())
        contract = read(lower, "dominant_contract")
        for col in contract.columns:
            assert contract[col].dropna().str.fullmatch(re.escape(col) + r"\d{4}").all(), col
        basis = read(lower, "basis")
        assert list(basis.columns) == ["field", *names]
        oi = pd.read_csv(Path(lower) / "open_interest.csv", index_col=0)
        assert list(oi.columns) == names

    def test_rejects_bad_arguments(self, tmp_path):
        with pytest.raises(ValueError):
            sm.generate(tmp_path, naming="mixed")
        with pytest.raises(ValueError):
            sm.generate(tmp_path, symbols=["RB", "XX"])

    def test_command_line(self, tmp_path, capsys):
        assert sm.main([str(tmp_path / "cli"), "--seed", "3", "--start", "2024-12-01",
                        "--end", "2024-12-31", "--naming", "lower", "--bars", str(tmp_path / "b.parquet")]) == 0
        assert str(tmp_path / "cli") in capsys.readouterr().out
        bars = pd.read_parquet(tmp_path / "b.parquet")
        assert list(bars.columns) == list(sm.BAR_COLUMNS) and bars.groupby("date").size().min() > len(ATTRS)
        contract = read(tmp_path / "cli", "dominant_contract")
        assert contract.index.min() >= pd.Timestamp("2024-12-01")
        assert contract.index.max() <= pd.Timestamp("2024-12-31")
        assert "rb" in contract.columns
