"""Market data at memory speed: the table cache against reading the gzip pickles on every call.

    python3 bench/bench_cache.py          (against the installed package; MPLBACKEND=Agg is set)

1. Entry layout: Arrow IPC (pyarrow) against the raw layout the cache uses, on a price table and the
   contract codes: store and load times and whether the DataFrame comes back exactly.
2. get_position + analyse, output off, at 2,410 x 70 and 2,479 x 300 (synthetic prices; the 300-symbol
   case runs in a copy of the package whose attribute table names the extra symbols): cache off (today:
   every call reads and unpickles six files), cold (reads and stores), from disk (a new process), warm
   (this process); beside the pandas formulation of the same sizing and analysis, which reads its files.
3. The example strategy's whole-frame backtest over ten years of 70 symbols, output off: off against warm.
4. A 16-point grid of it on one pool worker: ms a point, cache off, cold, and with the entries on disk.
5. A Dask worker's first run against its second one plus the data's first read in a fresh worker.
Every case checks that its results equal the cache-off results exactly.
"""

import contextlib
import io
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

os.environ.setdefault("MPLBACKEND", "Agg")

import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests"))

from bench_grid import quiet  # noqa: E402  (same folder)

RACY = 2.1  # files younger than this are not cached


def best(fn, n):
    times, out = [], None
    for _ in range(n):
        t = time.perf_counter()
        out = fn()
        times.append(time.perf_counter() - t)
    return min(times), out


def forget():
    import VarloAlpha.Module as package

    getattr(package, "_table_memo", {}).clear()


@contextlib.contextmanager
def cache(state, root):
    """state: "off", or a cache directory under root that the block uses."""
    saved = {k: os.environ.get(k) for k in ("VARLO_CACHE", "VARLO_CACHE_DIR")}
    if state == "off":
        os.environ["VARLO_CACHE"] = "0"
    else:
        os.environ.pop("VARLO_CACHE", None)
        os.environ["VARLO_CACHE_DIR"] = str(root / state)
    try:
        yield
    finally:
        for k, v in saved.items():
            if v is None:
                os.environ.pop(k, None)
            else:
                os.environ[k] = v


def prices(root, rows, cols, symbols):
    rng = np.random.default_rng(0)
    dates = pd.bdate_range("2014-01-02", periods=rows)

    def frame(values):
        return pd.DataFrame(values, index=dates, columns=symbols)

    settle = frame(np.round(3000 * np.exp(np.cumsum(rng.normal(0, 0.015, (rows, cols)), axis=0))))
    settle.iloc[:30, :10] = np.nan
    tables = {"settle": settle, "prevsettle": settle.shift(1), "nextreturnonsettle": settle.shift(-1) / settle - 1,
              "vwap": (settle * (1 + rng.normal(0, 0.002, (rows, cols)))).round(), "prevclose": settle.shift(1)}
    root.mkdir(parents=True, exist_ok=True)
    for name, table in tables.items():
        table.to_pickle(root / f"dominant_{name}.pkl", compression="gzip")
    alpha = frame(rng.standard_normal((rows, cols)))
    alpha[settle.isna()] = np.nan
    position_alpha = alpha.rank(axis=1, pct=True).sub(0.5)
    return position_alpha.div(position_alpha.abs().sum(axis=1), axis=0)


# --- 1. layout -------------------------------------------------------------------------------------------

