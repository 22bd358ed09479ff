import copy
import io
import multiprocessing.pool
import os
import sys
from pathlib import Path

import matplotlib.pyplot as plt
import numpy as np
import pandas as pd
import pytest
import seaborn
from sklearn.model_selection import ParameterGrid

from VarloAlpha.Module import Varlo_analyse as va
from VarloAlpha.Module import Varlo_module as vm

# seaborn's centred colour maps go through a matplotlib call that matplotlib plans to deprecate.
pytestmark = pytest.mark.filterwarnings("ignore:The set_bad function:PendingDeprecationWarning")

TESTS = Path(__file__).resolve().parent
METRICS = {"ar": "Annualized Return", "ir": "Information Ratio", "cr": "Calmar Ratio",
           "ic": "Information Coefficient", "tr": "Annualized Turnover Rate"}
BUDGET = "VARLO_NUM_THREADS"


class InProcess:
    def map(self, fn, items):
        return map(fn, items)


def template():
    return {"base": {"alpha_id": "a1", "enable_profiler": True},
            "output": {"print": True, "plot": True, "stratification": 3, "save_path": Path("elsewhere")},
            "parameters": {"lookback": 20, "nested": [1, 2]},
            "operators": {"rank": {}, "smooth": {"smooth": 2, "mode": "linear"}, "n": {"x": 1}, "sign": None}}


def fake_summary(config):
    rng = np.random.default_rng(sum(map(ord, config["summary_name"])))
    return pd.Series(rng.normal(size=5), index=list(METRICS.values()), name=config["summary_name"])


@pytest.fixture
def recorded(monkeypatch):
    seen = []
    monkeypatch.setattr(vm, "backtest", lambda c: seen.append(c) or fake_summary(c), raising=False)
    return seen


@pytest.mark.parametrize("grid", [{"b": [1, 2], "a": [3, 4]}, {"op_smooth": [0.25, 7], "lookback": [7],
                                                                "flag": [True, None, "x"]}, {}])
def test_grid_points_follow_parameter_grid_with_suffixes_in_the_grids_key_order(grid, recorded):
    summarys = vm.multi_run(template(), grid, InProcess())
    points = list(ParameterGrid(grid))
    labels = ["run" + "".join(f"_{p[k]}" for k in grid) for p in points]
    assert [c["summary_name"] for c in recorded] == labels
    assert [c["output"]["save_path"] for c in recorded] == [Path("a1_reports/report" + s[3:]) for s in labels]
    for config, point in zip(recorded, points):
        for name, value in point.items():
            assert (config["operators"][name[3:]][name[3:]] if name[:2] == "op" else config["parameters"][name]) is value
    pd.testing.assert_frame_equal(summarys, pd.DataFrame([fake_summary(c) for c in recorded]))
    assert grid != {"b": [1, 2], "a": [3, 4]} or labels == ["run_1_3", "run_2_3", "run_1_4", "run_2_4"]
    assert grid != {} or labels == ["run"]


def test_derived_configuration_switches_off_output_and_keeps_the_chain(recorded):
    original = template()
    before = copy.deepcopy(original)
    vm.multi_run(original, {"op_smooth": [5], "open": [9], "lookback": [3]}, InProcess())
    (config,) = recorded
    assert original == before
    assert config["base"]["enable_profiler"] is False
    assert [config["output"][k] for k in ("print", "plot", "stratification")] == [False, False, False]
    assert config["operators"] == {"rank": {}, "smooth": {"smooth": 5, "mode": "linear"}, "n": {"x": 1, "n": 9},
                                   "sign": None} and list(config["operators"]) == ["rank", "smooth", "n", "sign"]
    assert config["parameters"] == {"lookback": 3, "nested": [1, 2]}
    assert config["parameters"]["nested"] is not original["parameters"]["nested"]


@pytest.mark.parametrize("grid, drop, error", [
    ({"lookback": [1, 2], "op_scale": [1]}, None, KeyError),  # operator not in the chain
    ({"op_sign": [1]}, None, TypeError),                      # its parameters are not a dictionary
    ({"lookback": [1]}, "parameters", KeyError), ({"op_smooth": [1]}, "operators", KeyError),
    ({}, "output", KeyError), ({"lookback": [1]}, None, ValueError),  # num_threads 0
])
def test_bad_grids_fail_before_any_run(monkeypatch, recorded, grid, drop, error):
    monkeypatch.setattr(vm, "Pool", lambda n: pytest.fail("a pool was started"))
    config = template()
    config.pop(drop, None)
    with pytest.raises(error):
        vm.multi_run(config, grid, num_threads=0 if error is ValueError else 1)
    assert recorded == []


