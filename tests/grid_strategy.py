"""A reversal strategy for grid runs: its look-back window is the strategy parameter `lookback`.

Grid workers import it by name, so the tests folder must be on their module path. When the environment
names VARLO_GRID_EXPECT_THREADS, a run fails unless its process has that kernel thread budget. A negative
look-back kills the worker process, as the out-of-memory killer would.
"""

import os
import signal


def init(context):
    context.data_names = ["close"]


def get_alpha(context):
    expected = os.environ.get("VARLO_GRID_EXPECT_THREADS")
    if expected is not None:
        from VarloAlpha.Module.Varlo_module import get_num_threads

        if get_num_threads() != int(expected):
            raise RuntimeError(f"kernel thread budget {get_num_threads()}, expected {expected}")
    if context.lookback < 0:
        os.kill(os.getpid(), signal.SIGKILL)
    if context.lookback <= 0:
        raise ValueError(f"lookback must be positive, got {context.lookback}")
    close = context.data["close"].loc[:context.timestamp, context.symbols]
    window = close.iloc[-(context.lookback + 1):]
    context.alpha = 1 - window.iloc[-1] / window.iloc[0]
