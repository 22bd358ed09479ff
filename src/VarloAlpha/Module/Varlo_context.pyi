import os
from pathlib import Path as Path
from typing import Any

import numpy as np
import pandas as pd

from .Varlo_operators import *
from .Varlo_tradingday import TradingDay as TradingDay

class _ContextState:
    def __getstate__(self) -> tuple[dict[str, Any], bool]: ...
    def __setstate__(self, state: tuple[dict[str, Any], bool]) -> None: ...

class Context(_ContextState):
    config: dict[str, Any]
    data_path: Path
    data: dict[str, pd.DataFrame | pd.Series]
    TD: TradingDay
    backtest_calendar: pd.DatetimeIndex
    begin_timestamp: pd.Timestamp
    end_timestamp: pd.Timestamp
    original_symbols: list[str] | str
    timestamp: pd.Timestamp
    symbols: list[str]
    original_alpha: dict[str, Any] | pd.DataFrame
    alpha: pd.Series
    alpha_multiplier: float | pd.Series
    data_names: list[str]
    operators: dict[str, Any]
    def __init__(self, config: dict[str, Any]) -> None: ...
    def get_data(self) -> None: ...
    def set_parameters(self) -> None: ...
    def get_symbols(self) -> None: ...
    def _admission(self, calendar: pd.DatetimeIndex) -> tuple[np.ndarray, list[str]] | None: ...
    def record_alpha(self) -> None: ...
    def do_operators(self) -> None: ...
    def history(self, name: str, n: int) -> pd.DataFrame: ...
    def history_values(self, name: str, n: int) -> np.ndarray: ...
    def __getattr__(self, name: str) -> Any: ...

def _read_table(path: str | os.PathLike[str]) -> pd.DataFrame:
    """A market table as every step reads it: pandas.read_pickle(path, compression='gzip'), through the table cache."""
