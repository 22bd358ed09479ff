"""The configuration checked before the first date, and the run's products checked where they are made."""
import csv
import importlib.util
import inspect
import math
import os
import shutil
import sys
import warnings
from pathlib import Path

import matplotlib.pyplot as plt
import numpy as np
import pandas as pd
import pytest

import VarloAlpha
from VarloAlpha.Module import Varlo_context as vc
from VarloAlpha.Module import Varlo_module as vm
from VarloAlpha.Module import Varlo_operators as vo
from VarloAlpha.Module import Varlo_tradingday as vt

ROOT = Path(__file__).resolve().parent.parent
CALLS = []


def init(context):
    CALLS.append("init")
    context.data_names = ["close"]


def daily(context):
    CALLS.append("day")
    close = context.data["close"].loc[:context.timestamp, context.symbols]
    context.alpha = close.iloc[-1] / close.iloc[-6] - 1


@pytest.fixture
def config(market_upper, tmp_path, monkeypatch):
    monkeypatch.setattr(plt, "show", lambda *a, **k: None)
    CALLS.clear()
    return {"data_path": Path(market_upper),
            "base": {"alpha_id": "no_such_strategy", "begin_date": "2017-06-01", "end_date": "2017-07-31",
                     "universe": "commodity"},
            "trade": {"trade_contract": "dominant", "matching_type": "vwap", "capital": 10_000_000, "leverage": 1,
                      "commission": 0.0003},
            "operators": {"rank": {}, "longshort": {"longshort": 0.3, "mode": "keep_rank"}},
            "output": {"save_path": tmp_path / "reports" / "run_1", "print": False, "plot": False}}


def at(cfg, where):
    for k in where:
        cfg = cfg[k]
    return cfg


@pytest.mark.parametrize("where, typo, meant", [
    ((), "oprators", "operators"),
    (("trade",), "comission", "commission"),
    (("output",), "stratificaton", "stratification"),
    (("base",), "lookahed_checks", "lookahead_checks"),
    (("operators", "longshort"), "mdoe", "mode"),
])
def test_unknown_keys_warn_naming_the_nearest_key_and_strict_raises(config, where, typo, meant):
    at(config, where)[typo] = 1
    config["parameters"] = {"anything_at_all": 1}  # the strategy's own: not judged
    with pytest.warns(VarloAlpha.ConfigWarning, match=f"'{typo}'.*did you mean '{meant}'"):
        vm.check_config(config)
    config["base"]["strict"] = True
    with pytest.raises(KeyError, match=f"did you mean '{meant}'"):
        vm.check_config(config)


def test_a_switch_that_is_not_a_bool_warns(config):
    config["output"]["report"] = "no"
    with pytest.warns(vm.ConfigWarning, match=r"config\['output'\]\['report'\].*taken as true"):
        vm.check_config(config)
    config["output"]["report"] = 0
    vm.check_config(config)


def _set(where, value):
    return lambda cfg: at(cfg, where[:-1]).__setitem__(where[-1], value)


BAD = [
    (("trade", "capital"), -1e7, ValueError),
    (("trade", "capital"), 0, ValueError),
    (("trade", "capital"), math.nan, ValueError),
    (("trade", "capital"), None, TypeError),
    (("trade", "leverage"), 0, ValueError),
    (("trade", "leverage"), math.inf, ValueError),
    (("trade", "commission"), -0.001, ValueError),
    (("trade", "commission"), math.nan, ValueError),
    (("base", "lookahead_checks"), -1, ValueError),
    (("base", "lookahead_checks"), "3", TypeError),
    (("base", "alpha_id"), 5, TypeError),
    (("base", "begin_date"), "2017-13-45", ValueError),
    (("base", "universe"), [], ValueError),
    (("base", "universe"), ["RB", "CU", "rb"], ValueError),
    (("output", "stratification"), -2, ValueError),
    (("output", "save_path"), Path("."), ValueError),
    (("trade", "trade_contract"), "/elsewhere/x", ValueError),
    (("trade", "matching_type"), "../vwap", ValueError),
    (("output", "last_position_name"), "./../../escaped", ValueError),
    (("trade", "trade_contract"), "dom\0inant", ValueError),
]