def bench_layout(tmp):
    import pyarrow as pa
    from VarloAlpha.Module import sample_market
    from VarloAlpha.Module.Varlo_context import _read_table

    market = sample_market.generate(tmp / "layout", seed=0, start="2015-01-01", end="2024-12-31")
    time.sleep(RACY)
    print("1. entry layout, per table (best of 5 to 9, ms); exact = DataFrame identical incl. dtypes, names, freq")
    print(f"  {'table':26}{'pickle.gz':>10}{'arrow st':>10}{'arrow ld':>10}{'exact':>7}{'raw st':>9}{'raw ld':>9}{'exact':>7}")
    for name in ("dominant_vwap", "dominant_contract"):
        path = market / f"{name}.pkl"
        ref = pd.read_pickle(path, compression="gzip")
        with cache("off", tmp):
            t_gz, _ = best(lambda: _read_table(path), 9)
        arrow = tmp / f"{name}.arrow"

        def arrow_store():
            table = pa.Table.from_pandas(ref)
            with pa.OSFile(str(arrow), "wb") as sink, pa.ipc.new_file(sink, table.schema) as writer:
                writer.write_table(table)

        def arrow_load():
            with pa.memory_map(str(arrow)) as source:
                return pa.ipc.open_file(source).read_all().to_pandas()

        t_ast, _ = best(arrow_store, 5)
        t_ald, got = best(arrow_load, 5)
        arrow_exact = exact(got, ref)
        offs, colds = [], []
        for i in range(9):  # alternating, so that both see the same load
            with cache("off", tmp):
                offs.append(best(lambda: _read_table(path), 1)[0])
            with cache(f"layout{name}{i}", tmp):
                forget()
                colds.append(best(lambda: _read_table(path), 1)[0])
        stores = [min(colds) - min(offs)]
        with cache(f"layout{name}0", tmp):
            def raw_load():
                forget()
                return _read_table(path)
            t_rld, got = best(raw_load, 5)
        shape = f"{name} {ref.shape[0]}x{ref.shape[1]}"
        print(f"  {shape:26}{t_gz * 1e3:10.1f}{t_ast * 1e3:10.1f}{t_ald * 1e3:10.1f}{str(arrow_exact):>7}"
              f"{max(min(stores), 0) * 1e3:9.1f}{t_rld * 1e3:9.1f}{str(exact(got, ref)):>7}")
    forget()


def exact(got, ref):
    try:
        pd.testing.assert_frame_equal(got, ref, check_exact=True, check_freq=True)
    except AssertionError:
        return False
    return list(got.dtypes) == list(ref.dtypes) and got.columns.dtype == ref.columns.dtype


# --- 2. get_position + analyse ---------------------------------------------------------------------------

def pandas_sizing(position_alpha, cfg, multiplier):
    from reference.analyse import reference

    data, trade = cfg["data_path"], cfg["trade"]
    prevclose = pd.read_pickle(data / "dominant_prevclose.pkl", compression="gzip").reindex_like(position_alpha)
    matching = pd.read_pickle(data / "dominant_vwap.pkl", compression="gzip").reindex_like(position_alpha)
    volume = position_alpha.mul(trade["capital"] * trade["leverage"]) / prevclose.mul(multiplier, axis=1)
    volume_position = volume.round(0)
    position = volume_position * matching.mul(multiplier, axis=1) / trade["capital"]
    result = {"alpha": position_alpha, "position_alpha": position_alpha, "position": position,
              "volume_position": volume_position}
    return reference(result, cfg)[0]


def bench_sizing_here(rows, cols, tmp):
    from VarloAlpha.Module.Varlo_analyse import analyse
    from VarloAlpha.Module.Varlo_module import get_position

    attrs = pd.read_csv(Path(sys.modules["VarloAlpha.Module"].__file__).parent / "futures_attributes.csv", index_col=0)
    symbols = list(attrs.index[:cols])
    assert len(symbols) == cols, "the attribute table names too few symbols"
    data = tmp / f"sizing{rows}x{cols}"
    position_alpha = prices(data, rows, cols, symbols)
    time.sleep(RACY)
    cfg = {"data_path": data, "trade": {"trade_contract": "dominant", "matching_type": "vwap", "capital": 1e8,
                                        "leverage": 1, "commission": 3e-4}, "output": {"output": False}}

    def ours():
        position, volume = get_position(position_alpha, cfg)
        result = {"alpha": position_alpha, "position_alpha": position_alpha, "position": position,
                  "volume_position": volume}
        return analyse(result, cfg)

    rows_out = []
    with np.errstate(all="ignore"):
        t_pd, _ = best(lambda: pandas_sizing(position_alpha, cfg, attrs["contract_multiplier"].loc[symbols]), 5)
        # Off and cold alternate, so that both see the same load on a shared machine.
        offs, colds = [], []
        for i in range(7):
            with cache("off", tmp):
                t, ref = best(ours, 1)
                offs.append(t)
            with cache(f"sizing-cold{rows}x{cols}-{i}", tmp):
                forget()
                t, got = best(ours, 1)
                colds.append(t)
                pd.testing.assert_series_equal(got, ref, check_exact=True)
        t_off = min(offs)
        with cache(f"sizing-cold{rows}x{cols}-0", tmp):
            def from_disk():
                forget()
                return ours()
            t_disk, got = best(from_disk, 5)
            pd.testing.assert_series_equal(got, ref, check_exact=True)
            t_warm, got = best(ours, 7)
            pd.testing.assert_series_equal(got, ref, check_exact=True)
    for label, t in (("pandas formulation", t_pd), ("cache off (today)", t_off), ("cold (reads, stores)", min(colds)),
                     ("entries on disk, new process", t_disk), ("warm (this process)", t_warm)):
        rows_out.append(f"  {f'{rows} x {cols}':12}{label:30}{t * 1e3:9.1f}{t_off / t:9.2f}x{t_pd / t:9.2f}x")
    print("\n".join(rows_out))
    forget()


