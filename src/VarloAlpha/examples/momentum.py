"""Cross-sectional momentum: buy the symbols that rose most over the lookback, sell those that fell most.

A template to copy. Run it with

    from VarloAlpha.Module.Varlo_module import backtest
    backtest(config)          # config["base"]["alpha_id"] = "VarloAlpha.examples.momentum"

The framework calls `init(context)` once, then `get_alpha(context)` on every trading day of the run. The
day's alpha is a Series by symbol; larger means "more long". The context's own operator chain (set in
`init`) runs on the whole alpha table after the last day; the run configuration's `operators` chain and
the final scaling follow.
"""

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
