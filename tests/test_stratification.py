import csv
import math
import re
import warnings
from pathlib import Path

import matplotlib.pyplot as plt
import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings
from pandas.plotting._core import PlotAccessor
from hypothesis import strategies as st

from VarloAlpha.Module.Varlo_analyse import stratification


def write_report(path: Path, alpha: pd.DataFrame, nextreturn: pd.DataFrame) -> Path:
    path.mkdir(parents=True, exist_ok=True)
    run_id = path.name.split("_")[-1]
    alpha.to_csv(path / f"alpha_{run_id}.csv")
    nextreturn.to_csv(path / f"nextreturn_{run_id}.csv")
    return path


def reference(path: Path, s):
    """The numpy loop over the report files, with a stable sort for ties."""
    s = 10 if isinstance(s, bool) else s
    run_id = path.name.split("_")[-1]
    alpha = pd.read_csv(path / f"alpha_{run_id}.csv", index_col=0, parse_dates=True)
    nextreturn = pd.read_csv(path / f"nextreturn_{run_id}.csv", index_col=0, parse_dates=True)
    dds = alpha.index
    alpha, nextreturn = alpha.values, nextreturn.values
    alpha_s, nextreturn_s = np.zeros((len(dds), s)), np.zeros((len(dds), s))
    for row in range(len(dds)):
        ok = ~(np.isnan(alpha[row]) | np.isnan(nextreturn[row]))
        l = int(ok.sum())
        if l == 0:
            alpha_s[row], nextreturn_s[row] = np.nan, np.nan
            continue
        ra, rn = alpha[row][ok], nextreturn[row][ok]
        order = np.argsort(ra, kind="stable")
        for i in range(s):
            part = order[math.floor(i * l / s):math.floor((i + 1) * l / s)]
            alpha_s[row, i] = ra[part].mean() if len(part) else np.nan
            nextreturn_s[row, i] = rn[part].mean() if len(part) else np.nan
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)  # a layer empty on every date
        s1 = np.nanmean(alpha_s, axis=0)
    s3 = pd.DataFrame(np.nancumsum(nextreturn_s, axis=0), index=dds)
    s3.columns = s3.columns + 1
    s3["all"] = s3.mean(axis=1)
    s3["t-b"] = s3[s] - s3[1]
    return s1, np.nansum(nextreturn_s, axis=0), s3


PLOTTED = []


@pytest.fixture(autouse=True)
def record_plots(monkeypatch):
    """Every frame handed to DataFrame.plot, with its keyword arguments (bar charts draw NaN as 0)."""
    original = PlotAccessor.__call__

    def call(self, *args, **kwargs):
        PLOTTED.append((self._parent.copy(), kwargs))
        return original(self, *args, **kwargs)

    PLOTTED.clear()
    monkeypatch.setattr(PlotAccessor, "__call__", call)


def drawn():
    """s1, s2 and s3 as the last call of stratification plotted them."""
    (s1, k1), (s2, k2), (s3, k3) = PLOTTED[-3:]
    fig1, fig2 = (plt.figure(n) for n in plt.get_fignums()[-2:])
    assert [k1["ax"], k2["ax"]] == fig1.axes and [k3["ax"]] == fig2.axes
    assert (k1["kind"], k2["kind"], "kind" in k3) == ("bar", "bar", False)
    assert list(s1.columns) == ["mean"] and list(s2.columns) == ["sum"]
    assert list(s1.index) == list(s2.index) == list(range(1, len(s1) + 1))
    titles = (k1["title"], k2["title"], k3["title"])
    return s1["mean"].to_numpy(), s2["sum"].to_numpy(), s3.to_numpy(), [str(c) for c in s3.columns], titles


def random_tables(rng, n, m, nan=0.2, ties=False):
    dates = pd.bdate_range("2020-01-01", periods=n)
    a = rng.normal(size=(n, m))
    if ties:
        a = np.round(a, 0)
    x = rng.normal(scale=0.02, size=(n, m))
    a[rng.random((n, m)) < nan] = np.nan
    x[rng.random((n, m)) < nan] = np.nan
    if n > 3:
        a[2] = np.nan  # a date without any valid pair
    cols = [f"S{j}" for j in range(m)]
    return pd.DataFrame(a, dates, cols), pd.DataFrame(x, dates, cols)