@pytest.mark.parametrize("processors, workers", [(1, 1), (4, 3)])
def test_pool_has_one_worker_fewer_than_processors_but_never_none(monkeypatch, recorded, processors, workers):
    made = []
    monkeypatch.setattr(vm, "cpu_count", lambda: processors)
    monkeypatch.setattr(vm, "Pool", lambda n, **kw: made.append(n) or multiprocessing.pool.ThreadPool(n, **kw))
    summarys = vm.multi_run(template(), {"b": [1, 2], "a": [3, 4]})
    assert made == [workers] and list(summarys.index) == ["run_1_3", "run_2_3", "run_1_4", "run_2_4"]


def test_runs_get_their_kernel_budget_and_the_caller_keeps_its_own(monkeypatch):
    monkeypatch.delenv(BUDGET, raising=False)
    machine, seen = vm.get_num_threads(), []
    monkeypatch.setattr(vm, "backtest", lambda c: seen.append(vm.get_num_threads()) or fake_summary(c))
    for num_threads, expected in [(1, 1), (3, 3), (None, machine)]:
        seen.clear()
        vm.multi_run(template(), {"lookback": [1, 2]}, InProcess(), num_threads=num_threads)
        assert seen == [expected, expected] and BUDGET not in os.environ
    vm.set_num_threads(2)
    vm.multi_run(template(), {"lookback": [1]}, InProcess())
    assert os.environ[BUDGET] == "2" and vm.get_num_threads() == 2
    vm.set_num_threads(None)
    assert BUDGET not in os.environ and vm.get_num_threads() == machine
    for bad, error in [(0, ValueError), (1.5, TypeError)]:
        with pytest.raises(error):
            vm.set_num_threads(bad)


def test_progress_bar_only_on_a_terminal(monkeypatch, recorded):
    class Terminal(io.StringIO):
        def isatty(self):
            return True

    for stream, shown in [(Terminal(), True), (io.StringIO(), False)]:
        monkeypatch.setattr(sys, "stderr", stream)
        vm.multi_run(template(), {"lookback": [1, 2, 3]}, InProcess())
        assert ("3/3" in stream.getvalue()) is shown and (shown or stream.getvalue() == "")


# --- grid analysis ---------------------------------------------------------------------------------

def analysis_oracle(results):
    """The results table, printed text and pivot tables, in plain pandas."""
    df = pd.DataFrame([{"id": i, **{f"p{k + 1}": float(p) for k, p in enumerate(i.split("_")[1:])},
                        **{s: results.loc[i, key] for s, key in METRICS.items()}} for i in results.index])
    df.index = df.index + 1
    text, pivots, rows = [str(df)], [], list(df.columns[2:-5])
    for m in ["ar", "ir", "cr", "ic"]:
        text += ["-" * 60, f"Sort by {m}", str(df.sort_values(m, ascending=False))]
    for m in ["ar", "ir", "cr", "ic"]:
        if rows:
            pivot = df.pivot_table(values=m, index=rows, columns=["p1"], aggfunc=np.mean, margins=True)
        else:  # one parameter: one row, the "p1" values then one "All" column
            means = df.groupby("p1")[m].mean()
            pivot = pd.DataFrame([[*means, df[m].mean()]], index=[m],
                                 columns=pd.Index([*means.index, "All"], dtype=object, name="p1"))
        pivots.append(pivot)
        text += ["-" * 60, f"pivot table by {m}", str(pivot)]
    return df, "\n".join(text) + "\n", pivots