def bench_sizing(tmp):
    print("\n2. get_position + analyse, output off (best of n, ms; summaries identical)")
    print(f"  {'shape':12}{'case':30}{'ms':>9}{'vs off':>10}{'vs pandas':>10}")
    bench_sizing_here(2410, 70, tmp)
    # 300 symbols: a copy of the package whose attribute table has 230 more (copies of the first row).
    import VarloAlpha

    pkg = tmp / "pkg"
    shutil.copytree(Path(VarloAlpha.__file__).parent, pkg / "VarloAlpha")
    csv = pkg / "VarloAlpha" / "Module" / "futures_attributes.csv"
    attrs = pd.read_csv(csv, index_col=0)
    extra = pd.DataFrame([attrs.iloc[0]] * 230, index=[f"X{i:03d}" for i in range(230)])
    extra["symbol_name"] = [s.lower() for s in extra.index]
    pd.concat([attrs, extra]).to_csv(csv)
    env = {**os.environ, "PYTHONPATH": str(pkg)}
    sys.stdout.flush()
    subprocess.run([sys.executable, __file__, "--sizing", "2479", "300", str(tmp)], env=env, check=True)


# --- 3 and 4. the example strategy -----------------------------------------------------------------------

def example_config(market, **base):
    return {"data_path": market,
            "base": {"alpha_id": "VarloAlpha.examples.momentum", "begin_date": "2015-01-01",
                     "end_date": "2024-12-31", "universe": "all", "alpha_frame": True, **base},
            "operators": {}, "parameters": {}, "output": {"output": False},
            "trade": {"trade_contract": "dominant", "matching_type": "vwap", "capital": 1e8, "leverage": 1}}


def bench_example(tmp):
    from VarloAlpha.Module import sample_market
    from VarloAlpha.Module import Varlo_module as vm

    market = sample_market.generate(tmp / "example", seed=0, start="2013-01-01", end="2024-12-31")
    time.sleep(RACY)

    def run(**base):
        with contextlib.redirect_stdout(io.StringIO()):
            return vm.backtest(example_config(market, **base))

    print("\n3. example whole-frame backtest, 2015-2024, 70 symbols, output off (best of 5, ms; summaries identical)")
    print(f"  {'case':34}{'off':>9}{'warm':>9}{'ratio':>8}")
    for label, base in (("look-ahead guard 3 (default)", {}), ("look-ahead guard off", {"lookahead_checks": 0})):
        with cache("off", tmp):
            t_off, ref = best(lambda: run(**base), 5)
        with cache("example", tmp):
            run(**base)
            t_warm, got = best(lambda: run(**base), 5)
        pd.testing.assert_series_equal(got, ref, check_exact=True)
        print(f"  {label:34}{t_off * 1e3:9.1f}{t_warm * 1e3:9.1f}{t_off / t_warm:7.1f}x")
    forget()

    grid = {"skip": [0, 1], "lookback": [5, 10, 20, 40, 60, 80, 100, 120]}
    saved = vm.cpu_count
    vm.cpu_count = lambda: 2  # one pool worker
    print("\n4. 16-point grid of it on one pool worker (ms a point, pool start included; best of 2)")
    try:
        out = {}
        for label, state, fresh in (("cache off (today)", "off", False), ("cold cache", "grid", True),
                                    ("entries on disk", "grid", False)):
            def one():
                if fresh:
                    shutil.rmtree(tmp / state, ignore_errors=True)
                forget()
                with cache(state, tmp), contextlib.redirect_stdout(io.StringIO()):
                    return vm.multi_run(example_config(market), grid)
            t, out[label] = best(one, 2)
            print(f"  {label:34}{t / 16 * 1e3:9.1f}")
        for label, table in out.items():
            pd.testing.assert_frame_equal(table, out["cache off (today)"], check_exact=True)
    finally:
        vm.cpu_count = saved


