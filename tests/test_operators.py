"""The alpha operators against their plain pandas formulations."""
import importlib.util
import copy
import os
import shutil
import subprocess
import sys
import textwrap
import warnings
from pathlib import Path

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

from VarloAlpha.Module import Varlo_operators as V
from reference.operators import ATTRIBUTES, REF, ref_center, ref_neutral, ref_rank, ref_smooth


# --- frames --------------------------------------------------------------------------------------

UPPER = ["CU", "AL", "ZN", "RB", "HC", "AU", "IF", "IH", "IC", "T", "SR", "CF", "QQ", "ZZ9"]
LOWER = ["cu", "al", "zn", "rb", "hc", "au", "IF", "IH", "IC", "T", "SR", "CF", "qq", "zz9"]

special = st.sampled_from([0.0, -0.0, 1.0, -1.0, 0.5, 2.0, 3.0, np.nan, np.nan, np.inf, -np.inf])
values = st.one_of(special, st.floats(-1e6, 1e6), st.floats(-1e-6, 1e-6),
                   st.integers(-3, 3).map(float))


def layout(values_array, columns, kind):
    """A frame over the values in one of the layouts pandas hands out."""
    index = pd.date_range("2024-01-01", periods=values_array.shape[0])
    if kind == "F":
        return pd.DataFrame(np.asfortranarray(values_array), index=index, columns=columns)
    if kind == "C":
        return pd.DataFrame(np.ascontiguousarray(values_array), index=index, columns=columns, copy=False)
    k = values_array.shape[1] // 2
    left = pd.DataFrame(values_array[:, :k].copy(), index=index, columns=columns[:k])
    right = pd.DataFrame(values_array[:, k:].copy(), index=index, columns=columns[k:])
    return pd.concat([left, right], axis=1)


@st.composite
def frames(draw, min_rows=1, max_rows=12, min_cols=1, max_cols=9, names=None):
    rows = draw(st.integers(min_rows, max_rows))
    cols = draw(st.integers(min_cols, max_cols))
    arr = draw(hnp.arrays(np.float64, (rows, cols), elements=values))
    if rows and draw(st.booleans()):
        arr[draw(st.integers(0, rows - 1)), :] = np.nan  # an all-NaN date
    pool = names if names is not None else draw(st.sampled_from([UPPER, LOWER]))
    columns = draw(st.permutations(pool))[:cols] if cols <= len(pool) else [f"S{i}" for i in range(cols)]
    return layout(arr, list(columns), draw(st.sampled_from(["F", "C", "multi"])))


def assert_same(got, expected, given=None):
    """Same labels; equal within 1e-12 relative, NaN (and infinities) in the same places.

    Relative to the row's magnitude (its largest finite input or result): pandas sums a row in an order
    that depends on the frame's memory layout, so a mean that cancels to zero may come out as a few ulps
    of the row's values instead.
    """
    assert isinstance(got, pd.DataFrame)
    pd.testing.assert_index_equal(got.index, expected.index)
    pd.testing.assert_index_equal(got.columns, expected.columns)
    g = got.to_numpy(dtype=np.float64)
    e = expected.to_numpy(dtype=np.float64)
    np.testing.assert_array_equal(np.isnan(g), np.isnan(e))
    np.testing.assert_array_equal(np.isinf(g), np.isinf(e))
    finite = np.isfinite(e)
    magnitude = np.where(finite, np.abs(e), 0.0)
    if given is not None and given.shape == e.shape:
        a = np.abs(given.to_numpy(dtype=np.float64))
        magnitude = np.maximum(magnitude, np.where(np.isfinite(a), a, 0.0))
    row_scale = magnitude.max(axis=1, keepdims=True, initial=0.0)
    bound = 1e-12 * np.maximum(np.abs(e), row_scale)
    assert np.all(np.abs(g[finite] - e[finite]) <= bound[finite]), (g, e)
    np.testing.assert_array_equal(g[~finite & ~np.isnan(e)], e[~finite & ~np.isnan(e)])


def reference(name, frame, parameters):
    # inf - inf and the like are expected in the formulation too; numpy only warns about them.
    with np.errstate(all="ignore"), warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        return REF[name](frame, copy.deepcopy(parameters))