@pytest.mark.parametrize("labels", [
    ["run_5_3", "run_10_3", "run_5_4", "run_10_4", "run_0.5_5"],
    [f"run_{a}_{b}_{c}" for a in (1, 2) for b in (3, 4) for c in (5, 6)][:-1],
    ["run_5_3"],
    ["run_0.5", "run_5", "run_7", "run_5.0"],
])
def test_multi_analyse_tables_text_and_heat_maps(monkeypatch, tmp_path, capsys, labels):
    heatmaps, real = [], seaborn.heatmap

    def spy(data, ax, **kw):
        spec = ax.get_subplotspec()  # before the colour bar splits it
        heatmaps.append((data.copy(), kw, ax, spec.get_gridspec().get_geometry(), spec.rowspan.start, spec.colspan.start))
        return real(data, ax=ax, **kw)

    monkeypatch.setattr(seaborn, "heatmap", spy)
    values = np.random.default_rng(len(labels)).normal(size=(len(labels), 5)).round(3)
    values[values[:, 0] > 0.5, 0] = values[0, 0]  # ties in the sorted listings
    results = pd.DataFrame(values, index=labels, columns=list(METRICS.values()))
    expected, text, pivots = analysis_oracle(results)
    assert va.multi_analyse(results, tmp_path / "summarys_1.csv") is None

    written = pd.read_csv(tmp_path / "summarys_1.csv", index_col=0)
    assert list(written.index) == list(range(1, len(labels) + 1))
    assert list(written.columns) == ["id", *[f"p{k + 1}" for k in range(labels[0].count("_"))], *METRICS]
    pd.testing.assert_frame_equal(written, expected, check_dtype=False, check_index_type=False)
    assert capsys.readouterr().out == text
    titles = ["Annualized Return", "Information Ratio", "Calmar Ratio", "Information Coefficient"]
    spots = [(0, 0), (0, 1), (1, 0), (1, 1)]
    assert len(heatmaps) == 4 and len({ax.figure for _, _, ax, *_ in heatmaps}) == 1 and plt.get_fignums()
    for (data, kw, ax, geometry, *spot), pivot, title, where in zip(heatmaps, pivots, titles, spots):
        pd.testing.assert_frame_equal(data, pivot)
        assert kw == {"cmap": "RdYlGn_r", "center": 0, "annot": True}
        assert (geometry, tuple(spot), ax.get_title()) == ((2, 2), where, title)
    if len(labels[0].split("_")) == 2:
        assert list(pivots[0].columns) == [0.5, 5.0, 7.0, "All"] and list(pivots[0].index) == ["ar"]


# --- real grids over the sample market --------------------------------------------------------------

def real_config(market):
    return {"data_path": Path(market),
            "base": {"alpha_id": "grid_strategy", "begin_date": "2016-06-01", "end_date": "2016-08-31",
                     "universe": "all"},
            "trade": {"capital": 10_000_000, "leverage": 1, "commission": 0.0003, "trade_contract": "dominant",
                      "matching_type": "vwap"},
            "operators": {"smooth": {"smooth": 2, "mode": "linear"}, "longshort": {"longshort": 0.3, "mode": "keep_rank"}},
            "parameters": {"lookback": 20}, "output": {"save_path": Path("unused")}}


@pytest.fixture
def grid_workdir(monkeypatch, tmp_path):
    """Reports land under the working directory; workers find the strategy module and must run on one
    kernel thread each (the strategy fails otherwise)."""
    monkeypatch.chdir(tmp_path)
    monkeypatch.setenv("PYTHONPATH", os.pathsep.join(filter(None, [str(TESTS), os.environ.get("PYTHONPATH")])))
    monkeypatch.setenv("VARLO_GRID_EXPECT_THREADS", "1")
    monkeypatch.delenv(BUDGET, raising=False)
    return tmp_path


def test_real_grid_on_the_pool_and_on_dask_gives_the_same_summarys(market_upper, grid_workdir):
    from distributed import Client, LocalCluster

    config, grid = real_config(market_upper), {"lookback": [5, 10], "op_smooth": [1, 3]}
    on_pool = vm.multi_run(config, grid)
    # Started as the docs advise: the package preloaded, its own tables read and a warm-up run done (with the
    # cache switched off only for it) before the first run.
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
                      preload=["VarloAlpha.Module.Varlo_module"]) as cluster, Client(cluster) as client:
        warmed = client.run(lambda: (len(getattr(sys.modules["VarloAlpha.Module"], "_attributes_memo", {})),
                                     "VarloAlpha.examples.momentum" in sys.modules, os.environ.get("VARLO_CACHE")))
        on_dask = vm.multi_run(config, grid, client.get_executor())
    assert list(warmed.values()) == [(2, True, os.environ.get("VARLO_CACHE"))] * 2
    pd.testing.assert_frame_equal(on_pool, on_dask)
    assert list(on_pool.index) == ["run_5_1", "run_5_3", "run_10_1", "run_10_3"]
    assert not on_pool.loc["run_5_1"].equals(on_pool.loc["run_10_1"])  # the parameter reached the strategy
    assert sorted(p.name for p in (grid_workdir / "grid_strategy_reports").iterdir()) == [
        "report_10_1", "report_10_3", "report_5_1", "report_5_3"]
    assert config == real_config(market_upper) and BUDGET not in os.environ


