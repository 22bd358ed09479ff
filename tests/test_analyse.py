"""analyse: trade simulation, performance figures and report output, held against the plain pandas
formulation and against hand-worked runs."""

import contextlib
import copy
import io
import math
import re
from pathlib import Path

import matplotlib

matplotlib.use("Agg")

import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402
import pytest  # noqa: E402
from hypothesis import HealthCheck, given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

from VarloAlpha.Module import Varlo_analyse  # noqa: E402
from VarloAlpha.Module.Varlo_analyse import analyse  # noqa: E402

from reference.analyse import NO_RECOVERY, SUMMARY_LABELS, TABLES, reference  # noqa: E402


@pytest.fixture(autouse=True)
def close_figures():
    yield
    plt.close("all")


# --- helpers --------------------------------------------------------------------------------------------

def write_market(data, dates, symbols, prefix="dominant", matching_type="vwap", **tables):
    """Price files in data; each table a scalar, an array, or a ready DataFrame (own labels kept)."""
    data.mkdir(parents=True, exist_ok=True)
    defaults = {"nextreturn": 0.0, "settle": 100.0, "prevsettle": 100.0, "matching": 100.0}
    names = {"nextreturn": f"{prefix}_nextreturnonsettle.pkl", "settle": f"{prefix}_settle.pkl",
             "prevsettle": f"{prefix}_prevsettle.pkl", "matching": f"{prefix}_{matching_type}.pkl",
             "contracts": f"{prefix}_contract.pkl"}
    for key, name in names.items():
        value = tables.get(key, defaults.get(key))
        if value is None:
            continue
        if not isinstance(value, pd.DataFrame):
            value = pd.DataFrame(np.broadcast_to(value, (len(dates), len(symbols))).copy(), index=dates,
                                 columns=symbols)
        value.to_pickle(data / name, compression="gzip")


def make_config(data, save=None, interest=None, commission=None, **output):
    trade = {"trade_contract": "dominant", "matching_type": "vwap"}
    if interest is not None:
        trade["interest"] = interest
    if commission is not None:
        trade["commission"] = commission
    out = {"print": False, "plot": False, "last_position": False, **output}
    if save is not None:
        out["save_path"] = save
    return {"data_path": data, "trade": trade, "output": out}


def make_result(position, alpha=None, volume_position=None):
    alpha = position.copy() if alpha is None else alpha
    volume = (position * 10).round() if volume_position is None else volume_position
    return {"alpha": alpha, "position_alpha": position.copy(), "position": position, "volume_position": volume}


def read_table(save, stem, run_id):
    return pd.read_csv(save / f"{stem}_{run_id}.csv", index_col=0, parse_dates=stem != "symbol_performance")


def report_text(save, run_id):
    return (save / f"summary_{run_id}.txt").read_text(encoding="utf-8")


def report_figures(text):
    """The report's 'label    value' lines as a mapping."""
    pairs = (line.split("    ") for line in text.splitlines())
    return {p[0]: p[1] for p in pairs if len(p) == 2}


def yearly_from_report(text):
    block = text.split("分年效果: \n", 1)[1]
    return pd.read_csv(io.StringIO(block), sep=r"\s+")


def assert_text_close(ours, theirs):
    """Same text, numbers equal to 1e-12 relative (so table columns may differ in width)."""
    a, b = re.split(r"(\s+)", ours), re.split(r"(\s+)", theirs)
    assert len(a) == len(b), (ours, theirs)
    for x, y in zip(a, b):
        if x.isspace() and y.isspace():
            assert re.sub(" +", " ", x) == re.sub(" +", " ", y), (ours, theirs)
            continue
        try:
            fx, fy = float(x), float(y)
        except ValueError:
            assert x == y, (ours, theirs)
            continue
        assert fx == pytest.approx(fy, rel=1e-12, abs=0, nan_ok=True), (x, y)


def assert_series_close(ours, theirs):
    pd.testing.assert_series_equal(ours, theirs, check_exact=False, rtol=1e-12, atol=0)


def run_single(tmp_path, returns, dates, interest=None):
    """A one-symbol run whose daily returns are exactly `returns` (position 1, no execution-price effect)."""
    nextreturn = np.append(np.asarray(returns[1:], dtype=float), 0.0)
    position = pd.DataFrame(1.0, index=dates, columns=["rb"])
    write_market(tmp_path / "data", dates, ["rb"], nextreturn=nextreturn[:, None])
    save = tmp_path / "reports" / "report"
    summary = analyse(make_result(position), make_config(tmp_path / "data", save, interest=interest), "run")
    return summary, save


