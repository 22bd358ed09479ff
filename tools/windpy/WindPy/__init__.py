"""Offline stand-in for the vendor WindPy client, covering only ``w.start`` and
``w.tdays`` with the SHFE trading calendar.

The Chinese futures exchanges close on the same national holidays as the
Shanghai Stock Exchange, so sessions come from exchange_calendars' XSHG.
Kept outside the installed package so it never shadows a real WindPy.
"""

import warnings
from types import SimpleNamespace

import pandas as pd

__all__ = ["w"]


class _Wind:
    def __init__(self):
        self._calendar = None

    def start(self, *args, **kwargs):
        return SimpleNamespace(ErrorCode=0)

    def isconnected(self):
        return True

    def _sessions(self):
        if self._calendar is None:
            import exchange_calendars as xc

            with warnings.catch_warnings():
                # exchange_calendars trips pandas deprecations on construction.
                warnings.simplefilter("ignore", DeprecationWarning)
                cls = type(xc.get_calendar("XSHG"))
                # The default calendar spans only ~20 years; ask for all the
                # library records so early backtests get real holidays.
                self._calendar = xc.get_calendar(
                    "XSHG", start=cls.bound_min(), end=cls.bound_max()
                )
        return self._calendar.sessions

    def tdays(self, begin, end, options="", usedf=False):
        if options != "TradingCalendar=SHFE":
            raise ValueError(f"stand-in only supports TradingCalendar=SHFE, got {options!r}")
        if not usedf:
            raise ValueError("stand-in only supports usedf=True")
        sessions = self._sessions()
        lo = max(pd.Timestamp(begin), sessions[0])
        hi = min(pd.Timestamp(end), sessions[-1])
        days = pd.DatetimeIndex(sessions[(sessions >= lo) & (sessions <= hi)], name=None)
        return 0, pd.DataFrame({"trade_day": days}, index=days)


w = _Wind()
