import inspect
import io
import re
import sys
from pathlib import Path

import matplotlib.pyplot as plt
import pandas as pd
import pytest

from VarloAlpha.Module import Varlo_analyse as va
from VarloAlpha.Module import Varlo_module as vm

PROBE = '''
import pandas as pd

CALLS = []


def init(context):
    CALLS.append("init")
    context.data_names = ["close"]


def get_alpha(context):
    CALLS.append("day")
    close = context.data["close"].loc[:context.timestamp, context.symbols]
    context.alpha = close.iloc[-1] / close.iloc[-6] - 1
'''


@pytest.fixture(scope="module")
def probe(tmp_path_factory):
    """A strategy module importable by name; it records the framework's calls."""
    where = tmp_path_factory.mktemp("strategies")
    (where / "varlo_probe_strategy.py").write_text(PROBE)
    sys.path.insert(0, str(where))
    import varlo_probe_strategy

    yield varlo_probe_strategy
    sys.path.remove(str(where))
    sys.modules.pop("varlo_probe_strategy", None)


@pytest.fixture
def config(market_upper, tmp_path, probe):
    probe.CALLS.clear()
    return {"data_path": Path(market_upper),
            "base": {"alpha_id": "varlo_probe_strategy", "begin_date": "2017-06-01", "end_date": "2017-07-31",
                     "universe": "commodity"},
            "trade": {"trade_contract": "dominant", "matching_type": "vwap", "capital": 10_000_000, "leverage": 1},
            "operators": {"rank": {}},
            "output": {"save_path": tmp_path / "reports" / "run_1", "print": False, "plot": False}}


@pytest.fixture
def shows(monkeypatch):
    calls = []
    monkeypatch.setattr(plt, "show", lambda *a, **k: calls.append(1))
    return calls


def unchecked(cfg, init, daily):
    """The run's steps called one by one, without backtest's checks before the loop."""
    alpha, multiplier = vm.get_alpha(cfg, init, daily)
    position_alpha = vm.get_position_alpha(alpha, multiplier, cfg)
    position, volume_position = vm.get_position(position_alpha, cfg)
    result = {"alpha": alpha, "position_alpha": position_alpha, "position": position,
              "volume_position": volume_position}
    summary = vm.analyse(result, cfg, cfg.get("summary_name", "summary"))
    if cfg["output"].get("stratification", False):
        vm.stratification(cfg["output"]["save_path"], cfg["output"]["stratification"])
    return summary


def test_the_strategy_comes_from_its_module_when_a_callable_is_missing(config, probe, shows, capsys):
    def never(context):
        raise AssertionError("a lone initialiser is ignored")

    first = vm.backtest(config)
    calls = list(probe.CALLS)
    probe.CALLS.clear()
    second = vm.backtest(config, never)
    assert calls == probe.CALLS and calls[0] == "init" and calls.count("init") == 1
    calendar = pd.read_pickle(config["data_path"] / "dominant_contract.pkl", compression="gzip").index
    assert calls.count("day") == ((calendar >= "2017-06-01") & (calendar <= "2017-07-31")).sum()
    pd.testing.assert_series_equal(first, second)


def test_label_timing_line_result_and_identity(config, probe, shows, capsys, monkeypatch):
    seen = {}
    original = vm.analyse

    def analyse(result, cfg, summary_name):
        seen.update(result=result, name=summary_name, summary=original(result, cfg, summary_name))
        return seen["summary"]

    monkeypatch.setattr(vm, "analyse", analyse)
    summary = vm.backtest(config, probe.init, probe.get_alpha)
    out = capsys.readouterr().out
    assert summary is seen["summary"] and seen["name"] == "summary" and summary.name == "summary"
    assert list(seen["result"]) == ["alpha", "position_alpha", "position", "volume_position"]
    assert re.fullmatch(r"summary\n\nsummary time: \d+\.\d+(e-\d+)?s\n", out), out
    assert shows == [1]
    pd.testing.assert_series_equal(summary, unchecked(config, probe.init, probe.get_alpha))