def check(name, frame, parameters):
    """Ours against the formulation; in place exactly when the formulation returns its input."""
    theirs_in = frame.copy(deep=True)
    before = frame.copy(deep=True)
    sibling = frame.copy(deep=False)
    expected = reference(name, theirs_in, parameters)
    got = getattr(V, name)(frame, parameters)
    assert_same(got, expected, before)
    if expected is theirs_in:
        assert got is frame
    else:
        assert got is not frame
        pd.testing.assert_frame_equal(frame, before)
    pd.testing.assert_frame_equal(sibling, before)


FUZZ = settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])


# --- differential tests --------------------------------------------------------------------------

@FUZZ
@given(frames(), st.sampled_from(["op_scale", "op_sign", "op_rank"]))
def test_parameterless_operators(frame, name):
    check(name, frame, None)


@FUZZ
@given(frames(), st.sampled_from([{}, {"center": 0.5}, {"center": -2}, {"center": 0}]))
def test_center(frame, parameters):
    check("op_center", frame, parameters)


@FUZZ
@given(frames(max_rows=16, max_cols=4), st.integers(1, 6),
       st.sampled_from([None, "simple", "linear", "exponential"]))
def test_smooth(frame, smooth, mode):
    parameters = {"smooth": smooth} if mode is None else {"smooth": smooth, "mode": mode}
    check("op_smooth", frame, parameters)


@FUZZ
@given(st.integers(1, 200), st.integers(1, 7), st.sampled_from(["simple", "linear", "exponential"]),
       st.floats(1e-3, 1e9), st.integers(0, 2**32 - 1))
def test_smooth_long_histories(rows, smooth, mode, spread, seed):
    # Wide value ranges expose any difference in the running sums' arithmetic.
    rng = np.random.default_rng(seed)
    arr = rng.standard_normal((rows, 3)) * spread ** rng.uniform(0, 1, (rows, 3))
    arr[rng.random(arr.shape) < 0.05] = np.nan
    arr[rng.random(arr.shape) < 0.1] = 7.25  # runs of equal values
    check("op_smooth", layout(arr, ["a", "b", "c"], "F"), {"smooth": smooth, "mode": mode})


longshort_values = st.one_of(st.integers(1, 6), st.floats(1, 6), st.floats(-0.2, 0.999),
                             st.sampled_from([0.2, 0.5, 0.0, float("nan")]))


@FUZZ
@given(frames(), longshort_values,
       st.sampled_from([None, "same", "keep_rank", "keep_distance", "keep_sign", "abs_rank"]))
def test_longshort(frame, longshort, mode):
    parameters = {"longshort": longshort} if mode is None else {"longshort": longshort, "mode": mode}
    check("op_longshort", frame, parameters)


@FUZZ
@given(frames(), st.sampled_from([{}, {"least_number": 1}, {"least_number": 3}, {"least_number": 0}]))
def test_neutral(frame, parameters):
    check("op_neutral", frame, parameters)


@FUZZ
@given(frames(min_cols=3, names=["IF", "IH", "IC", "CU", "RB", "ih"]),
       st.sampled_from([{}, {"positive_multiplier": 3}, {"positive_multiplier": 0.5},
                        {"positive_multiplier": -1}]))
def test_index_futures(frame, parameters):
    labels = list(frame.columns)
    for symbol in ["IF", "IH", "IC"]:
        if symbol not in labels:
            labels[next(i for i, c in enumerate(labels) if c not in ("IF", "IH", "IC"))] = symbol
    frame.columns = labels
    check("op_index_futures", frame, parameters)


LAYOUT_CASES = [("op_scale", None), ("op_sign", None), ("op_rank", None), ("op_center", {"center": 0.5}),
                ("op_smooth", {"smooth": 3}), ("op_neutral", {}), ("op_index_futures", {})] + [
    ("op_longshort", {"longshort": ls, "mode": mode}) for ls in (3, 0.2)
    for mode in ("same", "keep_rank", "keep_distance", "keep_sign", "abs_rank")]


@pytest.mark.parametrize("name, parameters", LAYOUT_CASES)
def test_every_layout_gives_the_same_bits(name, parameters):
    # Row-major frames are read as they lie, the others column-major: the bits must not tell. Tall enough
    # for several tiles of dates; one all-NaN date, ties, infinities and signed zeros.
    rng = np.random.default_rng(7)
    arr = np.round(rng.standard_normal((150, 14)) * 8) / 4
    arr[rng.random(arr.shape) < 0.1] = np.nan
    arr[rng.random(arr.shape) < 0.03] = np.inf
    arr[rng.random(arr.shape) < 0.03] = -0.0
    arr[40] = np.nan
    results = []
    # the deep copy: a row-major block nothing else references, written in place without a copy
    for frame in [layout(arr, UPPER, "F"), layout(arr, UPPER, "C"), layout(arr, UPPER, "C").copy(),
                  layout(arr, UPPER, "multi")]:
        assert len(results) not in (1, 2) or frame.to_numpy().flags["C_CONTIGUOUS"]
        results.append(getattr(V, name)(frame, copy.deepcopy(parameters)).to_numpy().view(np.int64))
    for got in results[1:]:
        np.testing.assert_array_equal(got, results[0])