# --- against the pandas formulation ---------------------------------------------------------------------

@st.composite
def runs(draw):
    rows, cols = draw(st.integers(1, 30)), draw(st.integers(0, 6))
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    nan_p = draw(st.sampled_from([0.0, 0.15, 0.5]))
    ties = draw(st.booleans())
    freq = draw(st.sampled_from(["B", "9D", "50D"]))
    dates = pd.date_range("2019-11-20", periods=rows, freq=freq)
    symbols = [f"s{i}" for i in range(cols)]

    def values(scale, positive=False):
        v = rng.choice([-1.0, -0.5, 0.0, 0.5, 1.0], (rows, cols)) if ties else rng.standard_normal((rows, cols))
        v = 100 + 3 * np.abs(v) if positive else v * scale
        v[rng.random((rows, cols)) < nan_p] = np.nan
        if rows > 2 and draw(st.booleans()):
            v[rng.integers(rows)] = np.nan  # an all-missing date
        return pd.DataFrame(v, index=dates, columns=symbols)

    position = values(1.0)
    prices = {"nextreturn": values(0.02), "settle": values(1, True), "prevsettle": values(1, True),
              "matching": values(1, True)}
    if cols and draw(st.booleans()):  # a zero price: infinite corrections
        prices["matching"].iloc[rng.integers(rows), rng.integers(cols)] = 0.0
    if draw(st.booleans()):  # price files with other labels than the positions
        prices["settle"] = prices["settle"].iloc[:, ::-1].iloc[: max(rows - 1, 1)]
        prices["nextreturn"]["extra"] = 0.01
    alpha = values(1.0)
    if draw(st.booleans()):  # alpha over other dates and symbols: corrwith appends what only one side has
        alpha = alpha.iloc[::-1, ::-1].iloc[1:]
        alpha.loc[dates[-1] + pd.Timedelta(days=400)] = 1.0
        alpha["other"] = 1.0
        alpha = alpha.sort_index()
    interest = draw(st.sampled_from(["simple", "compound"]))
    commission = draw(st.sampled_from([None, 0, 0.0003, 0.01]))
    return dates, symbols, position, alpha, prices, interest, commission


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(run=runs())
def test_matches_pandas_formulation(tmp_path_factory, run):
    dates, symbols, position, alpha, prices, interest, commission = run
    tmp = tmp_path_factory.mktemp("run")
    write_market(tmp / "data", dates, symbols, **prices)
    result = make_result(position, alpha)
    config = make_config(tmp / "data", tmp / "a_reports" / "report_7", interest, commission, print=True)
    out = io.StringIO()
    with pd.option_context("display.precision", 17), np.errstate(all="ignore"):
        with contextlib.redirect_stdout(out):
            summary = analyse(result, config, "run_7")
        expected, lines, tables = reference(result, config, "run_7")
        # with the output off only the summary is made, by the same arithmetic
        quiet = analyse(result, make_config(tmp / "data", None, interest, commission, output=False), "run_7")
    pd.testing.assert_series_equal(quiet, summary, check_exact=True)

    assert_series_close(summary, expected)
    text = "".join(line + "\n" for line in lines)
    assert_text_close(out.getvalue(), text)
    assert_text_close(report_text(tmp / "a_reports" / "report_7", "7"), text)
    for stem, table in tables.items():
        table.to_csv(tmp / f"{stem}_expected.csv")
        pd.testing.assert_frame_equal(read_table(tmp / "a_reports" / "report_7", stem, "7"),
                                      read_table(tmp, stem, "expected"), check_exact=False, rtol=1e-12, atol=0)


# --- trade simulation -----------------------------------------------------------------------------------

