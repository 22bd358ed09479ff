"""VarloAlpha research and backtesting modules."""

from importlib.metadata import PackageNotFoundError, version

from . import Module

try:
    __version__ = version("VarloAlpha")  # pyproject.toml holds the one version string
except PackageNotFoundError:  # a source tree that was never installed
    __version__ = "0+unknown"

_WARNINGS = ("ConfigWarning", "AlphaWarning")


def __getattr__(name):
    # The warning classes live in Varlo_module, imported only when asked for: importing the package stays
    # cheap.
    if name in _WARNINGS:
        from .Module import Varlo_module

        return getattr(Varlo_module, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__():
    return sorted(list(globals()) + list(_WARNINGS))
