"""Regenerate src/VarloAlpha/Module/holidays.csv from WindPy's SHFE calendar.

Uses a real WindPy when importable, else the offline stand-in in tools/windpy.
"""

import sys
from pathlib import Path

import pandas as pd

ROOT = Path(__file__).resolve().parent.parent
TARGET = ROOT / "src" / "VarloAlpha" / "Module" / "holidays.csv"


def write_holidays(w, path, begin="2000-01-01", end="2026-12-31"):
    err, cal = w.tdays(begin, end, "TradingCalendar=SHFE", usedf=True)
    if err != 0:
        raise RuntimeError(f"tdays failed with error code {err}")
    days = cal.index.map(pd.Timestamp)
    bd = pd.offsets.YearBegin().rollback(days[0])
    ed = pd.offsets.YearEnd().rollforward(days[-1])
    holidays = pd.date_range(bd, ed).difference(days)
    pd.Series(index=holidays, dtype=object).to_csv(path)
    return Path(path)


def main(argv=None):
    args = sys.argv[1:] if argv is None else argv
    # Appended, not prepended: an installed WindPy must win over the stand-in.
    sys.path.append(str(ROOT / "tools" / "windpy"))
    from WindPy import w

    w.start()
    print(write_holidays(w, args[0] if args else TARGET))


if __name__ == "__main__":
    main()