def test_trade_split_worked_examples(tmp_path):
    # previous -> new position, and the opened and closed amounts of that trade
    examples = [(2, 5, 3, 0), (5, 2, 0, 3), (5, 0, 0, 5), (2, -3, -3, 2), (0, -4, -4, 0), (-5, -2, 0, -3)]
    dates = pd.bdate_range("2021-03-01", periods=3)
    symbols = [f"s{i}" for i in range(len(examples))]
    position = pd.DataFrame([[0.0] * 6, [e[0] for e in examples], [e[1] for e in examples]], index=dates,
                            columns=symbols)
    # matching 100, settle 102, previous settle 75: opening gains 0.02, closing 2/75 less than settling
    write_market(tmp_path / "data", dates, symbols, settle=102.0, prevsettle=75.0)
    save = tmp_path / "r" / "report"
    analyse(make_result(position), make_config(tmp_path / "data", save))
    returns = read_table(save, "return_dataframe", "report")
    for sym, (_, _, opened, closed) in zip(symbols, examples):
        assert returns.loc[dates[2], sym] == pytest.approx(opened * 0.02 + closed * (-2 / 75), rel=1e-12, abs=0)


def test_commission_and_turnover(tmp_path):
    dates = pd.bdate_range("2021-03-01", periods=3)
    position = pd.DataFrame([[0.0, 0.0], [0.5, -0.2], [0.5, -0.2]], index=dates, columns=["a", "b"])
    write_market(tmp_path / "data", dates, ["a", "b"])
    save = tmp_path / "r" / "report"
    summary = analyse(make_result(position), make_config(tmp_path / "data", save, commission=0.0003))
    daily = read_table(save, "daily_performance", "report")
    assert daily["daily_tr"].tolist() == pytest.approx([0.0, 0.7, 0.0], rel=1e-12)
    assert daily["daily_return"].tolist() == pytest.approx([0.0, -0.00021, 0.0], rel=1e-12)
    assert summary["Annualized Turnover Rate"] == pytest.approx(0.7 / 3 * 250, rel=1e-12)


def test_first_date_and_missing_values(tmp_path):
    dates = pd.bdate_range("2021-03-01", periods=4)
    position = pd.DataFrame({"a": [1.0, np.nan, 1.0, 1.0], "b": [1.0, 1.0, 1.0, 1.0]}, index=dates)
    settle = pd.DataFrame({"a": [100.0, 100, 100, 100], "b": [101.0, 100, np.nan, 100]}, index=dates)
    write_market(tmp_path / "data", dates, ["a", "b"], nextreturn=0.01, settle=settle)
    save = tmp_path / "r" / "report"
    analyse(make_result(position), make_config(tmp_path / "data", save, commission=0.001))
    returns = read_table(save, "return_dataframe", "report")
    daily = read_table(save, "daily_performance", "report")
    # first date: nothing counts but the turnover
    assert returns.iloc[0].isna().all() and daily["daily_return"].iloc[0] == 0.0
    assert daily["daily_tr"].iloc[0] == 2.0
    # a missing position is flat for the trade, but leaves the next carried term missing
    assert np.isnan(returns.loc[dates[2], "a"]) and daily["daily_tr"].iloc[1] == 1.0
    # a missing settlement price masks the symbol's whole entry, even without a trade
    assert np.isnan(returns.loc[dates[2], "b"]) and daily["daily_return"].iloc[2] == 0.0
    # an unchanged position earns the carried return alone
    assert returns.loc[dates[3], "b"] == pytest.approx(0.01, rel=1e-12)


def test_price_files_read_in_order_and_conformed(tmp_path, monkeypatch):
    dates = pd.bdate_range("2021-03-01", periods=3)
    position = pd.DataFrame(1.0, index=dates, columns=["a", "b"])
    wide = pd.DataFrame(0.01, index=dates.append(pd.bdate_range("2021-04-01", periods=2)), columns=["b", "z", "a"])
    write_market(tmp_path / "data", dates, ["a", "b"], prefix="main", matching_type="twap", nextreturn=wide,
                 settle=pd.DataFrame(100.0, index=dates[:2], columns=["a", "b"]))
    read = []
    original = pd.read_pickle

    def recording(path, *args, **kwargs):
        read.append((Path(path).name, kwargs.get("compression")))
        return original(path, *args, **kwargs)

    monkeypatch.setattr(pd, "read_pickle", recording)
    config = make_config(tmp_path / "data", tmp_path / "r" / "report")
    config["trade"].update(trade_contract="main", matching_type="twap")
    analyse(make_result(position), config)
    assert read == [("main_nextreturnonsettle.pkl", "gzip"), ("main_settle.pkl", "gzip"),
                    ("main_prevsettle.pkl", "gzip"), ("main_twap.pkl", "gzip")]
    nextreturn = read_table(tmp_path / "r" / "report", "nextreturn", "report")
    assert list(nextreturn.columns) == ["a", "b"] and list(nextreturn.index) == list(dates)
    # the settlement price missing on the last date masks that date's returns
    assert read_table(tmp_path / "r" / "report", "return_dataframe", "report").iloc[2].isna().all()