def check_against_reference(path, s):
    plt.close("all")
    assert stratification(path, s) is None
    s1, s2, s3, labels, titles = drawn()
    r1, r2, r3 = reference(path, s)
    np.testing.assert_allclose(s1, r1, rtol=1e-12, equal_nan=True)
    np.testing.assert_allclose(s2, r2, rtol=1e-12, atol=1e-300)
    np.testing.assert_allclose(s3, r3.to_numpy(), rtol=1e-12, atol=1e-15)
    assert labels == [str(c) for c in r3.columns]
    pd.testing.assert_index_equal(PLOTTED[-1][0].index, r3.index)
    assert titles == ("alpha", "nextreturn", "Stratification Cumulative Return")


@settings(max_examples=15, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(seed=st.integers(0, 2**32 - 1), n=st.integers(1, 12), m=st.integers(1, 30), s=st.integers(1, 12),
       ties=st.booleans())
def test_layers_equal_the_numpy_loop(tmp_path_factory, seed, n, m, s, ties):
    alpha, nextreturn = random_tables(np.random.default_rng(seed), n, m, ties=ties)
    path = write_report(tmp_path_factory.mktemp("r") / "report_7", alpha, nextreturn)
    check_against_reference(path, s)


@pytest.mark.parametrize("l, s, sizes", [(25, 10, [2, 3, 2, 3, 2, 3, 2, 3, 2, 3]), (10, 3, [3, 3, 4]),
                                         (3, 5, [0, 1, 0, 1, 1])])
def test_layer_boundaries(tmp_path, l, s, sizes):
    dates = pd.DatetimeIndex(["2021-01-04"])
    alpha = pd.DataFrame([np.arange(l, 0, -1.0)], dates)  # descending: layer 1 holds the last columns
    counts = pd.DataFrame([np.full(l, 1.0)], dates)
    write_report(tmp_path / "a_1", alpha, counts)
    stratification(tmp_path / "a_1", s)
    s1, s2, *_ = drawn()
    bounds = np.cumsum([0] + sizes)
    expected = [np.mean(np.arange(1.0, l + 1)[lo:hi]) if hi > lo else np.nan for lo, hi in zip(bounds, bounds[1:])]
    np.testing.assert_allclose(s1, expected, equal_nan=True)
    np.testing.assert_array_equal(s2, [1.0 if k else 0.0 for k in sizes])  # empty layers add nothing


@pytest.mark.parametrize("s", [True, False])
def test_a_boolean_means_ten_layers(tmp_path, s):
    alpha, nextreturn = random_tables(np.random.default_rng(1), 6, 40)
    write_report(tmp_path / "b_3", alpha, nextreturn)
    check_against_reference(tmp_path / "b_3", s)
    s1, s2, s3, labels, _ = drawn()
    assert len(s1) == 10 and labels[-2:] == ["all", "t-b"]
    np.testing.assert_allclose(s3[-1, -1], s2[-1] - s2[0], rtol=1e-12)  # top minus bottom, summed


@pytest.mark.parametrize("s", [5.0, "5", np.int64(5), None, [5]])
def test_other_types_fail_before_reading(tmp_path, s):
    with pytest.raises(TypeError, match="^invalid stratification$"):
        stratification(tmp_path / "missing_1", s)
    assert plt.get_fignums() == [] and PLOTTED == []


def test_run_id_from_the_directory_name(tmp_path):
    alpha, nextreturn = random_tables(np.random.default_rng(2), 5, 8)
    write_report(tmp_path / "grid_5_3", alpha, nextreturn)
    (tmp_path / "grid_5_3" / "alpha_5_3.csv").write_text("not,a,table\n")  # never read
    stratification(tmp_path / "grid_5_3", 2)
    with pytest.raises(FileNotFoundError):
        stratification(tmp_path / "plain", 2)
    stratification(str(tmp_path / "grid_5_3"), 2)  # a text path is taken as a path


@pytest.mark.filterwarnings("ignore:invalid value encountered:RuntimeWarning")  # matplotlib drawing an infinite bar
@pytest.mark.parametrize("form", ["plain", "crlf", "named index", "quoted", "times of day", "text value",
                                  "integers", "blank lines", "inf"])
def test_report_files_in_other_forms_read_as_pandas_reads_them(tmp_path, form):
    alpha, nextreturn = random_tables(np.random.default_rng(5), 9, 6)
    kwargs = {}
    if form == "crlf":
        kwargs["lineterminator"] = "\r\n"
    elif form == "named index":
        alpha.index.name = nextreturn.index.name = "date"
    elif form == "quoted":
        kwargs["quoting"] = csv.QUOTE_ALL
    elif form == "times of day":
        alpha.index = nextreturn.index = alpha.index + pd.Timedelta(hours=9)
    elif form == "integers":
        alpha = alpha.fillna(0).round().astype("int64")
    elif form == "inf":
        alpha.iloc[0, 0], alpha.iloc[1, 1] = np.inf, -np.inf
    path = tmp_path / "f_1"
    path.mkdir()
    alpha.to_csv(path / "alpha_1.csv", **kwargs)
    nextreturn.to_csv(path / "nextreturn_1.csv", **kwargs)
    if form == "blank lines":
        text = (path / "alpha_1.csv").read_text().replace("\n", "\n\n", 3)
        (path / "alpha_1.csv").write_text(text)
    if form == "text value":
        text = (path / "alpha_1.csv").read_text().split("\n")
        text[3] = text[3].rsplit(",", 1)[0] + ",N/A"
        (path / "alpha_1.csv").write_text("\n".join(text))
    check_against_reference(path, 3)


def test_a_full_size_table_splits_its_dates_between_threads(tmp_path):
    alpha, nextreturn = random_tables(np.random.default_rng(6), 1500, 90, nan=0.1, ties=True)
    write_report(tmp_path / "big_1", alpha, nextreturn)
    check_against_reference(tmp_path / "big_1", 10)


@pytest.mark.parametrize("change, first", [("dates a year on", "row 1 is 2020-01-01 in alpha_1.csv but 2021-01-01 in nextreturn_1.csv"),
                                           ("rows reversed", "row 1 is 2020-01-01 in alpha_1.csv but 2020-01-08 in"),
                                           ("columns swapped", "column 2 is S1 in alpha_1.csv but S2 in"),
                                           ("a row more", "the alpha table is 6 x 4 but the next-return table 7 x 4")])
def test_tables_that_do_not_line_up_raise(tmp_path, change, first):
    alpha, nextreturn = random_tables(np.random.default_rng(4), 6, 4)
    if change == "dates a year on":
        nextreturn.index = nextreturn.index + pd.DateOffset(years=1)
    elif change == "rows reversed":
        nextreturn = nextreturn.iloc[::-1]
    elif change == "columns swapped":
        nextreturn = nextreturn[["S0", "S2", "S1", "S3"]]
    else:
        nextreturn = pd.concat([nextreturn, nextreturn.iloc[:1].set_axis([pd.Timestamp("2020-02-03")])])
    path = write_report(tmp_path / "t_1", alpha, nextreturn)
    with pytest.raises(ValueError, match=re.escape(first)):
        stratification(path, 3)
    assert plt.get_fignums() == []


def test_past_a_thousand_layers_the_figures_leave_out_layers_never_filled(tmp_path):
    import VarloAlpha

    alpha, nextreturn = random_tables(np.random.default_rng(8), 40, 7, nan=0.3)
    path = write_report(tmp_path / "wide_1", alpha, nextreturn)
    r1, r2, r3 = reference(path, 1500)
    filled = ~np.isnan(r1)
    plt.close("all")
    with pytest.warns(VarloAlpha.AlphaWarning, match=f"{1500 - filled.sum()} of the 1500 layers hold no value"):
        stratification(path, 1500)
    (s1, _), (s2, _), (s3, _) = PLOTTED[-3:]
    kept = np.flatnonzero(filled) + 1
    assert list(s1.index) == list(s2.index) == list(kept) and list(s3.columns) == [*kept, "all", "t-b"]
    np.testing.assert_allclose(s1["mean"], r1[filled], rtol=1e-12)
    np.testing.assert_allclose(s2["sum"], r2[filled], rtol=1e-12)
    np.testing.assert_allclose(s3, r3[[*kept, "all", "t-b"]], rtol=1e-12, atol=1e-15)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        stratification(path, 1000)  # every layer drawn, as always
    assert len(PLOTTED[-1][0].columns) == 1002
    plt.close("all")
