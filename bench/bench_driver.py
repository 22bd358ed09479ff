"""Alpha collection and sizing: the framework against the same work written plainly in pandas.

    PYTHONPATH=build/pkg python3 bench/bench_driver.py      (or against the installed package)

The strategy only assigns a constant alpha, so what is timed is the framework's own daily work. The per-day
cost is the slope between a one-year and a ten-year run, which removes the fixed loading cost.
"""

import statistics
import tempfile
import time
from pathlib import Path

import numpy as np
import pandas as pd

from VarloAlpha.Module import sample_market
from VarloAlpha.Module.Varlo_module import get_alpha, get_position
from VarloAlpha.Module.Varlo_tradingday import TradingDay

ATTRS = pd.read_csv(Path(sample_market.__file__).parent / "futures_attributes.csv", index_col=0,
                    parse_dates=["backtest_begin_date"])


def init(context):
    context.data_names = []
    context.constant = pd.Series(1.0, index=ATTRS.index)


def daily(context):
    context.alpha = context.constant


class PlainContext:
    """The daily loop as plain pandas: offset arithmetic, to_dict, list appends, a DataFrame at the end."""

    def __init__(self, config):
        self.config = config
        self.data_path = config["data_path"]
        self.data = {"dominant_contract": pd.read_pickle(self.data_path / "dominant_contract.pkl", compression="gzip")}
        self.TD = TradingDay()
        self.backtest_calendar = self.data["dominant_contract"].loc[config["base"]["begin_date"]:config["base"]["end_date"]].index
        self.begin_timestamp, self.end_timestamp = self.backtest_calendar[0], self.backtest_calendar[-1]
        self.original_symbols = list(ATTRS.index)
        self.symbols, self.original_alpha, self.alpha, self.alpha_multiplier = [], {}, pd.Series(dtype=object), 1
        self.data["backtest_begin_date"] = ATTRS.loc[self.original_symbols, "backtest_begin_date"].sort_values()

    def get_symbols(self):
        deadline = self.timestamp - 20 * self.TD
        l1, l2 = len(self.symbols), len(self.original_symbols)
        if l1 >= l2:
            return
        bt_bd = self.data["backtest_begin_date"]
        while bt_bd.iloc[l1] < deadline:
            l1 += 1
            if l1 == l2:
                break
        self.symbols = list(bt_bd.index[:l1])

    def record_alpha(self):
        if self.timestamp == self.begin_timestamp:
            self.original_alpha = {"alpha_dict": {s: [] for s in self.original_symbols}, "alpha_multiplier": []}
        alpha = self.alpha.to_dict()
        for s in self.original_symbols:
            self.original_alpha["alpha_dict"][s].append(alpha.get(s, np.nan))
        self.original_alpha["alpha_multiplier"].append(self.alpha_multiplier)
        if self.timestamp == self.end_timestamp:
            frame = pd.DataFrame(self.original_alpha["alpha_dict"], index=self.backtest_calendar)
            self.alpha_multiplier = pd.Series(self.original_alpha["alpha_multiplier"], index=self.backtest_calendar)
            self.original_alpha = frame


def plain_get_alpha(config, ai_init, ai_get_alpha):
    context = PlainContext(config)
    ai_init(context)
    for dd in context.backtest_calendar:
        context.timestamp = dd
        context.get_symbols()
        ai_get_alpha(context)
        context.record_alpha()
    return context.original_alpha, context.alpha_multiplier


def timed(fn, *args, repeat=3):
    times = []
    for _ in range(repeat):
        t = time.perf_counter()
        out = fn(*args)
        times.append(time.perf_counter() - t)
    return statistics.median(times), out


def bench_loop(market):
    rows = {}
    for label, fn in (("framework", get_alpha), ("plain pandas", plain_get_alpha)):
        spans = {}
        for begin in ("2024-01-01", "2015-01-01"):
            cfg = {"data_path": market, "base": {"begin_date": begin, "end_date": "2024-12-31", "universe": "all"}}
            t, (alpha, _) = timed(fn, cfg, init, daily)
            spans[begin] = (t, len(alpha))
        (t1, n1), (t10, n10) = spans["2024-01-01"], spans["2015-01-01"]
        rows[label] = ((t10 - t1) / (n10 - n1) * 1e6, t10, n10)
        ref = alpha
    ours, plain = rows["framework"], rows["plain pandas"]
    print(f"get_alpha over {ours[2]} days x {len(ATTRS)} symbols (constant alpha)")
    print(f"  {'':14}{'us/day':>10}{'whole run s':>14}")
    for label, (per_day, whole, _) in rows.items():
        print(f"  {label:14}{per_day:10.1f}{whole:14.3f}")
    print(f"  ratio plain/ours per day: {plain[0] / ours[0]:.1f}x   whole run: {plain[1] / ours[1]:.1f}x")
    return ref


def bench_position(tmp):
    rng = np.random.default_rng(0)
    idx = pd.bdate_range("2010-01-01", periods=2500)
    cols = list(ATTRS.index[:100]) if len(ATTRS) >= 100 else [f"{s}" for s in ATTRS.index]
    cols = cols[:100]
    pa = pd.DataFrame(rng.normal(size=(len(idx), len(cols))) / len(cols), index=idx, columns=cols)
    prices = pd.DataFrame(rng.uniform(1e3, 5e4, size=pa.shape), index=idx, columns=cols)
    prices.to_pickle(tmp / "dominant_prevclose.pkl", compression="gzip")
    (prices * 1.001).to_pickle(tmp / "dominant_vwap.pkl", compression="gzip")
    config = {"data_path": tmp, "trade": {"capital": 1e8, "leverage": 1}}

    def plain(position_alpha, config):
        prevclose = pd.read_pickle(tmp / "dominant_prevclose.pkl", compression="gzip").reindex_like(position_alpha)
        matching = pd.read_pickle(tmp / "dominant_vwap.pkl", compression="gzip").reindex_like(position_alpha)
        attrs = pd.read_csv(Path(sample_market.__file__).parent / "futures_attributes.csv", index_col=0)
        cm = attrs["contract_multiplier"].loc[position_alpha.columns]
        volume = position_alpha.mul(1e8) / prevclose.mul(cm, axis=1)
        vp = volume.round(0)
        return vp * matching.mul(cm, axis=1) / 1e8, vp

    t_ours, (pos, vol) = timed(get_position, pa, config, repeat=7)
    t_plain, (ppos, pvol) = timed(plain, pa, config, repeat=7)
    assert pos.equals(ppos) and vol.equals(pvol)
    print(f"get_position on {pa.shape[0]} x {pa.shape[1]} (files read by both): ours {t_ours * 1e3:.2f} ms, "
          f"pandas {t_plain * 1e3:.2f} ms, ratio {t_plain / t_ours:.1f}x")


def main():
    with tempfile.TemporaryDirectory() as d:
        market = sample_market.generate(Path(d) / "market", seed=0, start="2013-06-01", end="2024-12-31")
        bench_loop(market)
        bench_position(Path(d))


if __name__ == "__main__":
    main()
