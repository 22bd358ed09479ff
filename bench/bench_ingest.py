"""Ingest speed and memory: 10 years x 70 symbols x 6 live contracts (about 1 million bar rows).

For CSV and Parquet input: the time of `build_market` from the file, the time pandas alone takes to read
that file (the floor any ingest pays), their ratio, and the peak memory the ingest adds over the
process before it, against the size of the bars table in memory. Each measurement runs in a fresh
process so peaks do not mix.

    python bench/bench_ingest.py [--years 10] [--symbols 70] [--live 6]
"""

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
import pandas as pd

from VarloAlpha.ingest import DOMINANT_TABLES, STRATEGY_TABLES, load_attributes
from VarloAlpha.Module.sample_market import trading_dates


TABLES = (*DOMINANT_TABLES, *STRATEGY_TABLES)


def make_bars(years, n_symbols, live, seed=0):
    """Every symbol lists the next `live` monthly contracts; open interest peaks on the second one."""
    rng = np.random.default_rng(seed)
    dates = trading_dates("2015-01-01", f"{2014 + years}-12-31")
    symbols = list(load_attributes().index[:n_symbols])
    month = dates.year.to_numpy() * 12 + dates.month.to_numpy() - 1
    n = len(dates) * len(symbols) * live
    d = np.repeat(np.arange(len(dates)), len(symbols) * live)
    s = np.tile(np.repeat(np.arange(len(symbols)), live), len(dates))
    k = np.tile(np.arange(live), len(dates) * len(symbols))
    delivery = month[d] + 1 + k
    prefix = np.array(symbols, dtype=object)[s]
    yymm = pd.Series((delivery // 12 % 100) * 100 + delivery % 12 + 1).astype(str).str.zfill(4)
    codes = prefix + yymm.to_numpy(object)
    level = 1000 * np.exp(np.cumsum(rng.normal(0, 0.01, (len(dates), len(symbols))), axis=0))
    settle = level[d, s] * np.exp(0.002 * k + rng.normal(0, 0.001, n))
    close = settle * np.exp(rng.normal(0, 0.003, n))
    oi = np.round(1e5 * np.exp(-((k - 1.0 - dates.day.to_numpy()[d] / 31) ** 2)) * rng.lognormal(0, 0.1, n))
    volume = np.round(oi * rng.lognormal(0, 0.3, n))
    return pd.DataFrame({
        "date": dates[d], "contract": codes, "open": close * 0.999, "high": settle * 1.01, "low": settle * 0.99,
        "close": close, "settle": settle, "volume": volume, "open_interest": oi,
        "turnover": settle * volume * 10,
    })


def measure(what, path, out):
    """Run in a child process: reading alone, or one ingest with the memory it adds."""
    if what == "read":
        t0 = time.perf_counter()
        frame = pd.read_parquet(path) if path.endswith(".parquet") else pd.read_csv(path, engine="pyarrow")
        print(json.dumps({"read_s": time.perf_counter() - t0,
                          "input_bytes": int(frame.memory_usage(deep=True).sum())}))
        return
    from VarloAlpha.ingest import build_market

    # A warm-up on a few rows loads every library the ingest touches: their memory is not the data's.
    small = Path(out).with_name("small" + Path(path).suffix)
    few = make_bars(1, 2, 2).head(50)
    few.to_parquet(small, index=False) if path.endswith(".parquet") else few.to_csv(small, index=False)
    build_market(small, Path(out).with_name("small_out"), print_report=False, force=True)
    base = _rss()
    t0 = time.perf_counter()
    build_market(path, out, print_report=False)
    ingest_s = time.perf_counter() - t0
    peak = _high_water()
    print(json.dumps({"ingest_s": ingest_s, "added_bytes": peak - base}))


def _high_water():
    # VmHWM, not ru_maxrss: the latter keeps the parent's peak across fork and exec.
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmHWM:"))


def _rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--years", type=int, default=10)
    parser.add_argument("--symbols", type=int, default=70)
    parser.add_argument("--live", type=int, default=6)
    parser.add_argument("--child", nargs=3, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        measure(*args.child)
        return
    with tempfile.TemporaryDirectory() as tmp:
        tmp = Path(tmp)
        bars = make_bars(args.years, args.symbols, args.live)
        print(f"{len(bars):,} bar rows: {args.years} years x {args.symbols} symbols x {args.live} live contracts")
        bars.to_csv(tmp / "bars.csv", index=False, date_format="%Y-%m-%d")
        bars.to_parquet(tmp / "bars.parquet", index=False)
        del bars
        print(f"{'input':<8} {'file MB':>8} {'read s':>7} {'ingest s':>9} {'ingest/read':>12} "
              f"{'table MB':>9} {'peak MB':>8} {'peak/table':>11}")
        for name in ("bars.csv", "bars.parquet"):
            r = {}
            for what in ("read", "ingest"):
                run = subprocess.run([sys.executable, __file__, "--child", what, str(tmp / name),
                                      str(tmp / f"out_{name}")], capture_output=True, text=True)
                if run.returncode:
                    raise SystemExit(run.stderr)
                r.update(json.loads(run.stdout.strip().splitlines()[-1]))
            size = (tmp / name).stat().st_size / 1e6
            print(f"{name.split('.')[1]:<8} {size:>8.1f} {r['read_s']:>7.2f} {r['ingest_s']:>9.2f} "
                  f"{r['ingest_s'] / r['read_s']:>12.1f} {r['input_bytes'] / 1e6:>9.1f} "
                  f"{r['added_bytes'] / 1e6:>8.1f} {r['added_bytes'] / r['input_bytes']:>11.2f}")
        same = all(pd.read_pickle(tmp / "out_bars.csv" / f"{t}.pkl", compression="gzip").equals(
            pd.read_pickle(tmp / "out_bars.parquet" / f"{t}.pkl", compression="gzip")) for t in TABLES)
        print(f"CSV and Parquet give the same tables: {same}")


if __name__ == "__main__":
    main()
