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
    """An executor that runs each run here, in order."""

    def map(self, fn, items):
        return map(fn, items)


def template():
    return {"base": {"alpha_id": "a1", "enable_profiler": True},
            "output": {"print": True, "plot": True, "stratification": 3, "save_path": Path("elsewhere")},
            "parameters": {"lookback": 20, "nested": [1, 2]},
            "operators": {"rank": {}, "smooth": {"smooth": 2, "mode": "linear"}, "n": {"x": 1}, "sign": None}}


def fake_summary(config):
    seed = sum(map(ord, config["summary_name"]))
    return pd.Series(np.random.default_rng(seed).normal(size=5), index=list(METRICS.values()),
                     name=config["summary_name"])


@pytest.fixture
def recorded(monkeypatch):
    seen = []

    def backtest(config):
        seen.append(config)
        return fake_summary(config)

    monkeypatch.setattr(vm, "backtest", backtest, raising=False)
    return seen


# --- grid points and their configurations ---------------------------------------------------------

@pytest.mark.parametrize("grid", [
    {"b": [1, 2], "a": [3, 4]},
    {"window": [5, 10], "op_smooth": [3]},
    {"op_smooth": [0.25, 7], "lookback": [7], "flag": [True, None, "x"]},
    {},
])
def test_grid_points_follow_parameter_grid_with_suffixes_in_the_grids_key_order(grid, recorded):
    summarys = vm.multi_run(template(), grid, InProcess())
    points = list(ParameterGrid(grid))
    labels = ["run" + "".join(f"_{p[k]}" for k in grid) for p in points]
    assert [c["summary_name"] for c in recorded] == labels
    assert [c["output"]["save_path"] for c in recorded] == [Path("a1_reports/report" + s[3:]) for s in labels]
    for config, point in zip(recorded, points):
        for name, value in point.items():
            where = config["operators"][name[3:]] if name.startswith("op") else config["parameters"]
            assert where[name[3:] if name.startswith("op") else name] is value
    pd.testing.assert_frame_equal(summarys, pd.DataFrame([fake_summary(c) for c in recorded]))
    if grid == {"b": [1, 2], "a": [3, 4]}:
        assert labels == ["run_1_3", "run_2_3", "run_1_4", "run_2_4"]
    if grid == {}:
        assert labels == ["run"] and recorded[0]["output"]["save_path"] == Path("a1_reports/report")


def test_derived_configuration_switches_off_output_and_keeps_the_chain(recorded):
    original = template()
    before = copy.deepcopy(original)
    vm.multi_run(original, {"op_smooth": [5], "open": [9], "lookback": [3]}, InProcess())
    (config,) = recorded
    assert original == before
    assert config["base"]["enable_profiler"] is False
    assert [config["output"][k] for k in ("print", "plot", "stratification")] == [False, False, False]
    assert list(config["operators"]) == ["rank", "smooth", "n", "sign"]
    assert config["operators"]["smooth"] == {"smooth": 5, "mode": "linear"}
    assert config["operators"]["n"] == {"x": 1, "n": 9}  # "open" is an operator name: key "n"
    assert config["parameters"] == {"lookback": 3, "nested": [1, 2]}
    assert config["parameters"]["nested"] is not original["parameters"]["nested"]
    assert config["summary_name"] == "run_5_9_3"


@pytest.mark.parametrize("grid, drop, error", [
    ({"lookback": [1, 2], "op_scale": [1]}, None, KeyError),  # operator not in the chain
    ({"op_sign": [1]}, None, TypeError),                      # its parameters are not a dictionary
    ({"lookback": [1]}, "parameters", KeyError),
    ({"op_smooth": [1]}, "operators", KeyError),
    ({"lookback": [1]}, "output", KeyError),
])
def test_bad_grids_fail_while_deriving_before_any_run(monkeypatch, recorded, grid, drop, error):
    def no_pool(*args):
        raise AssertionError("a pool was started")

    monkeypatch.setattr(vm, "Pool", no_pool)
    config = template()
    if drop:
        del config[drop]
    with pytest.raises(error):
        vm.multi_run(config, grid)
    assert recorded == []


@pytest.mark.parametrize("processors, workers", [(1, 1), (4, 3)])
def test_pool_has_one_worker_fewer_than_processors_but_never_none(monkeypatch, recorded, processors, workers):
    made = []

    def pool(processes):
        made.append(processes)
        return multiprocessing.pool.ThreadPool(processes)

    monkeypatch.setattr(vm, "cpu_count", lambda: processors)
    monkeypatch.setattr(vm, "Pool", pool)
    summarys = vm.multi_run(template(), {"b": [1, 2], "a": [3, 4]})
    assert made == [workers]
    assert list(summarys.index) == ["run_1_3", "run_2_3", "run_1_4", "run_2_4"]