# --- worked examples -----------------------------------------------------------------------------

def row(*v):
    return pd.DataFrame([list(map(float, v))])


# The kernels' own worked examples live in tests/cpp; these are the ones that also exercise the binding
# (parameter defaults, modes the binding routes elsewhere, NaN handed through).
@pytest.mark.parametrize("name, frame, parameters, expected", [
    ("op_center", row(0, 1), {}, [-0.5, 0.5]),
    ("op_longshort", row(-4, 1, 2, -3), {"longshort": 1, "mode": "abs_rank"}, [-1, 0.25, 0.5, -0.75]),
    ("op_longshort", row(1, np.nan, 3), {"longshort": 1, "mode": "keep_sign"}, [0, np.nan, 1]),
    ("op_longshort", row(1, 2, 3, 4, 5), {"longshort": 1, "mode": "keep_rank"}, [-0.4, 0, 0, 0, 0.4]),
    ("op_longshort", row(1, 2, 3, 4, 5), {"longshort": 1, "mode": "keep_distance"}, [-2, 0, 0, 0, 2]),
])
def test_worked_examples(name, frame, parameters, expected):
    got = getattr(V, name)(frame, parameters)
    np.testing.assert_allclose(got.to_numpy()[0], expected, rtol=1e-12, atol=1e-15)


def test_smooth_of_one_date_is_the_identity():
    values = pd.DataFrame({"a": [0.1, -2.5, 0.0, 7.0], "b": [np.nan, 1e-300, 3.0, -4.0]})
    for mode in ["simple", "linear", "exponential"]:
        pd.testing.assert_frame_equal(V.op_smooth(values, {"smooth": 1, "mode": mode}), values)


# Text labels are read where they lie, as Python strings or as an Arrow string array.
STORAGES = ["python", pytest.param("pyarrow", marks=pytest.mark.skipif(
    importlib.util.find_spec("pyarrow") is None, reason="pyarrow not installed"))]


@pytest.mark.parametrize("storage", STORAGES)
def test_neutral_examples(storage):
    with pd.option_context("mode.string_storage", storage):
        frame = pd.DataFrame({"CU": [1.0, 1.0], "AL": [np.nan, 3.0], "RB": [5.0, 7.0], "QQ": [1.0, 2.0], "É": 1.0})
        lower = frame.rename(columns=str.lower)
        assert frame.columns.dtype.storage == storage
        got = V.op_neutral(frame, {})
        assert list(got.columns) == ["CU", "AL", "RB", "QQ", "É"]
        np.testing.assert_array_equal(got.to_numpy(), [[1, np.nan, 5, np.nan, np.nan], [-1, 1, 7, np.nan, np.nan]])
        np.testing.assert_array_equal(V.op_neutral(lower, {}).to_numpy(), got.to_numpy())
        np.testing.assert_array_equal(V.op_neutral(lower.iloc[:, 1:], {}).to_numpy(),
                                      V.op_neutral(frame.iloc[:, 1:], {}).to_numpy())


@pytest.mark.parametrize("storage", STORAGES)
def test_index_futures_example(storage):
    with pd.option_context("mode.string_storage", storage):
        frame = pd.DataFrame({"IF": [-1.0], "CU": [-5.0], "IH": [0.0], "IC": [2.0], "中": 1.0})
        assert V.op_index_futures(frame, {}) is frame
        np.testing.assert_array_equal(frame.to_numpy(), [[np.nan, -5, 0, 4, 1]])


# --- errors --------------------------------------------------------------------------------------

