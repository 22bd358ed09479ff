"""Cross-sectional momentum: buy the symbols that rose most over the lookback, sell those that fell most.

A template to copy. Run it with

    from VarloAlpha.Module.Varlo_module import backtest
    backtest(config)          # config["base"]["alpha_id"] = "VarloAlpha.examples.momentum"

The framework calls `init(context)` once, then `get_alpha(context)` on every trading day of the run. The
day's alpha is a Series by symbol; larger means "more long". The context's own operator chain (set in
`init`) runs on the whole alpha table after the last day; the run configuration's `operators` chain and
the final scaling follow.
"""

import pandas as pd

# Strategy parameters. Values in config["parameters"] with the same names override these on the context.
LOOKBACK = 20   # trading days over which the return is measured
SKIP = 1        # most recent days left out: the last day's move tends to reverse


def init(context):
    # Data tables loaded from the data directory (close.pkl), 250 trading days before the first date on.
    context.data_names = ["close"]
    context.lookback = LOOKBACK
    context.skip = SKIP
    # The strategy's own operator chain, applied in this order to the whole alpha table:
    # smooth the signal over 5 days, then turn each day's values into centred ranks.
    context.operators = {
        "smooth": {"smooth": 5, "mode": "linear"},
        "rank": {},
    }


def get_alpha(context):
    # context.symbols: the symbols tradable today; context.timestamp: today.
    close = context.data["close"].loc[:context.timestamp, context.symbols]
    end = close.iloc[-1 - context.skip]
    start = close.iloc[-1 - context.skip - context.lookback]
    # A symbol without both closes gives NaN and takes no position today.
    context.alpha = end / start - 1


# The same strategy in two faster forms; all three give identical alpha.
#
# history form: the last rows of a table up to today for today's symbols, without copying the history.
# context.history_values(name, n) is context.data[name].loc[:context.timestamp, context.symbols].iloc[-n:]
# as a read-only numpy array (context.history(name, n) gives the same as a DataFrame).
# Pass it to backtest or get_alpha as the daily function: backtest(config, init, get_alpha_history).
def get_alpha_history(context):
    # The admitted symbols only grow, each day's list starting with the previous one: one Index per
    # admission instead of one per day.
    if len(getattr(context, "symbols_index", ())) != len(context.symbols):
        context.symbols_index = pd.Index(context.symbols)
    close = context.history_values("close", context.lookback + context.skip + 1)
    context.alpha = pd.Series(close[-1 - context.skip] / close[0] - 1, index=context.symbols_index)


# Whole-frame form: one computation for every date, called once after init. backtest takes it when
# config["base"]["alpha_frame"] is true; the framework keeps each date's row for the symbols admitted that
# day. Every value may use only data up to its own date: shift(k) with k >= 0 and trailing windows, never
# shift(-1), centred windows or full-sample statistics. The look-ahead guard (config["base"]
# ["lookahead_checks"], default 3) recomputes the frame on data cut at a few dates and raises ValueError
# when an earlier row changes.
def get_alpha_frame(context):
    close = context.data["close"]
    return close.shift(context.skip) / close.shift(context.skip + context.lookback) - 1