# --- performance figures --------------------------------------------------------------------------------

def test_five_net_values(tmp_path):
    dates = pd.bdate_range("2021-01-04", periods=5)
    summary, save = run_single(tmp_path, [0, 0.02, -0.01, -0.02, 0.04], dates)
    daily = read_table(save, "daily_performance", "report")
    assert daily["daily_net_value"].tolist() == pytest.approx([1.0, 1.02, 1.01, 0.99, 1.03], rel=1e-12)
    lines = report_text(save, "report").splitlines()
    assert float(report_figures(report_text(save, "report"))["最大回撤"]) == pytest.approx(0.03, rel=1e-12)
    assert "最大回撤期    2021-01-05 - 2021-01-07 共2天" in lines
    assert "最长修复期    2021-01-05 - 2021-01-08 共3天" in lines
    assert summary["Calmar Ratio"] == pytest.approx(summary["Annualized Return"] / 0.03, rel=1e-12)


def test_ties_pick_the_earlier_drawdown_and_stretch(tmp_path):
    dates = pd.date_range("2021-01-04", periods=7, freq="D")
    _, save = run_single(tmp_path, [0, 0.01, -0.01, 0.01, 0.0, -0.01, 0.01], dates)
    lines = report_text(save, "report").splitlines()
    assert "最大回撤期    2021-01-05 - 2021-01-06 共1天" in lines
    assert "最长修复期    2021-01-05 - 2021-01-07 共2天" in lines


def test_drawdown_never_recovered_reports_no_stretch(tmp_path):
    dates = pd.bdate_range("2021-01-04", periods=3)
    summary, save = run_single(tmp_path, [0, -0.01, 0.005], dates)
    assert NO_RECOVERY in report_text(save, "report").splitlines()
    assert list(summary.index) == SUMMARY_LABELS


@pytest.mark.parametrize("returns, calmar", [([0, 0.01, 0.02], math.inf), ([0, -0.0, 0], "nan")])
def test_no_drawdown_gives_floating_point_calmar(tmp_path, returns, calmar):
    dates = pd.bdate_range("2021-01-04", periods=3)
    summary, save = run_single(tmp_path, returns, dates)
    cr = summary["Calmar Ratio"]
    assert (np.isnan(cr) if calmar == "nan" else cr == calmar)
    assert "最大回撤期    2021-01-04 - 2021-01-04 共0天" in report_text(save, "report").splitlines()


@pytest.mark.parametrize("interest, ar_2022", [("simple", 0.0), ("compound", 1.1 * 0.9 - 1)])
def test_yearly_results_by_interest(tmp_path, interest, ar_2022):
    dates = pd.DatetimeIndex(["2021-12-31", "2022-01-03", "2022-01-04"])
    with pd.option_context("display.precision", 17):
        summary, save = run_single(tmp_path, [0, 0.1, -0.1], dates, interest)
    yearly = yearly_from_report(report_text(save, "report"))
    assert list(yearly.columns) == ["ar", "ir", "ic", "tr"] and list(yearly.index) == [2021, 2022]
    assert yearly.loc[2022, "ar"] == pytest.approx(ar_2022, rel=1e-12, abs=1e-17)
    assert np.isnan(yearly.loc[2021, "ir"])  # one date: no standard deviation
    assert yearly["tr"].tolist() == [1.0, 0.0]
    assert list(summary.index) == SUMMARY_LABELS and summary.name == "run"


def test_invalid_interest_fails_before_any_output(tmp_path, capsys):
    dates = pd.bdate_range("2021-01-04", periods=3)
    write_market(tmp_path / "data", dates, ["rb"])
    config = make_config(tmp_path / "data", tmp_path / "r" / "report", interest="log", print=True)
    with pytest.raises(ValueError, match="^invalid interest: log$"):
        analyse(make_result(pd.DataFrame(1.0, index=dates, columns=["rb"])), config)
    assert capsys.readouterr().out == "" and not (tmp_path / "r").exists()