@pytest.mark.parametrize("where, value, error", BAD, ids=[f"{w[-1]}={v!r}" for w, v, _ in BAD])
def test_bad_values_raise_naming_the_key_before_the_first_date(config, tmp_path, where, value, error):
    _set(where, value)(config)
    before = sorted(tmp_path.rglob("*"))
    with pytest.raises(error, match=where[-1]):
        vm.backtest(config, init, daily)
    assert "day" not in CALLS
    assert sorted(tmp_path.rglob("*")) == before  # nothing written


def test_capital_times_leverage_must_be_finite(config):
    config["trade"].update(capital=1e200, leverage=1e200)
    with pytest.raises(ValueError, match="leverage"):
        vm.check_config(config)


def test_grid_values_and_alpha_id_stay_inside_the_grid_folder(config):
    config["parameters"] = {}
    with pytest.raises(ValueError, match="parameter_grid"):
        vm.multi_run(config, {"window": [5, "/../../grid_escape"]}, executor=object())  # fails before any map
    config["base"]["alpha_id"] = "../up"
    with pytest.raises(ValueError, match="alpha_id"):
        vm.multi_run(config, {"window": [5]}, executor=object())


@pytest.mark.parametrize("chain_of", ["config", "strategy"])
def test_a_bad_operator_entry_raises_the_operators_error_before_the_first_date(config, chain_of):
    bad = {"longshort": {"longshort": 0.3, "mode": "keep_rnk"}}
    own_init = init
    if chain_of == "config":
        config["operators"] = bad
    else:
        def own_init(context):
            init(context)
            context.operators = bad
    with pytest.raises(ValueError) as caught:
        vm.backtest(config, own_init, daily)
    assert str(caught.value) == "invalid op_longshort mode"
    note = "\n".join(caught.value.__notes__)
    assert "keep_rnk" in note and "keep_rank" in note
    assert ("context.operators" in note) == (chain_of == "strategy")
    assert CALLS == ["init"]


def test_a_typo_in_the_strategys_chain_warns_and_its_error_comes_first(config):
    def own_init(context):
        init(context)
        context.operators = {"smooth": {"smoth": 5}}

    with pytest.warns(vm.ConfigWarning, match="did you mean 'smooth'"), pytest.raises(KeyError):
        vm.backtest(config, own_init, daily)
    assert CALLS == ["init"]


def _alpha_of(values):
    def run(context):
        CALLS.append("day")
        context.alpha = pd.Series(values(context), index=context.original_symbols, dtype="float64")
    return run


def test_inf_empty_and_positionless_alpha_warn_and_figures_still_draw(config):
    config["output"]["plot"] = True
    config["operators"] = {}

    def with_inf(context):
        v = np.linspace(-1, 1, len(context.original_symbols))
        if context.timestamp.day == 15:
            v[1] = np.inf
        return v

    with pytest.warns(vm.AlphaWarning, match=r"inf.*first on 2017-06-15"):
        vm.backtest(config, init, _alpha_of(with_inf))
    config["output"]["stratification"] = 3
    with pytest.warns(vm.AlphaWarning) as seen:
        vm.backtest(config, init, _alpha_of(lambda c: np.nan))
    messages = [str(w.message) for w in seen]
    assert any("no value for any symbol" in m for m in messages)
    assert any("no position" in m for m in messages)


@pytest.mark.parametrize("alpha", [[1.0, 2.0], {"RB": 1.0}, None, pd.DataFrame({"RB": [1.0]})])
def test_a_daily_alpha_that_is_not_a_series_names_the_date_and_type(config, alpha):
    def run(context):
        context.alpha = alpha

    with pytest.raises((AttributeError, TypeError)) as caught:
        vm.get_alpha(config, init, run)
    note = "\n".join(caught.value.__notes__)
    assert "context.alpha" in note and type(alpha).__name__ in note and "2017-06-01" in note