def test_missing_and_invalid_parameters():
    frame = row(1, 2, 3)
    with pytest.raises(KeyError, match="smooth"):
        V.op_smooth(frame, {"mode": "linear"})
    for mode in ["same", "keep_rank", "keep_distance", "keep_sign", "abs_rank", "bogus"]:
        with pytest.raises(KeyError, match="longshort"):
            V.op_longshort(frame, {"mode": mode})
    with pytest.raises(ValueError, match="^invalid op_smooth mode$"):
        V.op_smooth(frame, {"smooth": 2, "mode": "median"})
    with pytest.raises(ValueError, match="^invalid op_longshort mode$"):
        V.op_longshort(frame, {"longshort": 1, "mode": "median"})
    for name in ["op_center", "op_longshort", "op_smooth", "op_neutral", "op_index_futures"]:
        with pytest.raises((AttributeError, TypeError)) as err:
            getattr(V, name)(frame, None)
        with pytest.raises(type(err.value)):
            REF[name](frame.copy(), None)
    # op_scale, op_sign and op_rank do not read their parameters
    for name in ["op_scale", "op_sign", "op_rank"]:
        getattr(V, name)(frame)
        getattr(V, name)(frame, "anything")


def test_smooth_windows_as_pandas_validates_them():
    frame = pd.DataFrame({"a": [1.0, 2.0, 3.0]})
    for smooth in [2.0, -1, True, "3"]:
        with pytest.raises(ValueError) as ours:
            V.op_smooth(frame, {"smooth": smooth})
        with pytest.raises(ValueError) as theirs:
            ref_smooth(frame, {"smooth": smooth})
        assert str(ours.value) == str(theirs.value)
    check("op_smooth", frame, {"smooth": 0})
    check("op_smooth", frame, {"smooth": np.int64(2), "mode": "linear"})
    check("op_smooth", frame, {"smooth": 5, "mode": "exponential"})
    with pytest.raises(ZeroDivisionError):
        V.op_smooth(frame, {"smooth": 0, "mode": "exponential"})
    with pytest.raises(ZeroDivisionError):
        V.op_smooth(frame, {"smooth": 0, "mode": "linear"})


def test_index_futures_without_a_column_changes_nothing():
    frame = pd.DataFrame({"IF": [-1.0, 2.0], "IC": [3.0, -4.0]})
    before = frame.copy()
    with pytest.raises(KeyError) as ours:
        V.op_index_futures(frame, {})
    with pytest.raises(KeyError) as theirs:
        frame.copy()[["IF", "IH", "IC"]]
    assert str(ours.value) == str(theirs.value)
    pd.testing.assert_frame_equal(frame, before)


def test_non_numeric_frames_raise_type_error():
    frame = pd.DataFrame({"CU": ["a", "b"], "RB": [1.0, 2.0]})
    for name, parameters in [("op_scale", None), ("op_sign", None), ("op_rank", None), ("op_center", {}),
                             ("op_smooth", {"smooth": 2}), ("op_longshort", {"longshort": 1}),
                             ("op_neutral", {})]:
        with pytest.raises(TypeError, match=name):
            getattr(V, name)(frame, parameters)
    with pytest.raises(TypeError, match="longshort"):
        V.op_longshort(row(1, 2), {"longshort": "1"})


# --- frames, dtypes, memory ----------------------------------------------------------------------

def test_integer_frames_compute_as_float():
    ints = pd.DataFrame({"IF": [3, -2, 0], "IH": [1, 5, -7], "IC": [2, 2, 4], "CU": [-1, 0, 9]})
    floats = ints.astype(np.float64)
    cases = [("op_scale", None), ("op_rank", None), ("op_center", {}), ("op_smooth", {"smooth": 2}),
             ("op_neutral", {}), ("op_longshort", {"longshort": 1, "mode": "keep_rank"}),
             ("op_longshort", {"longshort": 0.3, "mode": "keep_rank"}), ("op_sign", None),
             ("op_longshort", {"longshort": 1}), ("op_index_futures", {})]
    for name, parameters in cases:
        frame = ints.copy()
        expected = reference(name, floats.copy(), parameters)
        got = getattr(V, name)(frame, parameters)
        assert_same(got, expected)
        written = ["IF", "IH", "IC"] if name == "op_index_futures" else list(expected.columns)
        assert (got.dtypes[written] == np.float64).all()
        # an integer frame changed in place becomes a float frame, the same object
        assert (got is frame) == (name in ("op_sign", "op_index_futures")
                                  or parameters in ({"longshort": 1}, {"longshort": 0.3, "mode": "keep_rank"}))
    frame = ints.copy()
    V.op_index_futures(frame, {})
    assert frame["CU"].dtype == np.int64  # columns other than IF, IH, IC are never touched