def test_a_failing_run_raises_in_the_caller(market_upper, grid_workdir):
    with pytest.raises(ValueError, match="lookback must be positive, got 0"):
        vm.multi_run(real_config(market_upper), {"lookback": [5, 0]})


def test_a_dead_worker_fails_the_grid_naming_its_point(market_upper, grid_workdir):
    import pickle
    import subprocess

    (grid_workdir / "config.pkl").write_bytes(pickle.dumps(real_config(market_upper)))
    script = ("import pickle, sys\n"
              "from VarloAlpha.Module.Varlo_module import multi_run\n"
              "try:\n"
              "    multi_run(pickle.load(open('config.pkl', 'rb')), {'lookback': [5, -1]})\n"
              "except Exception as e:\n"
              "    print('failed', type(e).__name__, e, e.summarys.notna().all(axis=1).to_dict(), sep='|')\n")
    # before the fix the pool waits for the lost run for good: the child is killed by the timeout
    done = subprocess.run([sys.executable, "-c", script], cwd=grid_workdir, capture_output=True, text=True, timeout=300)
    _, kind, message, finished = next(line for line in done.stdout.splitlines() if line.startswith("failed|")).split("|")
    assert kind == "BrokenProcessPool" and "while running run_-1 {'lookback': -1}" in message
    assert finished == "{'run_5': True, 'run_-1': False}"


def test_a_failing_point_keeps_the_finished_summaries(monkeypatch, tmp_path):
    monkeypatch.chdir(tmp_path)
    monkeypatch.setattr(vm, "backtest", lambda c: 1 / c["parameters"]["lookback"] and fake_summary(c))
    with pytest.raises(ZeroDivisionError) as failed:
        vm.multi_backtest(template(), 4, {"lookback": [5, 7, 9, 0]}, InProcess())
    assert "in the grid point {'lookback': 0}, run run_0" in failed.value.__notes__
    finished = [fake_summary({"summary_name": f"run_{v}"}) for v in (5, 7, 9)]
    pd.testing.assert_frame_equal(failed.value.summarys, pd.DataFrame(finished + [pd.Series(name="run_0")]))
    written = pd.read_csv(tmp_path / "a1_reports" / "summarys_4.partial.csv", index_col=0)
    pd.testing.assert_frame_equal(written, failed.value.summarys)
    # a grid that names only operators needs no strategy parameters
    monkeypatch.setattr(vm, "backtest", fake_summary)
    config = template()
    del config["parameters"]
    assert len(vm.multi_run(config, {"op_smooth": [1, 2]}, InProcess())) == 2


def test_workers_close_the_figures_a_run_drew(monkeypatch):
    kept = plt.figure()
    monkeypatch.setattr(vm, "backtest", lambda c: plt.subplots(2, 1) and fake_summary(c))
    vm.multi_run(template(), {"lookback": [1, 2]}, InProcess())
    assert plt.get_fignums() == [kept.number]


def test_multi_backtest_writes_the_grid_summary_file(monkeypatch, market_upper, grid_workdir):
    shown = []
    monkeypatch.setattr(plt, "show", lambda: shown.append(True))
    config = real_config(market_upper)
    assert vm.multi_backtest(config, 3, {"lookback": [5, 10]}, InProcess()) is None and shown
    written = pd.read_csv(grid_workdir / "grid_strategy_reports" / "summarys_3.csv", index_col=0)
    assert list(written["id"]) == ["run_5", "run_10"] and list(written["p1"]) == [5.0, 10.0]
    summarys = vm.multi_run(config, {"lookback": [5, 10]}, InProcess())
    assert np.array_equal(written[list(METRICS)].to_numpy(), summarys.to_numpy())
