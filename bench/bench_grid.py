"""Grid runs: a 2 x 4 grid of the example strategy on the sample market, serially in this process, on the
process pool and on a local Dask cluster.

    python3 bench/bench_grid.py [--begin 2016-01-01] [--end 2017-12-31] [--workers N]

Every executor runs the same eight backtests with one kernel thread each; each time is the best of
--repeat grids (the first grid on a fresh Dask cluster, which imports the package in its workers, once). Printed per executor: the wall
time of the grid, the speed-up against the serial run, and the overhead per run: the worker-seconds spent
beyond the serial run's share, (time x workers - serial time) / runs. The pool is timed at its own size
(one worker fewer than the processors) and at N workers; the Dask cluster's start-up is timed apart.
"""

import argparse
import contextlib
import os
import sys
import tempfile
import time
from pathlib import Path

os.environ.setdefault("MPLBACKEND", "Agg")

import pandas as pd  # noqa: E402

from VarloAlpha.Module import Varlo_module as vm  # noqa: E402
from VarloAlpha.Module import sample_market  # noqa: E402

GRID = {"skip": [0, 1], "lookback": [5, 10, 20, 40]}


class InProcess:
    """The serial reference: every run in this process, one after the other."""

    def map(self, fn, items):
        return map(fn, items)


@contextlib.contextmanager
def quiet():
    """Run labels and timing lines go to /dev/null, also those of worker processes started meanwhile."""
    sys.stdout.flush()
    saved = os.dup(1)
    with open(os.devnull, "w") as null:
        os.dup2(null.fileno(), 1)
        try:
            yield
        finally:
            sys.stdout.flush()
            os.dup2(saved, 1)
            os.close(saved)


REPEAT = 3


def timed(fn):
    """The best of REPEAT wall times (the machine may be shared), and the last result."""
    best = float("inf")
    for _ in range(REPEAT):
        t = time.perf_counter()
        with quiet():
            out = fn()
        best = min(best, time.perf_counter() - t)
    return best, out


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--begin", default="2016-01-01")
    ap.add_argument("--end", default="2017-12-31")
    ap.add_argument("--workers", type=int, default=os.cpu_count())
    ap.add_argument("--repeat", type=int, default=REPEAT)
    args = ap.parse_args()
    globals()["REPEAT"] = args.repeat

    from distributed import Client, LocalCluster

    work = Path(tempfile.mkdtemp(prefix="varlo_bench_grid_"))
    market = sample_market.generate(work / "market", seed=1, start="2015-01-01", end=args.end, naming="upper")
    os.chdir(work)
    config = {"data_path": Path(market),
              "base": {"alpha_id": "VarloAlpha.examples.momentum", "begin_date": args.begin, "end_date": args.end,
                       "universe": "all"},
              "trade": {"trade_contract": "dominant", "matching_type": "vwap", "capital": 100_000_000, "leverage": 1,
                        "commission": 0.0003},
              "operators": {"longshort": {"longshort": 0.3, "mode": "keep_rank"}},
              "parameters": {},
              "output": {"save_path": Path("unused")}}
    runs = len(list(vm.ParameterGrid(GRID)))
    n = args.workers
    rows = []

    serial, reference = timed(lambda: vm.multi_run(config, GRID, InProcess()))
    rows.append(("serial, in process", 1, serial, reference))

    default_workers = max(1, vm.cpu_count() - 1)
    t, out = timed(lambda: vm.multi_run(config, GRID))
    rows.append((f"process pool, default size", default_workers, t, out))
    real_cpu_count = vm.cpu_count
    vm.cpu_count = lambda: n + 1  # a pool of n workers
    try:
        t, out = timed(lambda: vm.multi_run(config, GRID))
    finally:
        vm.cpu_count = real_cpu_count
    rows.append(("process pool", n, t, out))

    start = time.perf_counter()
    with quiet():
        cluster = LocalCluster(n_workers=n, threads_per_worker=1, processes=True, dashboard_address=None)
        client = Client(cluster)
    startup = time.perf_counter() - start
    try:
        executor = client.get_executor()
        t = time.perf_counter()
        with quiet():
            out = vm.multi_run(config, GRID, executor)
        rows.append(("dask LocalCluster, first grid", n, time.perf_counter() - t, out))
        t, out = timed(lambda: vm.multi_run(config, GRID, executor))
        rows.append(("dask LocalCluster, warm", n, t, out))
    finally:
        with quiet():
            client.close()
            cluster.close()

    days = len(pd.read_pickle(market / "dominant_contract.pkl", compression="gzip").loc[args.begin:args.end])
    print(f"{runs} runs ({' x '.join(str(len(v)) for v in GRID.values())} grid), {days} trading days each, "
          f"{os.cpu_count()} processors; serial {serial / runs:.3f} s a run")
    print(f"{'executor':32}{'workers':>8}{'time s':>9}{'speed-up':>10}{'target':>8}{'overhead/run s':>16}  same summarys")
    for name, workers, t, out in rows:
        overhead = (t * workers - serial) / runs
        target = f"{0.8 * workers:.1f}" if workers > 1 else ""
        same = out.equals(reference)
        print(f"{name:32}{workers:>8}{t:>9.2f}{serial / t:>10.2f}{target:>8}{overhead:>16.3f}  {same}")
    print(f"dask LocalCluster start-up ({n} worker processes): {startup:.2f} s; "
          f"load average at the end {os.getloadavg()[0]:.1f}")


if __name__ == "__main__":
    main()