@pytest.mark.parametrize("name, parameters", [
    ("op_sign", None), ("op_longshort", {"longshort": 1}), ("op_longshort", {"longshort": 0.3, "mode": "keep_sign"}),
    ("op_longshort", {"longshort": 0.3, "mode": "keep_rank"}), ("op_index_futures", {}),
])
def test_in_place_never_writes_shared_memory(name, parameters):
    arr = np.array([[1.0, -2.0, 3.0, 0.5], [-1.0, 4.0, np.nan, -3.0], [2.0, 2.0, -5.0, 1.0]])
    columns = ["IF", "IH", "IC", "CU"]
    # one-row frames take another write path
    for base in [arr.copy(order="C"), arr.copy(order="F"), arr[:1].copy(), arr[1:2].copy()]:
        keep = base.copy()
        frame = pd.DataFrame(base, columns=columns, copy=False)
        twin = pd.DataFrame(base, columns=columns, copy=False)
        shallow = frame.copy(deep=False)
        view = frame[:]
        expected = reference(name, frame.copy(deep=True), parameters)
        assert getattr(V, name)(frame, parameters) is frame
        assert_same(frame, expected)
        np.testing.assert_array_equal(base, keep)
        for other in (twin, shallow, view):
            np.testing.assert_array_equal(other.to_numpy(), keep)



@pytest.mark.parametrize("name, parameters", [
    ("op_sign", None), ("op_longshort", {"longshort": 1}), ("op_longshort", {"longshort": 0.3, "mode": "keep_rank"}),
])
def test_in_place_keeps_earlier_arrays(name, parameters):
    """A frame owning its block is written in place, unless an array or a column taken from it is alive."""
    arr = np.array([[1.0, -2.0, 3.0, 0.5], [-1.0, 4.0, np.nan, -3.0], [2.0, 2.0, -5.0, 1.0]])
    frame = pd.DataFrame(arr.copy(), columns=["IF", "IH", "IC", "CU"])
    expected = reference(name, frame.copy(deep=True), parameters)
    values = frame.to_numpy()
    assert getattr(V, name)(frame, parameters) is frame
    assert_same(frame, expected)
    np.testing.assert_array_equal(values, arr)
    column = pd.DataFrame(arr.copy(), columns=["IF", "IH", "IC", "CU"])["IF"]
    assert getattr(V, name)(column.to_frame(), parameters) is not None
    np.testing.assert_array_equal(column.to_numpy(), arr[:, 0])
    for built in (pd.DataFrame(arr.copy(), columns=["IF", "IH", "IC", "CU"], copy=False),
                  pd.DataFrame(np.asfortranarray(arr), columns=["IF", "IH", "IC", "CU"], copy=False)):
        held = built.to_numpy()
        assert getattr(V, name)(built, parameters) is built
        assert_same(built, expected)
        np.testing.assert_array_equal(held, arr)
    sole = pd.DataFrame(arr.copy(), columns=["IF", "IH", "IC", "CU"])
    assert getattr(V, name)(sole, parameters) is sole
    assert_same(sole, expected)
    row = pd.DataFrame(arr[1:2].copy(), columns=["IF", "IH", "IC", "CU"])
    values, expected = row.to_numpy(), reference(name, row.copy(deep=True), parameters)
    assert getattr(V, name)(row, parameters) is row
    assert_same(row, expected)
    np.testing.assert_array_equal(values, arr[1:2])


