"""VarloAlpha research and backtesting modules."""

from importlib.metadata import PackageNotFoundError, version

try:
    __version__ = version("VarloAlpha")  # pyproject.toml holds the one version string
except PackageNotFoundError:  # a source tree that was never installed
    __version__ = "0+unknown"
