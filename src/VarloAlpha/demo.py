"""A whole VarloAlpha run over a generated sample market.

    varlo-demo [OUTDIR]

Generates the sample market into OUTDIR/market (once), runs the bundled example strategy through
get_alpha, get_position_alpha, get_position and analyse, prints the report and writes the report files
and the two figures (as PNG files when there is no display) into OUTDIR/reports.
"""

import os
import sys
from pathlib import Path


# --- The example strategy: 20-day reversal of closes, ranked long-short across admitted symbols. ---

LOOKBACK = 20


def init(context):
    context.data_names = ["close"]


def get_alpha(context):
    close = context.data["close"].loc[:context.timestamp, context.symbols]
    window = close.iloc[-(LOOKBACK + 1):]
    # A symbol needs a close at both ends of the window to carry a view.
    context.alpha = 1 - window.iloc[-1] / window.iloc[0]


def run(out):
    """The whole run into the folder `out`; returns the summary."""
    out = Path(out).resolve()
    if not os.environ.get("DISPLAY") and "MPLBACKEND" not in os.environ:
        os.environ["MPLBACKEND"] = "Agg"
    import matplotlib.pyplot as plt

    from VarloAlpha.Module import sample_market
    from VarloAlpha.Module.Varlo_module import analyse, get_alpha as collect, get_position, get_position_alpha

    market = out / "market"
    if not (market / "dominant_contract.pkl").exists():
        print(f"generating the sample market into {market}")
        sample_market.generate(market, seed=0, start="2013-01-01", end="2024-12-31", naming="upper")
    config = {
        "data_path": market,
        "summary_name": "demo",
        "base": {"alpha_id": "demo", "begin_date": "2015-01-01", "end_date": "2024-12-31", "universe": "commodity"},
        "trade": {"trade_contract": "dominant", "matching_type": "vwap", "capital": 100_000_000, "leverage": 1,
                  "interest": "simple", "commission": 0.0003},
        "operators": {"smooth": {"smooth": 5, "mode": "linear"}, "longshort": {"longshort": 0.3, "mode": "keep_rank"}},
        "output": {"save_path": out / "reports" / "demo_report", "print": True, "plot": True},
    }
    alpha, alpha_multiplier = collect(config, init, get_alpha)
    position_alpha = get_position_alpha(alpha, alpha_multiplier, config)
    position, volume_position = get_position(position_alpha, config)
    result = {"alpha": alpha, "position_alpha": position_alpha, "position": position,
              "volume_position": volume_position}
    summary = analyse(result, config, config["summary_name"])
    save_path = config["output"]["save_path"]
    figures = [plt.figure(n) for n in plt.get_fignums()]
    if plt.get_backend().lower() == "agg":
        for i, fig in enumerate(figures, 1):
            fig.savefig(save_path / f"figure_{i}.png", dpi=100)
        plt.close("all")
    else:
        plt.show()
    print(f"\nmarket data:   {market}")
    print(f"report files:  {save_path}")
    for f in sorted(save_path.iterdir()):
        print(f"  {f.name}")
    return summary


def main(argv=None):
    args = sys.argv[1:] if argv is None else argv
    run(args[0] if args else "varlo_demo")


if __name__ == "__main__":
    main()
