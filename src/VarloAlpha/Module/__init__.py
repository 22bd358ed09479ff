"""VarloAlpha research and backtesting modules."""