def test_profiled_flow_prints_the_profile_only(config, probe, shows, capsys, monkeypatch):
    monkeypatch.setattr(vm, "stratification", lambda *a: pytest.fail("no stratification under the profiler"))
    config["base"]["enable_profiler"] = True
    config["summary_name"] = "prof"
    config["output"]["stratification"] = 5
    summary = vm.backtest(config)
    out = capsys.readouterr().out
    assert summary.name == "prof" and shows == []
    assert not out.startswith("prof") and "prof time:" not in out
    assert "framework's own steps" in out and "Timer unit" in out
    assert "context.alpha = close.iloc[-1] / close.iloc[-6] - 1" in out  # the strategy's lines are timed


def test_errors_reach_the_caller_and_written_files_stay(config, probe, shows, monkeypatch):
    failure = LookupError("no view today")
    days = []

    def daily(context):
        days.append(context.timestamp)
        if len(days) == 3:
            raise failure
        probe.get_alpha(context)

    with pytest.raises(LookupError) as caught:
        vm.backtest(config, probe.init, daily)
    assert caught.value is failure

    def broken(path, s):
        raise RuntimeError("stratification failed")

    monkeypatch.setattr(vm, "stratification", broken)
    config["output"]["stratification"] = 3
    with pytest.raises(RuntimeError, match="stratification failed"):
        vm.backtest(config)
    assert (config["output"]["save_path"] / "alpha_1.csv").exists()


def _no_trade(cfg):
    del cfg["trade"]


def _no_output(cfg):
    del cfg["output"]


@pytest.mark.parametrize("spoil", [
    lambda cfg: cfg["operators"].update(rnak={}),
    _no_trade,
    lambda cfg: cfg["trade"].update(trade_contract="main"),
    lambda cfg: cfg["trade"].update(interest="compund"),
    _no_output,
    lambda cfg: cfg["output"].pop("save_path"),
    lambda cfg: cfg["output"].update(stratification=2.5),
    lambda cfg: cfg["output"].update(output=False, stratification=4),
], ids=["operator", "trade", "price file", "interest", "output", "save_path", "layers", "no report"])
def test_configuration_errors_raise_before_the_loop(config, probe, shows, spoil):
    spoil(config)
    with pytest.raises(Exception) as expected:
        unchecked(config, probe.init, probe.get_alpha)
    assert "day" in probe.CALLS  # without the check the whole loop ran first
    probe.CALLS.clear()
    with pytest.raises(type(expected.value)) as caught:
        vm.backtest(config)
    assert str(caught.value) == str(expected.value)
    assert "day" not in probe.CALLS


def test_save_figures_writes_png_files_named_by_the_run(config, shows):
    mine = plt.figure()
    config["output"].update(plot=True, stratification=3, save_figures=True)
    vm.backtest(config)
    names = {p.name for p in config["output"]["save_path"].glob("*.png")}
    assert names == {"performance_1.png", "symbols_1.png", "stratification_layers_1.png",
                     "stratification_return_1.png"}
    assert plt.get_fignums() == [mine.number]


class Terminal(io.StringIO):
    def isatty(self):
        return True


def test_progress_bar_only_on_a_terminal(config, probe, monkeypatch, capsys):
    for env, expect_bar in (("1", True), ("0", False)):
        monkeypatch.setenv("VARLO_PROGRESS", env)
        monkeypatch.setattr(sys, "stderr", Terminal())
        vm.get_alpha(config, probe.init, probe.get_alpha)
        assert ("day" in sys.stderr.getvalue()) == expect_bar
    assert capsys.readouterr().out == ""


def test_public_functions_have_signatures():
    signatures = {f.__name__: list(inspect.signature(f).parameters) for f in
                  (vm.backtest, vm.get_alpha, vm.get_position_alpha, vm.get_position, va.analyse, va.stratification)}
    assert signatures == {"backtest": ["config", "ai_init", "ai_get_alpha"],
                          "get_alpha": ["config", "ai_init", "ai_get_alpha"],
                          "get_position_alpha": ["alpha", "alpha_multiplier", "config"],
                          "get_position": ["position_alpha", "config"],
                          "analyse": ["result", "config", "summary_name"],
                          "stratification": ["report_path", "s", "save_figures"]}
    assert inspect.signature(vm.backtest).parameters["ai_init"].default is None
    assert vm.backtest.__doc__.strip().startswith("backtest API")
    assert vm.stratification is va.stratification