def test_information_coefficients(tmp_path):
    dates = pd.bdate_range("2021-03-01", periods=4)
    symbols = ["a", "b", "c"]
    nextreturn = pd.DataFrame([[0.01, 0.03, -0.02], [0.02, np.nan, 0.01], [0.5, 0.5, 0.5], [0.01, 0.02, 0.0]],
                              index=dates, columns=symbols)
    alpha = pd.DataFrame([[1.0, 2.0, 0.0], [np.nan, 1.0, 3.0], [1.0, 2.0, 3.0], [3.0, 1.0, 2.0]], index=dates,
                         columns=symbols)
    write_market(tmp_path / "data", dates, symbols, nextreturn=nextreturn)
    save = tmp_path / "r" / "report"
    summary = analyse(make_result(pd.DataFrame(0.0, index=dates, columns=symbols), alpha),
                      make_config(tmp_path / "data", save))
    ic = read_table(save, "daily_performance", "report")["daily_ic"]
    first = np.corrcoef(alpha.iloc[0], nextreturn.iloc[0])[0, 1]
    # shifted one date; one pair on the second date and a constant return on the third give none
    assert np.isnan(ic.iloc[0]) and np.isnan(ic.iloc[2]) and np.isnan(ic.iloc[3])
    assert ic.iloc[1] == pytest.approx(first, rel=1e-12)
    assert summary["Information Coefficient"] == pytest.approx(first, rel=1e-12)
    symbol_ic = read_table(save, "symbol_performance", "report")["symbol_ic"]
    assert symbol_ic["c"] == pytest.approx(alpha["c"].corr(nextreturn["c"]), rel=1e-12)


def test_external_oracle_empyrical(tmp_path):
    empyrical = pytest.importorskip("empyrical")
    rng = np.random.default_rng(11)
    returns = np.append(0.0, rng.normal(0.0005, 0.01, 299))
    dates = pd.bdate_range("2020-01-01", periods=300)
    summary, save = run_single(tmp_path, returns, dates, "compound")
    daily = read_table(save, "daily_performance", "report")["daily_return"]
    assert daily.to_numpy() == pytest.approx(returns, rel=1e-12, abs=1e-18)
    assert summary["Information Ratio"] == pytest.approx(empyrical.sharpe_ratio(daily, annualization=250), rel=1e-12)
    figures = report_figures(report_text(save, "report"))
    volatility = empyrical.annual_volatility(daily, annualization=250)
    assert float(figures["年化波动率"]) == pytest.approx(volatility, rel=1e-12)
    assert float(figures["最大回撤"]) == pytest.approx(-empyrical.max_drawdown(daily), rel=1e-12)


# --- report output --------------------------------------------------------------------------------------

def contract_market(tmp_path, dates, codes):
    symbols = list(codes)
    contracts = pd.DataFrame([list(codes.values())] * len(dates), index=dates, columns=symbols)
    write_market(tmp_path / "data", dates, symbols, contracts=contracts)
    return symbols


def test_report_files_and_last_position(tmp_path, capsys):
    dates = pd.bdate_range("2021-06-28", periods=3)
    symbols = contract_market(tmp_path, dates, {"SR": "SR2109", "rb": "rb2110", "cu": "zz2108"})
    position = pd.DataFrame(0.5, index=dates, columns=symbols)
    volume = pd.DataFrame([[1.0, 2, 3], [4, 5, 6], [-3, np.nan, 2]], index=dates, columns=symbols)
    save = tmp_path / "a_reports" / "report"
    config = make_config(tmp_path / "data", save)
    del config["output"]["last_position"]
    del config["output"]["print"]
    result = make_result(position, volume_position=volume)
    summary = analyse(result, config)
    printed = capsys.readouterr().out

    assert sorted(p.name for p in save.iterdir()) == sorted(
        ["summary_report.txt", "account_20210630.txt"] + [f"{t}_report.csv" for t in TABLES])
    assert printed == report_text(save, "report")
    entries = printed.split("\n")
    assert entries[0] == "" and entries[1] == "回测时间区间    2021-06-28 - 2021-06-30"
    assert entries[2:7] == [f"{k}    {v}" for k, v in summary.items()]
    assert (save / "alpha_report.csv").read_text() == result["alpha"].to_csv()
    assert (save / "volume_position_report.csv").read_text() == volume.to_csv()

    account = (save / "account_20210630.txt").read_text().splitlines()
    assert account == ["date,symbol,contract,position,exchange,market_id,abs_position,sign_position",
                       "2021-06-30,SR,SR109,-3,CZCE,14,3,-1",
                       "2021-06-30,rb,rb2110,0,SHFE,12,0,0",
                       "2021-06-30,,,2,SHFE,12,2,1"]


