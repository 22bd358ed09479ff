"""record_alpha with a fresh alpha Series every day: label positions are keyed by content, never stale."""
from pathlib import Path

import numpy as np
import pandas as pd

from VarloAlpha.Module.Varlo_context import Context


def test_fresh_series_with_changing_labels_record_as_to_dict(market_upper):
    universe = ["RB", "CU", "AU", "AG"]
    cfg = {"data_path": Path(market_upper), "base": {"begin_date": "2017-01-03", "end_date": "2017-02-28",
                                                      "universe": universe}}
    ctx = Context(cfg)
    ctx.original_symbols = list(universe)
    rng = np.random.default_rng(5)
    fresh = lambda labels: ["".join(list(s)) for s in labels]  # equal labels, new str objects
    layouts = [universe, fresh(universe), universe[::-1], ["RB", "XX"], fresh(["CU", "AU", "CU"]),
               universe + ["ZZ"], ["AG"], []]
    expected = {s: [] for s in universe}
    for i, day in enumerate(ctx.backtest_calendar):
        labels = layouts[i % len(layouts)] if i % 3 else layouts[(i // 3) % len(layouts)]
        index = pd.Index(labels, dtype=object if i % 2 else "str")
        ctx.alpha = pd.Series(rng.normal(size=len(labels)), index=index)
        ctx.timestamp = day
        ctx.record_alpha()
        as_dict = ctx.alpha.to_dict()
        for s in universe:
            expected[s].append(as_dict.get(s, np.nan))
    frame = pd.DataFrame(expected, index=ctx.backtest_calendar)
    pd.testing.assert_frame_equal(ctx.original_alpha, frame, check_exact=True)
