"""Grid runs: a 2 x 4 grid of the example strategy on the sample market, serially in this process, on the
process pool and on a local Dask cluster.

    python3 bench/bench_grid.py [--begin 2016-01-01] [--end 2017-12-31] [--workers N] [--repeat 3]

Every executor runs the same eight backtests with one kernel thread each. Printed per executor:

- wall time of the grid (best of --repeat) and the speed-up against the serial run, with the target of
  0.8 x workers;
- overhead per run in wall time: the worker-seconds beyond the serial run's share,
  (time x workers - serial time) / runs;
- CPU seconds per run, this process and its finished children together (mean over the repeats). On a
  shared machine wall times follow the load; CPU time shows what an executor adds to each run.

The pool is timed at its own size (one worker fewer than the processors) and at N workers. The Dask
cluster's start-up is timed apart; its CPU time (start-up, imports in the workers, every grid) is only
known once its processes have exited and is given for its whole life.
"""

import argparse
import contextlib
import os
import resource
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


def cpu_seconds():
    """User and system time of this process and of its children that have been waited for."""
    own, children = resource.getrusage(resource.RUSAGE_SELF), resource.getrusage(resource.RUSAGE_CHILDREN)
    return own.ru_utime + own.ru_stime + children.ru_utime + children.ru_stime


def timed(fn, repeat):
    """Best wall time, mean CPU time, last result."""
    best, cpu = float("inf"), 0.0
    for _ in range(repeat):
        c, t = cpu_seconds(), time.perf_counter()
        with quiet():
            out = fn()
        best = min(best, time.perf_counter() - t)
        cpu += cpu_seconds() - c
    return best, cpu / repeat, out


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--begin", default="2016-01-01")
    ap.add_argument("--end", default="2017-12-31")
    ap.add_argument("--workers", type=int, default=os.cpu_count())
    ap.add_argument("--repeat", type=int, default=3)
    args = ap.parse_args()

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
    n, repeat = args.workers, args.repeat
    rows = []

    serial, serial_cpu, reference = timed(lambda: vm.multi_run(config, GRID, InProcess()), repeat)
    rows.append(("serial, in process", 1, serial, serial_cpu, reference))
    default_workers = max(1, vm.cpu_count() - 1)
    rows.append(("process pool, default size", default_workers,
                 *timed(lambda: vm.multi_run(config, GRID), repeat)))
    real_cpu_count = vm.cpu_count
    vm.cpu_count = lambda: n + 1  # a pool of n workers
    try:
        rows.append(("process pool", n, *timed(lambda: vm.multi_run(config, GRID), repeat)))
    finally:
        vm.cpu_count = real_cpu_count

    dask_cpu = cpu_seconds()
    start = time.perf_counter()
    with quiet():
        cluster = LocalCluster(n_workers=n, threads_per_worker=1, processes=True, dashboard_address=None)
        client = Client(cluster)
    startup = time.perf_counter() - start
    try:
        executor = client.get_executor()
        first = timed(lambda: vm.multi_run(config, GRID, executor), 1)
        rows.append(("dask LocalCluster, first grid", n, first[0], None, first[2]))
        warm = timed(lambda: vm.multi_run(config, GRID, executor), repeat)
        rows.append(("dask LocalCluster, warm", n, warm[0], None, warm[2]))
    finally:
        with quiet():
            client.close()
            cluster.close()
    dask_cpu = (cpu_seconds() - dask_cpu) / ((1 + repeat) * runs)

    days = len(pd.read_pickle(market / "dominant_contract.pkl", compression="gzip").loc[args.begin:args.end])
    print(f"{runs} runs ({' x '.join(str(len(v)) for v in GRID.values())} grid), {days} trading days each, "
          f"{os.cpu_count()} processors, load average {os.getloadavg()[0]:.1f}")
    print(f"{'executor':32}{'workers':>8}{'wall s':>8}{'speed-up':>10}{'target':>8}{'overhead/run s':>16}"
          f"{'cpu s/run':>11}  same summarys")
    for name, workers, t, cpu, out in rows:
        overhead = (t * workers - serial) / runs
        target = f"{0.8 * workers:.1f}" if workers > 1 else ""
        cpu = "" if cpu is None else f"{cpu / runs:.3f}"
        print(f"{name:32}{workers:>8}{t:>8.2f}{serial / t:>10.2f}{target:>8}{overhead:>16.3f}{cpu:>11}  "
              f"{out.equals(reference)}")
    print(f"dask LocalCluster: start-up {startup:.2f} s wall; {dask_cpu:.3f} cpu s a run over its whole life "
          f"({1 + repeat} grids, start-up and worker imports included)")


if __name__ == "__main__":
    main()