def bench_dask(tmp):
    """A Dask worker's first run against its second, and the data's first read as a fresh worker pays it."""
    from distributed import Client, LocalCluster
    from VarloAlpha.Module import Varlo_module as vm
    from VarloAlpha.Module.Varlo_context import _read_table

    market = tmp / "example"
    config = example_config(market)
    files = ["dominant_contract", "close", "dominant_prevclose", "dominant_vwap", "dominant_nextreturnonsettle",
             "dominant_settle", "dominant_prevsettle"]

    def read_all():
        from VarloAlpha.Module.Varlo_context import _read_table

        t0 = time.perf_counter()
        for name in files:
            _read_table(market / f"{name}.pkl")
        return time.perf_counter() - t0

    def cluster(preload):
        return LocalCluster(n_workers=1, threads_per_worker=1, processes=True, preload=preload,
                            dashboard_address=None)

    presets = (("plain worker", []), ("worker started with preload", ["VarloAlpha.Module.Varlo_module"]))
    # The data's first read (cache off, today's read) in a fresh worker, and in a fresh plain process.
    script = ("import sys, time; from pathlib import Path; from VarloAlpha.Module.Varlo_context import _read_table\n"
              "m = Path(sys.argv[1]); t0 = time.perf_counter()\n"
              "for name in sys.argv[2:]: _read_table(m / f'{name}.pkl')\n"
              "print(time.perf_counter() - t0)")
    in_process, in_worker = [], {(label, state): [] for label, _ in presets for state in ("off", "cold")}
    for _ in range(3):
        out = subprocess.run([sys.executable, "-c", script, str(market), *files], check=True, capture_output=True,
                             text=True, env={**os.environ, "VARLO_CACHE": "0"})
        in_process.append(float(out.stdout))
        for label, preload in presets:
            for state in ("off", "cold"):
                shutil.rmtree(tmp / "cold", ignore_errors=True)
                with quiet(), cache(state, tmp), cluster(preload) as c, Client(c) as client:
                    in_worker[label, state].append(client.submit(read_all, pure=False).result())
    with cache("off", tmp):
        t0 = time.perf_counter()
        for name in files:
            _read_table(market / f"{name}.pkl")
        read_here = time.perf_counter() - t0
    print("\n5. Dask, fresh worker processes (s, each best of 3 workers): first run, second run (cache cold at the "
          "first), the data's first read in a fresh worker with the cache off and with a cold cache, as the first "
          "run reads it; for scale, the "
          f"read with the cache off in a fresh process {min(in_process):.3f}, in this warm one {read_here:.3f}")
    for label, preload in presets:
        runs = []  # (first, second) of each fresh worker, its cache cold
        for _ in range(3):
            shutil.rmtree(tmp / "dask", ignore_errors=True)
            times = []
            with quiet(), cache("dask", tmp), cluster(preload) as c, Client(c) as client:
                ex = client.get_executor()
                for lookback in (20, 40):
                    t0 = time.perf_counter()
                    vm.multi_run(config, {"lookback": [lookback]}, ex)
                    times.append(time.perf_counter() - t0)
            runs.append(times)
        first, second = (min(t[k] for t in runs) for k in (0, 1))
        off, cold = min(in_worker[label, "off"]), min(in_worker[label, "cold"])
        print(f"  {label:30} first {first:6.3f}  second {second:6.3f}  first read off {off:6.3f} / cold "
              f"{cold:6.3f}  second + first read {second + off:6.3f} / {second + cold:6.3f}")


def main():
    if sys.argv[1:2] == ["--sizing"]:
        bench_sizing_here(int(sys.argv[2]), int(sys.argv[3]), Path(sys.argv[4]))
        return
    with tempfile.TemporaryDirectory() as d:
        tmp = Path(d)
        os.environ["VARLO_CACHE_DIR"] = str(tmp / "default")
        bench_layout(tmp)
        bench_sizing(tmp)
        bench_example(tmp)
        bench_dask(tmp)


if __name__ == "__main__":
    main()