def test_upper_case_symbols_map_to_names(tmp_path):
    dates = pd.bdate_range("2021-06-28", periods=2)
    symbols = contract_market(tmp_path, dates, {"RB": "RB2110"})
    save = tmp_path / "r" / "report"
    analyse(make_result(pd.DataFrame(1.0, index=dates, columns=symbols)),
            make_config(tmp_path / "data", save, report=False, last_position=True))
    assert (save / "account_20210629.txt").read_text().splitlines()[1] == "2021-06-29,rb,rb2110,10,SHFE,12,10,1"


def test_earlier_position_files_deleted_own_summary_kept(tmp_path):
    dates = pd.bdate_range("2021-06-28", periods=2)
    symbols = contract_market(tmp_path, dates, {"rb": "rb2110"})
    save = tmp_path / "a_reports" / "report_10"
    save.mkdir(parents=True)
    # only names of the position-file form go: text, "_", a real date as %Y%m%d, ".txt"
    keep = ["notes.txt", "summary_a.txt", "sub/account_20200101.txt", "notes_2024.txt", "meeting_2024-05-01.txt",
            "experiment_3_17.txt", "summary_10.txt", "run_20241301.txt", "run_20230229.txt", "x_20240101.txt.bak",
            "x_２０２４０１０１.txt"]
    gone = ["account_20210625.txt", "my_pos_20240229.txt", "_20200101.txt"]
    (save / "sub").mkdir()
    (save / "dir_20210625.txt").mkdir()
    for name in keep + gone:
        (save / name).write_text("old")
    config = make_config(tmp_path / "data", save, report=False, last_position=True, last_position_name="pos")
    analyse(make_result(pd.DataFrame(1.0, index=dates, columns=symbols)), config)
    for name in keep:
        assert (save / name).read_text() == "old"
    assert not any((save / name).exists() for name in gone) and (save / "dir_20210625.txt").is_dir()
    assert (save / "pos_20210629.txt").exists()
    # this call's own files survive even when their names have the position-file form
    dated = tmp_path / "a_reports" / "report_20210629"
    analyse(make_result(pd.DataFrame(1.0, index=dates, columns=symbols)),
            make_config(tmp_path / "data", dated, last_position=True, last_position_name="pos"))
    assert report_text(dated, "20210629").startswith("\n回测时间区间") and (dated / "pos_20210629.txt").exists()


class _DiskFull:
    def __str__(self):
        raise OSError(28, "No space left on device")


def test_failed_writes_leave_earlier_files_whole(tmp_path):
    dates = pd.bdate_range("2021-06-28", periods=2)
    symbols = contract_market(tmp_path, dates, {"rb": "rb2110"})
    save = tmp_path / "report_7"
    save.mkdir()
    for name in ["position_alpha_7.csv", "account_20210625.txt"]:
        (save / name).write_text("old")
    result = make_result(pd.DataFrame(1.0, index=dates, columns=symbols))
    # a table that fails after pandas has written its first chunks, as a full disk does
    wide = pd.DataFrame(np.ones((1000, 200)))
    wide["late"] = pd.Series([1.0] * 999 + [_DiskFull()], dtype=object)
    result["position_alpha"] = wide
    config = make_config(tmp_path / "data", save, last_position=True)
    with pytest.raises(OSError, match="No space"):
        analyse(result, config)
    assert (save / "position_alpha_7.csv").read_text() == "old"
    assert sorted(p.name for p in save.iterdir()) == ["account_20210625.txt", "position_alpha_7.csv"]
    # the new position file cannot be written (a directory holds its name): earlier ones stay
    (save / "account_20210629.txt").mkdir()
    with pytest.raises(IsADirectoryError):
        analyse(result, make_config(tmp_path / "data", save, report=False, last_position=True))
    assert (save / "account_20210625.txt").read_text() == "old"
    assert not [p for p in save.iterdir() if p.name.endswith(".tmp")]


