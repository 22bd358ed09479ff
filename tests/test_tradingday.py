import datetime
import pickle
import shutil
import subprocess
import sys
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

from VarloAlpha.Module import Varlo_tradingday as vt
from VarloAlpha.Module.Varlo_tradingday import TradingDay

PKG = Path(vt.__file__).resolve().parent
WINDPY = Path(__file__).resolve().parent.parent / "tools" / "windpy"


def test_class_shape_and_defaults():
    assert TradingDay.__bases__ == (pd.offsets.CustomBusinessDay,)
    assert TradingDay.__doc__ == "\n    TradingDay Class\n    "
    first = pd.read_csv(PKG / "holidays.csv", index_col=0).index
    assert TradingDay.hds == tuple(first) and all(isinstance(h, str) for h in TradingDay.hds[:5])
    assert isinstance(TradingDay.cal, np.busdaycalendar)
    td = TradingDay()
    assert (td.n, td.normalize, td.weekmask, td.offset) == (1, True, "Mon Tue Wed Thu Fri Sat Sun", datetime.timedelta(0))
    assert TradingDay(3, False).n == 3 and not TradingDay(3, False).normalize
    with pytest.raises(TypeError):
        TradingDay(1, True, "Mon", (), None, datetime.timedelta(0), 7)
    with pytest.raises(TypeError):
        TradingDay(days=2)


def test_offset_arithmetic_rolling_equality_and_pickling():
    td = TradingDay()
    # Lunar new year 2024: Feb 8 (Thu) was the last session before Feb 19.
    assert pd.Timestamp("2024-02-07") + td == pd.Timestamp("2024-02-08")
    assert pd.Timestamp("2024-02-08") + td == pd.Timestamp("2024-02-19")
    assert pd.Timestamp("2024-02-19") - td == pd.Timestamp("2024-02-08")
    # time of day dropped; a non-trading start rolls forward before counting back
    assert pd.Timestamp("2024-02-19 14:30") - 20 * td == pd.Timestamp("2024-02-19") - 20 * td
    assert pd.Timestamp("2024-02-10") - td == pd.Timestamp("2024-02-08")
    assert td.rollforward(pd.Timestamp("2024-02-10")) == pd.Timestamp("2024-02-19")
    assert td.is_on_offset(pd.Timestamp("2024-02-19")) and not td.is_on_offset(pd.Timestamp("2024-02-17"))
    assert 5 * td == TradingDay(5)
    import copy
    for obj in (td, 250 * td, TradingDay(3, offset=datetime.timedelta(hours=1)), TradingDay(2, holidays=["2024-02-20"]),
                TradingDay(holidays=["2024-02-20"], calendar=None)):
        for back in (pickle.loads(pickle.dumps(obj)), copy.deepcopy(obj)):
            assert type(back) is TradingDay and back == obj
            for d in pd.date_range("2023-12-20", "2024-03-01"):
                assert d + back == d + obj and d - back == d - obj


def test_weekends_count_only_through_the_file():
    last = pd.Timestamp(TradingDay.hds[-1])
    end_of_span = pd.offsets.YearEnd().rollforward(last)
    td = TradingDay()
    # after the file's span every calendar day, Saturday and Sunday included, is a trading day
    day = end_of_span + pd.Timedelta(days=3)
    assert [(day + k * td) for k in range(1, 8)] == list(pd.date_range(day + pd.Timedelta(days=1), periods=7))


@pytest.mark.parametrize("k", [1, 20, 250])
def test_core_arithmetic_equals_the_offset_over_the_whole_span(k):
    hds = pd.DatetimeIndex(TradingDay.hds)
    dates = pd.date_range(hds[0] - pd.Timedelta(days=366), hds[-1] + pd.Timedelta(days=366))
    td = k * TradingDay()
    for sign in (1, -1):
        expected = pd.DatetimeIndex([d + sign * td for d in dates])
        got = vt._trading_shift(dates, sign * k)
        assert got.equals(expected), (k, sign)


def test_core_arithmetic_raises_beyond_the_date_range():
    dates = pd.DatetimeIndex(["2024-01-02"])
    for k in [10**6, -10**6, 2**62, -(2**62), 2**63 - 1, -(2**63)]:
        with pytest.raises((pd.errors.OutOfBoundsDatetime, OverflowError)):
            vt._trading_shift(dates, k)
    assert vt._trading_shift(dates, 0).equals(dates)


def _package_copy(tmp_path, holidays_text):
    target = tmp_path / "VarloAlpha"
    shutil.copytree(PKG.parent, target, ignore=shutil.ignore_patterns("__pycache__"))
    hol = target / "Module" / "holidays.csv"
    if holidays_text is None:
        hol.unlink()
    else:
        hol.write_text(holidays_text)
    return tmp_path