def test_runs_get_their_kernel_budget_and_the_caller_keeps_its_own(monkeypatch):
    monkeypatch.delenv(BUDGET, raising=False)
    machine = vm.get_num_threads()
    seen = []

    def backtest(config):
        seen.append(vm.get_num_threads())
        return fake_summary(config)

    monkeypatch.setattr(vm, "backtest", backtest, raising=False)
    grid = {"lookback": [1, 2]}
    for num_threads, expected in [(1, 1), (3, 3), (None, machine)]:
        seen.clear()
        vm.multi_run(template(), grid, InProcess(), num_threads=num_threads)
        assert seen == [expected, expected]
        assert BUDGET not in os.environ
    vm.set_num_threads(2)
    assert os.environ[BUDGET] == "2" and vm.get_num_threads() == 2
    vm.multi_run(template(), grid, InProcess())
    assert os.environ[BUDGET] == "2"
    vm.set_num_threads(None)
    assert BUDGET not in os.environ and vm.get_num_threads() == machine
    for bad, error in [(0, ValueError), (-1, ValueError), (1.5, TypeError)]:
        with pytest.raises(error):
            vm.set_num_threads(bad)
        with pytest.raises(error):
            vm.multi_run(template(), grid, InProcess(), num_threads=bad)


def test_progress_bar_only_on_a_terminal(monkeypatch, recorded):
    class Terminal(io.StringIO):
        def isatty(self):
            return True

    for stream, shown in [(Terminal(), True), (io.StringIO(), False)]:
        monkeypatch.setattr(sys, "stderr", stream)
        vm.multi_run(template(), {"lookback": [1, 2, 3]}, InProcess())
        assert ("3/3" in stream.getvalue()) is shown
        assert shown or stream.getvalue() == ""


def test_multi_backtest_analyses_into_the_grid_summary_file(monkeypatch):
    calls = []
    monkeypatch.setattr(vm, "multi_run", lambda config, grid, **kw: calls.append(("run", grid, kw)) or "table")
    monkeypatch.setattr(vm, "multi_analyse", lambda results, path: calls.append(("analyse", results, path)))
    monkeypatch.setattr(plt, "show", lambda: calls.append("show"))
    assert vm.multi_backtest({"base": {"alpha_id": "a1"}}, 7, {"x": [1]}) is None
    assert calls == [("run", {"x": [1]}, {"executor": None, "num_threads": 1}),
                     ("analyse", "table", Path("a1_reports/summarys_7.csv")), "show"]


# --- grid analysis ---------------------------------------------------------------------------------

def analysis_oracle(results):
    """The results table, printed text and pivot tables, in plain pandas."""
    rows = []
    for index in results.index:
        row = {"id": index}
        for i, p in enumerate(index.split("_")[1:]):
            row[f"p{i + 1}"] = float(p)
        row.update({short: results.loc[index, key] for short, key in METRICS.items()})
        rows.append(row)
    df = pd.DataFrame(rows)
    df.index = df.index + 1
    text = [str(df)]
    for m in ["ar", "ir", "cr", "ic"]:
        text += ["-" * 60, f"Sort by {m}", str(df.sort_values(m, ascending=False))]
    pivots = []
    rows = list(df.columns[2:-5])
    for m in ["ar", "ir", "cr", "ic"]:
        if rows:
            pivot = df.pivot_table(values=m, index=rows, columns=["p1"], aggfunc=np.mean, margins=True)
        else:
            means = df.groupby("p1")[m].mean()
            pivot = pd.DataFrame([[*means, df[m].mean()]], index=[m],
                                 columns=pd.Index([*means.index, "All"], dtype=object, name="p1"))
        pivots.append(pivot)
        text += ["-" * 60, f"pivot table by {m}", str(pivot)]
    return df, "\n".join(text) + "\n", pivots


@pytest.fixture
def heatmaps(monkeypatch):
    calls = []
    real = seaborn.heatmap

    def spy(data, **kw):
        spec = kw["ax"].get_subplotspec()  # before the colour bar splits it
        kw = {**kw, "spot": (spec.get_gridspec().get_geometry(), spec.rowspan.start, spec.colspan.start)}
        calls.append((data.copy(), kw))
        return real(data, **{k: v for k, v in kw.items() if k != "spot"})

    monkeypatch.setattr(seaborn, "heatmap", spy)
    return calls


def summaries(labels, seed=0):
    values = np.random.default_rng(seed).normal(size=(len(labels), 5)).round(3)
    values[values[:, 0] > 1, 0] = values[0, 0]  # ties in the sorted listings
    return pd.DataFrame(values, index=labels, columns=list(METRICS.values()))