def test_a_rerun_replaces_the_report_set_whole_or_not_at_all(tmp_path, monkeypatch):
    import os
    import uuid

    dates = pd.bdate_range("2021-06-28", periods=3)
    symbols = contract_market(tmp_path, dates, {"rb": "rb2110", "SR": "SR2109"})
    save = tmp_path / "report_7"
    config = make_config(tmp_path / "data", save, last_position=True)
    analyse(make_result(pd.DataFrame(0.5, index=dates, columns=symbols)), config)
    old = {p.name: p.read_bytes() for p in save.iterdir()}
    rerun = make_result(pd.DataFrame([[0.5, -0.5], [1.0, 1.0], [-1.0, 0.25]], index=dates, columns=symbols))
    real = uuid.uuid4
    for k in range(len(old)):  # stopped before the k-th file of the set is written
        made = []
        monkeypatch.setattr(uuid, "uuid4", lambda: made.append(1) or (real() if len(made) <= k else 1 / 0))
        with pytest.raises(ZeroDivisionError):
            analyse(rerun, config)
        assert {p.name: p.read_bytes() for p in save.iterdir()} == old
    monkeypatch.setattr(uuid, "uuid4", real)
    # an infinite capital's positions fail the last file; the nine before it do not land either
    with pytest.raises(pd.errors.IntCastingNaNError):
        analyse(make_result(rerun["position"], volume_position=rerun["position"] * np.inf), config)
    assert {p.name: p.read_bytes() for p in save.iterdir()} == old

    hour_ago = os.stat(save / "alpha_7.csv").st_mtime - 3601
    left = {name: save / name for name in [f".alpha_7.csv.{'0a' * 16}.tmp", f".account_20210630.txt.{'f' * 32}.tmp",
                                           f".nextreturn_7.csv.{'1' * 32}.tmp", ".notes.tmp"]}
    for name, p in left.items():
        p.write_text("left")
        if name != f".nextreturn_7.csv.{'1' * 32}.tmp":
            os.utime(p, (hour_ago, hour_ago))
    analyse(rerun, config)
    assert (save / "alpha_7.csv").read_text() == rerun["alpha"].to_csv()
    assert sorted(p.name for p in save.iterdir() if p.name.startswith(".")) == [
        f".nextreturn_7.csv.{'1' * 32}.tmp", ".notes.tmp"]  # only this writer's names, only once an hour old