def _run(path, code):
    return subprocess.run([sys.executable, "-c", code], cwd=path, env={"PYTHONPATH": str(path), "PATH": ""},
                          capture_output=True, text=True)


def test_missing_holiday_file_fails_the_import(tmp_path):
    root = _package_copy(tmp_path, None)
    res = _run(root, "import VarloAlpha.Module.Varlo_context")
    assert res.returncode != 0 and "holidays.csv" in res.stderr


def test_header_only_file_counts_every_day(tmp_path):
    root = _package_copy(tmp_path, ",0\n")
    res = _run(root, "import pandas as pd\nfrom VarloAlpha.Module.Varlo_tradingday import TradingDay as T\n"
                     "print(T.hds, pd.Timestamp('2024-02-09') + 2 * T())")
    assert res.returncode == 0, res.stderr
    assert res.stdout.split() == ["()", "2024-02-11", "00:00:00"]


def test_get_holidays_rebuilds_the_shipped_file(tmp_path, monkeypatch):
    monkeypatch.syspath_prepend(str(WINDPY))
    monkeypatch.chdir(tmp_path)
    monkeypatch.delitem(sys.modules, "WindPy", raising=False)
    assert vt.get_holidays() is None
    written = (tmp_path / "holidays.csv").read_text()
    lines = written.splitlines()
    assert lines[0] == ",0" and lines[1] == "2000-01-01,"
    # The file ends with the last year the source covers, whatever year the clock shows.
    from WindPy import w
    _, sessions = w.tdays("2000-01-01", "2100-12-31", "TradingCalendar=SHFE", usedf=True)
    assert lines[-1].startswith(f"{sessions.index[-1].year}-12-")
    assert written == (PKG / "holidays.csv").read_text()


class _FakeW:
    def __init__(self, result):
        self.calls = []
        self.result = result

    def start(self):
        self.calls.append(("start",))

    def tdays(self, *args, **kwargs):
        self.calls.append(("tdays", args, kwargs))
        return self.result


def _fake_windpy(monkeypatch, result):
    w = _FakeW(result)
    module = type(sys)("WindPy")
    module.w = w
    monkeypatch.setitem(sys.modules, "WindPy", module)
    return w


class _FrozenDate(datetime.date):
    @classmethod
    def today(cls):
        return cls(2031, 6, 15)


def test_get_holidays_calls_and_format(tmp_path, monkeypatch):
    days = pd.DatetimeIndex(["2000-01-04", "2000-01-05", "2001-12-31"])
    w = _fake_windpy(monkeypatch, (0, pd.DataFrame(index=days.date)))
    monkeypatch.chdir(tmp_path)
    monkeypatch.setattr(datetime, "date", _FrozenDate)
    vt.get_holidays()
    assert w.calls == [("start",), ("tdays", ("2000-01-01", "2031-12-31", "TradingCalendar=SHFE"), {"usedf": True})]
    text = (tmp_path / "holidays.csv").read_text().splitlines()
    expected = pd.date_range("2000-01-01", "2001-12-31").difference(days)
    assert text[0] == ",0" and text[1:] == [f"{d:%Y-%m-%d}," for d in expected]


@pytest.mark.parametrize("result,message", [((0, pd.DataFrame(), 1), "too many values to unpack (expected 2)"),
                                            ((0,), "not enough values to unpack (expected 2, got 1)")])
def test_get_holidays_bad_answer_writes_nothing(tmp_path, monkeypatch, result, message):
    _fake_windpy(monkeypatch, result)
    monkeypatch.chdir(tmp_path)
    with pytest.raises(ValueError, match=message.replace("(", r"\(").replace(")", r"\)")):
        vt.get_holidays()
    assert not (tmp_path / "holidays.csv").exists()


def test_command_line_tools_help_and_missing_windpy(monkeypatch, capsys, tmp_path):
    from VarloAlpha import holidays
    from VarloAlpha.Module import sample_market
    for tool in (holidays.main, sample_market.main):
        with pytest.raises(SystemExit) as done:
            tool(["--help"])
        assert done.value.code == 0 and capsys.readouterr().out.startswith("usage: varlo-")
    monkeypatch.setitem(sys.modules, "WindPy", None)  # no client installed
    monkeypatch.chdir(tmp_path)
    assert holidays.main([]) != 0
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and "WindPy" in err and not (tmp_path / "holidays.csv").exists()
    with pytest.raises(ImportError):
        vt.get_holidays()


def test_version_from_package_metadata():
    import importlib.metadata
    import VarloAlpha
    from VarloAlpha.Module import Varlo_module
    version = importlib.metadata.version("VarloAlpha")
    assert VarloAlpha.__version__ == version
    assert Varlo_module.__doc__.startswith("VarloAlpha v" + ".".join(version.split(".")[:2]) + " ")