@pytest.mark.parametrize("name, parameters", [
    ("op_sign", None), ("op_longshort", {"longshort": 300}), ("op_longshort", {"longshort": 0.2, "mode": "keep_sign"}),
    ("op_longshort", {"longshort": 0.2, "mode": "keep_rank"}), ("op_index_futures", {}),
])
def test_in_place_on_few_dates_of_many_symbols(name, parameters):
    """Few dates of many symbols are written through masks (constant by constant, or date by date): the
    formulation's result, on every layout, and nothing written that another frame or array shares."""
    rng = np.random.default_rng(3)
    for dates in (2, 3):
        arr = np.round(rng.standard_normal((dates, 33_000)) * 8) / 4
        arr[rng.random(arr.shape) < 0.05] = np.nan
        arr[rng.random(arr.shape) < 0.01] = -np.inf
        arr[rng.random(arr.shape) < 0.02] = -0.0
        arr[-1, : arr.shape[1] // 2] = np.nan
        columns = ["IF", "IH", "IC"] + [f"S{i}" for i in range(arr.shape[1] - 3)]
        expected = reference(name, layout(arr, columns, "F"), parameters)
        for kind, shared in [("F", False), ("F", True), ("C", False), ("C", True)]:
            base = arr.copy()
            frame = layout(base, columns, kind)  # "C": over `base` itself
            view = frame[:] if shared else None
            assert getattr(V, name)(frame, copy.deepcopy(parameters)) is frame
            assert_same(frame, expected, view)
            np.testing.assert_array_equal(base, arr)
            if shared:
                np.testing.assert_array_equal(view.to_numpy(), arr)


def test_results_do_not_alias_their_input():
    frame = pd.DataFrame(np.arange(12.0).reshape(4, 3), columns=["CU", "AL", "RB"])
    for name, parameters in [("op_scale", None), ("op_rank", None), ("op_center", {}),
                             ("op_smooth", {"smooth": 1}), ("op_neutral", {"least_number": 9}),
                             ("op_longshort", {"longshort": 1, "mode": "keep_distance"})]:
        got = getattr(V, name)(frame, parameters)
        assert not np.shares_memory(got.to_numpy(), frame.to_numpy())


@pytest.mark.parametrize("shape", [(0, 3), (3, 0), (0, 0)])
def test_empty_frames(shape):
    frame = pd.DataFrame(np.zeros(shape), columns=["IF", "IH", "IC"][:shape[1]])
    for name, parameters in [("op_scale", None), ("op_sign", None), ("op_rank", None), ("op_center", {}),
                             ("op_smooth", {"smooth": 2, "mode": "linear"}), ("op_neutral", {}),
                             ("op_longshort", {"longshort": 1}), ("op_longshort", {"longshort": 1, "mode": "abs_rank"})]:
        got = getattr(V, name)(frame, parameters)
        assert got.shape == shape
        pd.testing.assert_index_equal(got.columns, frame.columns)


# --- module --------------------------------------------------------------------------------------

def test_star_import_resolves_every_operator_by_name():
    namespace = {}
    exec("from VarloAlpha.Module.Varlo_operators import *", namespace)
    assert [n for n in namespace if n.startswith("op_")] == [
        "op_scale", "op_longshort", "op_sign", "op_smooth", "op_rank", "op_center", "op_neutral",
        "op_index_futures"]
    assert namespace["Path"] is Path and namespace["np"] is np and namespace["pd"] is pd
    frame = pd.DataFrame([[1.0, -2.0, 3.0, 0.5]], columns=["IF", "IH", "IC", "CU"])
    chain = [("scale", None), ("longshort", {"longshort": 1}), ("sign", None), ("smooth", {"smooth": 1}),
             ("rank", None), ("center", {}), ("neutral", {"least_number": 9}), ("index_futures", {})]
    for key, parameters in chain:  # resolved as a chain resolves its entries
        check("op_" + key, frame.copy(), parameters)
    with pytest.raises(TypeError):  # parameters are optional only where they are not read
        V.op_center(row(1, 2))


def test_operators_called_by_name_at_call_time(monkeypatch):
    calls = []

    def spy_center(op_alpha, parameters):
        calls.append(("center", parameters))
        return ref_center(op_alpha, parameters) * 2

    frame = row(4, 1, 3, 2, 5)
    monkeypatch.setattr(V, "op_center", spy_center)
    np.testing.assert_allclose(V.op_rank(frame).to_numpy(), 2 * ref_rank(frame).to_numpy())
    assert calls == [("center", {"center": 0})]
    for parameters in [{"longshort": 1, "mode": "keep_rank"}, {"longshort": 0.3, "mode": "keep_rank"},
                       {"longshort": 1, "mode": "keep_distance"}, {"longshort": 0.3, "mode": "keep_distance"}]:
        calls.clear()
        V.op_longshort(frame.copy(), parameters)
        assert calls, parameters

    def spy_rank(op_alpha, parameters=None):
        calls.append(("rank", parameters))
        return ref_rank(op_alpha) + 100

    monkeypatch.setattr(V, "op_rank", spy_rank)
    calls.clear()
    got = V.op_longshort(frame, {"longshort": 1, "mode": "keep_rank"})
    assert calls == [("rank", None)]
    np.testing.assert_allclose(got.to_numpy()[0], [0, 99.6, 0, 0, 100.4])
    monkeypatch.undo()
    calls.clear()
    check("op_longshort", frame, {"longshort": 1, "mode": "keep_rank"})
    assert calls == []


def test_neutral_reads_the_attribute_table_when_it_changes(tmp_path):
    pkg = tmp_path / "VarloAlpha"
    shutil.copytree(Path(V.__file__).parents[1], pkg)
    csv = pkg / "Module" / "futures_attributes.csv"
    script = textwrap.dedent(f"""
        import os, pandas as pd
        from VarloAlpha.Module import Varlo_operators as V
        frame = pd.DataFrame({{"CU": [1.0], "AL": [3.0], "RB": [8.0]}})
        print(V.op_neutral(frame, {{}}).to_numpy().tolist())
        table = pd.read_csv({str(csv)!r}, index_col=0)
        table.loc["RB", "industry_wind"] = "nonferrous"
        table.to_csv({str(csv)!r})
        st = os.stat({str(csv)!r})
        os.utime({str(csv)!r}, ns=(st.st_atime_ns, st.st_mtime_ns + 10**9))
        print(V.op_neutral(frame, {{}}).to_numpy().tolist())
    """)
    env = dict(os.environ, PYTHONPATH=str(tmp_path))
    out = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, text=True, check=True)
    assert out.stdout.split("\n")[:2] == ["[[-1.0, 1.0, 8.0]]", "[[-3.0, -1.0, 4.0]]"]