def test_damaged_market_data_raises_naming_the_file(tmp_path):
    import gzip
    import pickle

    dates = pd.bdate_range("2021-01-04", periods=200)
    symbols = [f"S{i}" for i in range(30)]
    position = pd.DataFrame(0.1, index=dates, columns=symbols)
    write_market(tmp_path / "data", dates, symbols, nextreturn=0.001)
    path = tmp_path / "data" / "dominant_nextreturnonsettle.pkl"
    # stored blocks: flipped payload bytes still inflate, and pandas' unpickler never reaches the trailer
    packed = bytearray(gzip.compress(pickle.dumps(pd.read_pickle(path, compression="gzip")), compresslevel=0))
    for where in [slice(len(packed) // 2, len(packed) // 2 + 64), slice(-8, -4), slice(-4, None)]:
        damaged = packed.copy()
        damaged[where] = bytes(b ^ 0xFF for b in damaged[where])
        path.write_bytes(bytes(damaged))
        with pytest.raises(gzip.BadGzipFile, match=r"(CRC|length) check failed.*dominant_nextreturnonsettle\.pkl"):
            analyse(make_result(position), make_config(tmp_path / "data", output=False))


def test_switches(tmp_path, capsys):
    dates = pd.bdate_range("2021-06-28", periods=3)
    symbols = contract_market(tmp_path, dates, {"rb": "rb2110"})
    result = make_result(pd.DataFrame(1.0, index=dates, columns=symbols))
    full = analyse(result, make_config(tmp_path / "data", tmp_path / "full" / "report"))

    # master switch off: the summary at once, without reading save_path or touching any file
    config = make_config(tmp_path / "data", output=False, print=True, plot=True, last_position=True)
    off = analyse(result, config, "off")
    assert capsys.readouterr().out == "" and plt.get_fignums() == []
    assert sorted(p.name for p in tmp_path.iterdir()) == ["data", "full"]
    pd.testing.assert_series_equal(off, full.rename("off"))

    # printing off, report on: the file still holds the whole report
    save = tmp_path / "quiet" / "report_3"
    analyse(result, make_config(tmp_path / "data", save))
    assert capsys.readouterr().out == ""
    assert report_text(save, "3") == report_text(tmp_path / "full" / "report", "report")

    # only the last-position file
    save = tmp_path / "pos" / "report"
    analyse(result, make_config(tmp_path / "data", save, report=False, last_position=True))
    assert [p.name for p in save.iterdir()] == ["account_20210630.txt"]

    with pytest.raises(KeyError, match="save_path"):
        analyse(result, make_config(tmp_path / "data"))


def test_figures(tmp_path):
    dates = pd.bdate_range("2021-06-28", periods=5)
    symbols = ["a", "b", "c"]
    write_market(tmp_path / "data", dates, symbols, nextreturn=0.01)
    position = pd.DataFrame(1.0, index=dates, columns=symbols)
    position["c"] = np.nan
    analyse(make_result(position), make_config(tmp_path / "data", tmp_path / "r" / "report", plot=True, report=False))
    assert plt.get_fignums() == [1, 2]
    ax1, ax2 = plt.figure(1).axes
    assert ax1.get_title() == "Cumulative Return" and ax2.get_title() == "Cumulative IC"
    assert [line.get_label() for line in ax1.get_lines()[:2]] == ["Cumulative Return", "Drawdown"]
    assert list(ax1.get_lines()[2].get_ydata()) == [0, 0]  # the zero line
    assert [line.get_label() for line in ax2.get_lines()] == ["Cumulative IC"]
    assert ax1.get_shared_x_axes().joined(ax1, ax2)
    ax3, ax4 = plt.figure(2).axes
    assert ax3.get_title() == "Yield Curve of Symbols" and ax4.get_title() == "Yields of Symbols"
    assert [line.get_label() for line in ax3.get_lines()] == ["a", "b"]  # the all-missing symbol is dropped
    assert len(ax4.patches) == 3 and [t.get_text() for t in ax4.get_xticklabels()] == symbols


def test_inputs_unchanged_and_module_surface(tmp_path):
    dates = pd.bdate_range("2021-06-28", periods=4)
    symbols = contract_market(tmp_path, dates, {"rb": "rb2110", "SR": "SR2109"})
    position = pd.DataFrame([[1.0, np.nan], [0.5, -1], [np.nan, 2], [1, 1]], index=dates, columns=symbols)
    result = make_result(position, volume_position=position * 3)
    config = make_config(tmp_path / "data", tmp_path / "r" / "report_1", print=True, last_position=True)
    result_before, config_before = copy.deepcopy(result), copy.deepcopy(config)
    with contextlib.redirect_stdout(io.StringIO()):
        analyse(result=result, config=config, summary_name="x")
    assert result.keys() == result_before.keys() and config == config_before
    for key in result:
        pd.testing.assert_frame_equal(result[key], result_before[key])

    assert analyse.__doc__ == ("\n    回测结果分析函数\n    :param result: 回测结果，包含 alpha position_alpha position "
                               "volume_position\n    :param config: 需要 config['data_path'] config['trade'] "
                               "config['output']\n    :param summary_name: 标记summary的name\n    :return: "
                               "summary，一个包含几个评价指标的pd.Series\n    ")
    assert Varlo_analyse.pd is pd and Varlo_analyse.np is np and Varlo_analyse.Path is Path
    assert Varlo_analyse.plt is plt
    with pytest.raises(TypeError):
        analyse(result)


def test_missing_inputs_raise(tmp_path):
    dates = pd.bdate_range("2021-06-28", periods=2)
    symbols = contract_market(tmp_path, dates, {"rb": "rb2110"})
    result = make_result(pd.DataFrame(1.0, index=dates, columns=symbols))
    config = make_config(tmp_path / "data", tmp_path / "r")
    del config["trade"]["matching_type"]
    with pytest.raises(KeyError, match="matching_type"):
        analyse(result, config)
    with pytest.raises(IndexError):
        analyse(make_result(pd.DataFrame(index=pd.DatetimeIndex([]), columns=["rb"], dtype=float)),
                make_config(tmp_path / "data"))
    # a commission as text fails as the pandas arithmetic does; directories may be given as text
    with pytest.raises(TypeError, match="commission"):
        analyse(result, make_config(tmp_path / "data", commission="0.1", output=False))
    analyse(result, make_config(str(tmp_path / "data"), str(tmp_path / "t_5"), plot=False, last_position=True))
    assert (tmp_path / "t_5" / "summary_5.txt").exists() and (tmp_path / "t_5" / "account_20210629.txt").exists()
