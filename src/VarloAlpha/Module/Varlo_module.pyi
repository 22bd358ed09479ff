import copy
import time as time
from collections.abc import Callable, Iterable, Iterator, Mapping, Sequence
from multiprocessing import Pool as Pool
from multiprocessing import cpu_count as cpu_count
from pathlib import Path as Path
from typing import Any, Protocol

import numpy as np
import pandas as pd
from sklearn.model_selection import ParameterGrid as ParameterGrid

from .Varlo_analyse import analyse as analyse
from .Varlo_analyse import multi_analyse as multi_analyse
from .Varlo_analyse import stratification as stratification
from .Varlo_context import Context as Context
from .Varlo_operators import *

deepcopy = copy.deepcopy

class ConfigWarning(UserWarning):
    """A configuration key the system does not read, or a switch that is not a boolean."""

class AlphaWarning(UserWarning):
    """A run whose alpha or positions look wrong: inf values, dates without any value, no position taken."""

def check_config(config: dict[str, Any]) -> None:
    """The check backtest runs before the first date, as far as it needs no market data."""


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

class OrderedExecutor(Protocol):
    """Anything whose map returns the results in the order of its inputs: a concurrent.futures executor,
    or the executor of a dask.distributed Client (client.get_executor())."""

    def map(self, fn: Callable[..., Any], *iterables: Iterable[Any]) -> Iterator[Any]: ...

def multi_run(
    original_config: dict[str, Any],
    parameter_grid: Mapping[str, Sequence[Any]],
    executor: OrderedExecutor | None = None,
    num_threads: int | None = 1,
) -> pd.DataFrame:
    """对parameter_grid里的参数组并行跑多套回测并返回summarys"""

def multi_backtest(
    config: dict[str, Any],
    multi_run_id: int,
    parameter_grid: Mapping[str, Sequence[Any]],
    executor: OrderedExecutor | None = None,
    num_threads: int | None = 1,
) -> None:
    """multi_backtest API"""

def dask_setup(worker: Any) -> None:
    """Dask worker预加载(--preload VarloAlpha.Module.Varlo_module): 启动时先读入包自带的表, 并在小样本市场上跑一次
    示例回测(缓存与输出关闭), 首个回测不再付这些一次性开销"""

def set_num_threads(n: int | None) -> None:
    """设定本进程(及其子进程)内核计算可用的线程数, 写入环境变量VARLO_NUM_THREADS; None恢复为机器的处理器数"""

def get_num_threads() -> int:
    """当前内核计算可用的线程数"""