@pytest.mark.parametrize("labels, p_columns", [
    (["run_5_3", "run_10_3", "run_5_4", "run_10_4", "run_0.5_5"], ["p1", "p2"]),
    ([f"run_{a}_{b}_{c}" for a in (1, 2) for b in (3, 4) for c in (5, 6)][:-1], ["p1", "p2", "p3"]),
    (["run_5_3"], ["p1", "p2"]),
    (["run_0.5", "run_5", "run_7", "run_9"], ["p1"]),
])
def test_multi_analyse_tables_text_and_heat_maps(tmp_path, capsys, heatmaps, labels, p_columns):
    results = summaries(labels)
    expected, text, pivots = analysis_oracle(results)
    path = tmp_path / "summarys_1.csv"
    assert va.multi_analyse(results, path) is None

    assert list(expected.columns) == ["id", *p_columns, "ar", "ir", "cr", "ic", "tr"]
    written = pd.read_csv(path, index_col=0)
    assert list(written.index) == list(range(1, len(labels) + 1))
    pd.testing.assert_frame_equal(written, expected, check_dtype=False, check_index_type=False)
    assert capsys.readouterr().out == text

    assert len(heatmaps) == 4
    titles = ["Annualized Return", "Information Ratio", "Calmar Ratio", "Information Coefficient"]
    for (data, kw), pivot, title, spot in zip(heatmaps, pivots, titles, [(0, 0), (0, 1), (1, 0), (1, 1)]):
        pd.testing.assert_frame_equal(data, pivot)
        assert (kw["cmap"], kw["center"], kw["annot"]) == ("RdYlGn_r", 0, True)
        assert kw["spot"] == ((2, 2), *spot)
        assert kw["ax"].get_title() == title
    assert len({kw["ax"].figure for _, kw in heatmaps}) == 1 and plt.get_fignums()


def test_one_parameter_pivot_is_one_clean_row(tmp_path, capsys, heatmaps):
    results = summaries(["run_0.5", "run_5", "run_5.0"])
    va.multi_analyse(results, tmp_path / "s.csv")
    data, _ = heatmaps[0]
    assert list(data.columns) == [0.5, 5.0, "All"] and list(data.index) == ["ar"]
    ar = results["Annualized Return"]
    assert data.iloc[0].tolist() == pytest.approx([ar.iloc[0], ar.iloc[1:].mean(), ar.mean()], rel=1e-12)


# --- real grids over the sample market --------------------------------------------------------------

REAL_GRID = {"lookback": [5, 10], "op_smooth": [1, 3]}


def real_config(market):
    return {"data_path": Path(market),
            "base": {"alpha_id": "grid_strategy", "begin_date": "2016-06-01", "end_date": "2016-08-31",
                     "universe": "all"},
            "trade": {"trade_contract": "dominant", "matching_type": "vwap", "capital": 10_000_000, "leverage": 1,
                      "commission": 0.0003},
            "operators": {"smooth": {"smooth": 2, "mode": "linear"}, "longshort": {"longshort": 0.3, "mode": "keep_rank"}},
            "parameters": {"lookback": 20},
            "output": {"save_path": Path("unused")}}


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

    config = real_config(market_upper)
    before = copy.deepcopy(config)
    on_pool = vm.multi_run(config, REAL_GRID)
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster, \
            Client(cluster) as client:
        on_dask = vm.multi_run(config, REAL_GRID, client.get_executor())
    pd.testing.assert_frame_equal(on_pool, on_dask)
    assert list(on_pool.index) == ["run_5_1", "run_5_3", "run_10_1", "run_10_3"]
    assert list(on_pool.columns) == list(METRICS.values())
    assert not on_pool.loc["run_5_1"].equals(on_pool.loc["run_10_1"])  # the parameter reached the strategy
    assert sorted(p.name for p in (grid_workdir / "grid_strategy_reports").iterdir()) == [
        "report_10_1", "report_10_3", "report_5_1", "report_5_3"]
    assert config == before and BUDGET not in os.environ


def test_a_failing_run_raises_in_the_caller(market_upper, grid_workdir):
    with pytest.raises(ValueError, match="lookback must be positive, got 0"):
        vm.multi_run(real_config(market_upper), {"lookback": [5, 0]})


def test_multi_backtest_writes_the_grid_summary_file(monkeypatch, market_upper, grid_workdir, capsys):
    monkeypatch.setattr(plt, "show", lambda: None)
    config = real_config(market_upper)
    vm.multi_backtest(config, 3, {"lookback": [5, 10]}, InProcess())
    written = pd.read_csv(grid_workdir / "grid_strategy_reports" / "summarys_3.csv", index_col=0)
    assert list(written.index) == [1, 2] and list(written["id"]) == ["run_5", "run_10"]
    assert list(written["p1"]) == [5.0, 10.0]
    summarys = vm.multi_run(config, {"lookback": [5, 10]}, InProcess())
    assert np.allclose(written[list(METRICS)].to_numpy(), summarys.to_numpy(), rtol=1e-15, atol=0)
    assert "pivot table by ic" in capsys.readouterr().out and plt.get_fignums()
