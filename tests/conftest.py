import os
import tempfile
from pathlib import Path

os.environ.setdefault("MPLBACKEND", "Agg")
# Never the user's own table cache: the suite and every process it starts use a directory of their own.
_CACHE_DIR = tempfile.TemporaryDirectory(prefix="varlo-cache-")
os.environ["VARLO_CACHE_DIR"] = _CACHE_DIR.name

import pytest  # noqa: E402

ROOT = Path(__file__).resolve().parent.parent


@pytest.fixture(scope="session")
def market_upper(tmp_path_factory):
    from VarloAlpha.Module import sample_market

    return sample_market.generate(tmp_path_factory.mktemp("mkt_upper"), seed=3, start="2015-01-01",
                                  end="2018-12-31", naming="upper")


@pytest.fixture(scope="session")
def market_lower(tmp_path_factory):
    from VarloAlpha.Module import sample_market

    return sample_market.generate(tmp_path_factory.mktemp("mkt_lower"), seed=3, start="2015-01-01",
                                  end="2018-12-31", naming="lower")


@pytest.fixture(autouse=True)
def _close_figures():
    yield
    import sys

    if "matplotlib.pyplot" in sys.modules:
        sys.modules["matplotlib.pyplot"].close("all")