# --- reliability: odd inputs, threads, memory -------------------------------------------------------

def test_parameters_that_do_not_fit_raise_as_pandas_does():
    frame = pd.DataFrame({"a": [1.0, 2.0, 3.0]})
    for smooth in [2**63, np.uint64(2**63), -2**64]:
        with pytest.raises((OverflowError, ValueError)) as ours:
            V.op_smooth(frame, {"smooth": smooth})
        with pytest.raises(type(ours.value), match=str(ours.value)):
            ref_smooth(frame, {"smooth": smooth})
        for mode in ["linear", "exponential"]:  # the formulation fails building its weights
            with pytest.raises((OverflowError, ValueError)):
                V.op_smooth(frame, {"smooth": smooth, "mode": mode})
    check("op_smooth", frame, {"smooth": 2**62})
    for name, parameters in [("op_center", {"center": 10**400}), ("op_longshort", {"longshort": 10**400})]:
        with pytest.raises(OverflowError):
            getattr(V, name)(frame.copy(), parameters)
        with pytest.raises(OverflowError):
            reference(name, frame.copy(), parameters)
    pair = pd.DataFrame({"CU": [1.0], "AL": [3.0]})
    for least in [10**400, -10**400]:
        check("op_neutral", pair, {"least_number": least})


def test_bool_and_nullable_columns_compute_as_pandas_converts_them():
    mixed = pd.DataFrame({"CU": [1.0, -2.0, np.nan], "AL": [True, False, True], "RB": [0.5, 2.0, 3.0]})
    nullable = pd.DataFrame({"CU": pd.array([1, None, 3], dtype="Int64"), "AL": pd.array([2, 5, None], dtype="Int64"),
                             "RB": pd.array([2.5, None, -1.0], dtype="Float64")})
    floats = nullable.astype("float64")
    for name, parameters in [("op_rank", None), ("op_scale", None), ("op_center", {}), ("op_neutral", {}),
                             ("op_smooth", {"smooth": 2}), ("op_longshort", {"longshort": 1, "mode": "abs_rank"})]:
        if name != "op_longshort":  # the formulation writes 1 into the bool column there, and fails
            assert_same(getattr(V, name)(mixed.copy(), parameters), reference(name, mixed.copy(), parameters))
        assert_same(getattr(V, name)(nullable.copy(), parameters), reference(name, floats.copy(), parameters))


