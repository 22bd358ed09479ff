import copy
import time as time
from collections.abc import Callable
from pathlib import Path as Path
from typing import Any

import numpy as np
import pandas as pd

from .Varlo_analyse import analyse as analyse
from .Varlo_analyse import stratification as stratification
from .Varlo_context import Context as Context
from .Varlo_operators import *

deepcopy = copy.deepcopy

def backtest(
    config: dict[str, Any],
    ai_init: Callable[[Context], Any] | None = None,
    ai_get_alpha: Callable[[Context], Any] | None = None,
) -> pd.Series:
    """backtest API; returns the summary"""

def get_alpha(
    config: dict[str, Any], ai_init: Callable[[Context], Any], ai_get_alpha: Callable[[Context], Any]
) -> tuple[pd.DataFrame, pd.Series]:
    """计算alpha表"""

def get_alpha_frame(
    config: dict[str, Any], ai_init: Callable[[Context], Any], ai_alpha_frame: Callable[[Context], pd.DataFrame]
) -> tuple[pd.DataFrame, pd.Series]:
    """整表计算alpha: ai_alpha_frame(context)一次返回全部日期的alpha表"""

def get_position_alpha(
    alpha: pd.DataFrame, alpha_multiplier: pd.Series | float = 1, config: dict[str, Any] = ...
) -> pd.DataFrame:
    """计算position_alpha表"""

def get_position(position_alpha: pd.DataFrame, config: dict[str, Any]) -> tuple[pd.DataFrame, pd.DataFrame]:
    """position_alpha转position(因子值作为比例直接映射，不再做绝对值和归一)"""
