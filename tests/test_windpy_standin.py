import importlib.machinery
import types
from pathlib import Path

import pandas as pd
import pytest

ROOT = Path(__file__).resolve().parent.parent
HOLIDAYS = ROOT / "src" / "VarloAlpha" / "Module" / "holidays.csv"


def _load(name, path):
    # Loaded under a private name so an installed WindPy is never shadowed.
    module = types.ModuleType(name)
    module.__file__ = str(path)
    importlib.machinery.SourceFileLoader(name, str(path)).exec_module(module)
    return module


standin = _load("windpy_standin", ROOT / "tools" / "windpy" / "WindPy" / "__init__.py")
make_holidays = _load("make_holidays", ROOT / "tools" / "make_holidays.py")
w = standin.w


def test_tdays_returns_ascending_weekdays_within_bounds():
    result = w.tdays("2023-12-25", "2024-02-29", "TradingCalendar=SHFE", usedf=True)
    assert isinstance(result, tuple) and len(result) == 2
    err, frame = result
    assert err == 0
    days = pd.DatetimeIndex(frame.index.map(pd.Timestamp))
    assert days.is_monotonic_increasing and days.is_unique
    assert (days.day_of_week < 5).all()
    assert days[0] >= pd.Timestamp("2023-12-25") and days[-1] <= pd.Timestamp("2024-02-29")
    weekdays = pd.bdate_range("2023-12-25", "2024-02-29")
    # Spring Festival and New Year remove weekdays, but most remain.
    assert 0.8 * len(weekdays) < len(days) < len(weekdays)
    # Bounds are inclusive.
    _, same = w.tdays(days[0], days[-1], "TradingCalendar=SHFE", usedf=True)
    assert same.index.equals(frame.index)


def test_tdays_rejects_other_requests():
    with pytest.raises(ValueError):
        w.tdays("2024-01-01", "2024-12-31", "TradingCalendar=SSE", usedf=True)
    with pytest.raises(ValueError):
        w.tdays("2024-01-01", "2024-12-31", "TradingCalendar=SHFE", usedf=False)


def test_shipped_holidays_reproduced_byte_for_byte(tmp_path):
    out = make_holidays.write_holidays(w, tmp_path / "holidays.csv")
    assert out.read_bytes() == HOLIDAYS.read_bytes()


def test_holidays_complement_trading_days_through_2026():
    holidays = pd.to_datetime(pd.read_csv(HOLIDAYS, index_col=0).index)
    _, frame = w.tdays("2000-01-01", "2026-12-31", "TradingCalendar=SHFE", usedf=True)
    days = pd.DatetimeIndex(frame.index)
    assert holidays.intersection(days).empty
    span = pd.date_range("2000-01-01", "2026-12-31")
    assert span.difference(days).equals(holidays.as_unit(span.unit))
    # Every year has a national holiday on some weekday.
    weekday_holidays = holidays[holidays.day_of_week < 5]
    assert set(weekday_holidays.year) == set(range(2000, 2027))