def test_index_futures_write_only_the_selected_columns():
    by_symbol = pd.MultiIndex.from_tuples([("IF", "a"), ("CU", "b"), ("IH", "c"), ("IC", "d")])
    frame = pd.DataFrame([[-1.0, -5.0, 0.0, 2.0]], columns=by_symbol)
    check("op_index_futures", frame, {})
    # labels found by a scan: other labels may repeat, labels of other types leave it to pandas
    for columns in [["CU", "IC", "CU", "IH", "IF"], pd.Index([0, "IC", "CU", "IH", "IF"], dtype=object)]:
        for rows in ([[2.0, -1.0, 3.0, 0.5, -0.0]], [[2.0, -1.0, 3.0, 0.5, -0.0], [1.0, 4.0, -2.0, np.nan, 7.0]]):
            check("op_index_futures", pd.DataFrame(rows, columns=columns), {})
    for columns in [pd.MultiIndex.from_tuples([("A", "IF"), ("A", "IH"), ("B", "IC"), ("B", "CU")]),
                    ["IF", "IF", "IH", "IC"]]:
        frame = pd.DataFrame([[-1.0, 3.0, 0.0, 2.0]], columns=columns)
        before = frame.copy()
        with pytest.raises((KeyError, ValueError)):  # duplicate labels: refused rather than guessed
            V.op_index_futures(frame, {})
        pd.testing.assert_frame_equal(frame, before)


def test_neutral_from_threads_with_different_columns():
    # In a child process: a race there ends in a crash. Copies carry equal but distinct column labels,
    # so every call compares labels through pandas, where threads switch.
    script = textwrap.dedent("""
        import sys, threading, numpy as np, pandas as pd
        from VarloAlpha.Module import Varlo_operators as V
        from reference.operators import ATTRIBUTES, ref_neutral
        symbols = list(pd.read_csv(ATTRIBUTES, index_col=0).index)[:70]
        wide = pd.DataFrame(np.random.default_rng(1).standard_normal((40, len(symbols))), columns=symbols)
        narrow = wide.iloc[:, [3, 0]].copy()
        expected = [ref_neutral(f.copy(), {}).to_numpy() for f in (wide, narrow)]
        errors = []

        def work():
            try:
                for i in range(1500):
                    got = V.op_neutral((wide, narrow)[i % 2].copy(), {})
                    assert np.array_equal(got.to_numpy(), expected[i % 2], equal_nan=True)
            except Exception as e:  # handed to the main thread
                errors.append(repr(e))

        sys.setswitchinterval(1e-6)
        threads = [threading.Thread(target=work) for _ in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        print(errors)
    """)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(Path(__file__).parent)] + sys.path))
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, env=env)
    assert out.returncode == 0 and out.stdout.strip() == "[]", (out.returncode, out.stdout, out.stderr[-2000:])


@pytest.mark.parametrize("storage", STORAGES)
@pytest.mark.parametrize("dates", [1, 2, 4])
def test_few_dates_of_many_symbols_stay_within_two_frames(dates, storage):
    script = textwrap.dedent(f"""
        import ctypes, numpy as np, pandas as pd
        pd.set_option("mode.string_storage", "{storage}")
        from VarloAlpha.Module import Varlo_operators as V
        np._core.multiarray._set_madvise_hugepage(False)  # resident memory in 4 KiB steps, not 2 MiB
        def rss(field):
            return next(int(l.split()[1]) for l in open("/proc/self/status") if l.startswith(field))
        n = 2_000_000 // {dates}
        labels = ["IF", "IH", "IC"] + [f"S{{i}}" for i in range(n - 3)]
        frame = pd.DataFrame(np.random.default_rng(0).standard_normal(({dates}, n)), columns=labels)
        # first, while no hash table of the labels has been built (a lookup through pandas builds one)
        for name, p in [("op_index_futures", {{}}), ("op_neutral", {{}}), ("op_rank", None),
                        ("op_longshort", {{"longshort": 10, "mode": "keep_rank"}}),
                        ("op_longshort", {{"longshort": 0.2, "mode": "keep_distance"}}),
                        ("op_sign", None), ("op_longshort", {{"longshort": 10}}),
                        ("op_longshort", {{"longshort": 0.2, "mode": "keep_sign"}}),
                        ("op_longshort", {{"longshort": 0.2, "mode": "keep_rank"}})]:
            for shared in (False, True):  # in place: a view alive makes pandas copy the block first
                arg = frame.copy()
                view = arg[:] if shared else None
                ctypes.CDLL("libc.so.6").malloc_trim(0)
                open("/proc/self/clear_refs", "w").write("5")
                before = rss("VmRSS")
                result = getattr(V, name)(arg, p)
                print((rss("VmHWM") - before) * 1024 / 16e6)
                del result, arg, view
    """)
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True)
    peaks = [float(v) for v in out.stdout.split()]
    # a shared block costs pandas' own copy on top, and on few dates the scratch of its write into that copy
    assert len(peaks) == 18 and max(peaks[0::2]) < 2 and max(peaks[1::2]) < 3.25, peaks