def test_frames_that_are_not_dates_by_symbols_are_refused(config):
    def transposed(context):
        return context.data["close"].T

    def text_dates(context):
        close = context.data["close"]
        return close.set_axis(close.index.strftime("%Y-%m-%d"))

    for frame in (transposed, text_dates):
        with pytest.raises(ValueError, match="get_alpha_frame"):
            vm.get_alpha_frame(config, init, frame)


def test_price_tables_not_indexed_by_dates_are_refused(config, tmp_path):
    market = tmp_path / "market"
    shutil.copytree(config["data_path"], market)
    vwap = pd.read_pickle(market / "dominant_vwap.pkl", compression="gzip")
    vwap.set_axis(vwap.index.strftime("%Y%m%d")).to_pickle(market / "dominant_vwap.pkl", compression="gzip")
    config["data_path"] = market
    with pytest.raises(ValueError, match="dominant_vwap.pkl"):
        vm.backtest(config, init, daily)


def test_the_docs_table_is_the_checkers_table():
    origin = Path(importlib.util.find_spec("VarloAlpha.Module.Varlo_module").origin).parent
    with open(origin / "config_keys.csv", encoding="utf-8", newline="") as f:
        rows = list(csv.DictReader(f))
    lines = ["| key | type | default | allowed | read by | meaning |", "|---|---|---|---|---|---|"]
    for row in rows:
        name = "/".join(p for p in (row["section"], row["key"]) if p)
        allowed = ", ".join(f'"{a}"' for a in row["allowed"].split("|")) if row["allowed"] else ""
        lines.append(f"| `{name}` | {row['type'] or '-'} | {row['default'] or '-'} | {allowed} | {row['read_by']} "
                     f"| {row['meaning']} |")
    table = "\n".join(lines) + "\n"
    docs = (ROOT / "docs" / "configuration.md").read_text(encoding="utf-8")
    assert "<!-- keys: generated from config_keys.csv -->\n" + table + "<!-- end keys -->" in docs, table
    # Every key a valid configuration of the docs may hold is known to the check.
    example = docs.split("```python", 1)[1].split("```", 1)[0]
    scope = {}
    exec(example, scope)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        vm.check_config(scope["config"])


def test_every_public_callable_has_a_signature():
    assert VarloAlpha.Module is sys.modules["VarloAlpha.Module"]
    assert VarloAlpha.ConfigWarning is vm.ConfigWarning and issubclass(vm.AlphaWarning, UserWarning)
    for module in (vm, vc, vo, vt):
        for name in dir(module):
            f = getattr(module, name)
            if (name.startswith("_") or not callable(f) or not getattr(f, "__module__", "").startswith("VarloAlpha")
                    or isinstance(f, type) and issubclass(f, Warning)):
                continue
            inspect.signature(f)
    assert list(inspect.signature(vo.op_longshort).parameters) == ["op_alpha", "parameters"]
    assert inspect.signature(vo.op_rank).parameters["parameters"].default is None
    assert list(inspect.signature(vc.Context).parameters) == ["config"]
    assert list(inspect.signature(vm.set_num_threads).parameters) == ["n"]
    assert list(inspect.signature(vt.get_holidays).parameters) == []
    assert list(inspect.signature(vc.Context.get_data).parameters) == ["self"]


def test_paths_that_are_not_utf8_are_read_and_written(config, tmp_path):
    market = tmp_path / os.fsdecode(b"m\xff")
    shutil.copytree(config["data_path"], market)
    config["data_path"] = market
    config["output"].update(save_path=market / os.fsdecode(b"r_\xfe"), stratification=3)
    vm.backtest(config, init, daily)
    assert (config["output"]["save_path"] / os.fsdecode(b"summary_\xfe.txt")).is_file()


def test_a_misspelt_frame_function_warns(config, tmp_path, monkeypatch):
    (tmp_path / "varlo_misspelt_strategy.py").write_text(
        "from test_config_check import init, daily as get_alpha\n\n\ndef get_alpha_fram(context):\n    pass\n")
    monkeypatch.syspath_prepend(str(tmp_path))
    config["base"].update(alpha_id="varlo_misspelt_strategy", alpha_frame=True)
    with pytest.warns(vm.ConfigWarning, match="did you mean 'get_alpha_fram'"):
        vm.backtest(config)
    assert "day" in CALLS
