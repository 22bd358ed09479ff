"""A whole VarloAlpha backtest over a generated sample market.

Generates a sample market into OUTDIR/market (once), runs `backtest` of the bundled example strategy
VarloAlpha.examples.momentum with the report, the report files, the HTML page and the stratification
analysis, and prints where everything is. Without a display the figures are saved as PNG files beside the reports.
"""

import argparse
import os
import sys
from pathlib import Path

STRATEGY = "VarloAlpha.examples.momentum"


def headless():
    """True when no window can be opened: figures then go to files."""
    if "MPLBACKEND" in os.environ:
        from matplotlib import get_backend

        try:
            from matplotlib.backends import BackendFilter, backend_registry

            non_interactive = backend_registry.list_builtin(BackendFilter.NON_INTERACTIVE)
        except ImportError:  # matplotlib before 3.9
            from matplotlib.rcsetup import non_interactive_bk as non_interactive
        return get_backend().lower() in non_interactive
    return sys.platform.startswith("linux") and not (os.environ.get("DISPLAY") or os.environ.get("WAYLAND_DISPLAY"))


def make_config(market, save_path, begin, end, layers=10, save_figures=False):
    """The demo's run configuration; docs/configuration.md describes every key."""
    return {
        "data_path": Path(market),
        "summary_name": "demo",
        "base": {"alpha_id": STRATEGY, "begin_date": begin, "end_date": end, "universe": "commodity"},
        "trade": {"trade_contract": "dominant", "matching_type": "vwap", "capital": 100_000_000, "leverage": 1,
                  "interest": "simple", "commission": 0.0003},
        "operators": {"longshort": {"longshort": 0.3, "mode": "keep_rank"}},
        "parameters": {"lookback": 20},
        "output": {"save_path": Path(save_path), "stratification": layers, "save_figures": save_figures,
                   "html": True},
    }


def run(out, begin="2015-01-01", end="2024-12-31", layers=10):
    """The whole run into the folder `out`; returns the summary."""
    out = Path(out).resolve()
    no_display = headless()
    if no_display:
        os.environ.setdefault("MPLBACKEND", "Agg")
    import importlib

    from VarloAlpha.Module import sample_market
    from VarloAlpha.Module.Varlo_module import backtest

    market = out / "market"
    if not (market / "dominant_contract.pkl").exists():
        print(f"generating the sample market into {market}")
        sample_market.generate(market, seed=0, start="2013-01-01", end="2024-12-31", naming="upper")
    save_path = out / "reports" / "demo_report"
    config = make_config(market, save_path, begin, end, layers, save_figures=no_display)
    import matplotlib.pyplot as plt

    before = set(plt.get_fignums())
    try:
        summary = backtest(config)
    finally:
        # Saved, or shown by a blocking show(), the run's figures are done with: a caller running the demo
        # again keeps no figures of earlier runs. In interactive mode the windows stay for the user.
        if not plt.isinteractive():
            for n in set(plt.get_fignums()) - before:
                plt.close(n)

    print(f"\nmarket data:     {market}")
    print(f"strategy module: {importlib.import_module(STRATEGY).__file__}  (copy it to write your own)")
    print(f"report files:    {save_path}")
    for f in sorted(save_path.iterdir()):
        print(f"  {f.name}")
    if not no_display:
        print("figures: shown in windows (saved as PNG files when there is no display)")
    return summary


def main(argv=None):
    parser = argparse.ArgumentParser(
        prog="varlo-demo", description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("outdir", nargs="?", default="varlo_demo",
                        help="output folder for the sample market and the reports (default: varlo_demo)")
    parser.add_argument("--begin", default="2015-01-01", help="first date of the backtest (default: 2015-01-01)")
    parser.add_argument("--end", default="2024-12-31", help="last date of the backtest (default: 2024-12-31)")
    parser.add_argument("--layers", type=int, default=10, help="layers of the stratification analysis (default: 10)")
    args = parser.parse_args(argv)
    run(args.outdir, args.begin, args.end, args.layers)


if __name__ == "__main__":
    main()
