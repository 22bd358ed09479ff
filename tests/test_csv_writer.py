"""The native report-table writer against pandas' to_csv, byte for byte."""
import numpy as np
import pandas as pd
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from VarloAlpha.Module.Varlo_analyse import _write_csv

SPECIAL = [0.0, -0.0, np.inf, -np.inf, np.nan, 5e-324, 2.2250738585072014e-308, 1e-5, 1e-4, 1e16, 1e15,
           9999999999999998.0, 100000.0, 3.0, -7.0, 1.2345678901234568e17, 0.1]
values = st.one_of(st.floats(allow_nan=True, allow_infinity=True), st.sampled_from(SPECIAL),
                   st.integers(-10**17, 10**17).map(float), st.floats(0, 1e-300))
labels = st.lists(st.sampled_from(["CU", "AL", "rb", "ni", "IF", "sc", "T", "x_1", "中"]), min_size=1, max_size=4,
                  unique=True)


@st.composite
def frames(draw):
    cols = draw(labels)
    rows = draw(st.integers(0, 6))
    start = pd.Timestamp("1990-01-01") + pd.Timedelta(days=draw(st.integers(0, 20000)))
    step = draw(st.sampled_from(["D", "B", "h", "17s"]))
    index = pd.date_range(start, periods=rows, freq=step, name=draw(st.sampled_from([None, "date"])))
    data = np.array(draw(st.lists(values, min_size=rows * len(cols), max_size=rows * len(cols))),
                    dtype=float).reshape(rows, len(cols))
    return pd.DataFrame(data, index=index, columns=cols)


def same_bytes(frame, tmp_path):
    frame.to_csv(tmp_path / "pandas.csv")
    _write_csv(frame, tmp_path / "ours.csv")
    assert (tmp_path / "ours.csv").read_bytes() == (tmp_path / "pandas.csv").read_bytes()


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(frame=frames())
def test_float_frames_byte_identical(frame, tmp_path):
    same_bytes(frame, tmp_path)


def test_layouts_and_fallbacks(tmp_path):
    rng = np.random.default_rng(1)
    idx = pd.bdate_range("2020-01-01", periods=40)
    base = pd.DataFrame(rng.normal(size=(40, 3)) * 10.0 ** rng.integers(-8, 20, size=(40, 3)), index=idx,
                        columns=["CU", "al", "RB"])
    same_bytes(base, tmp_path)
    same_bytes(pd.DataFrame(np.asarray(base.to_numpy(), order="C"), index=idx, columns=base.columns), tmp_path)
    same_bytes(base.assign(AU=np.arange(40.0)), tmp_path)  # several blocks
    same_bytes(base.rename_axis("sym", axis=1).rename_axis("date"), tmp_path)  # named axes
    same_bytes(base.assign(note="a,b"), tmp_path)  # object column
    same_bytes(base.assign(n=np.arange(40)), tmp_path)  # integer column
    same_bytes(base.rename(columns={"CU": "C,U"}), tmp_path)  # a label that needs quoting
    same_bytes(base.set_axis(["x"] * 40, axis=0), tmp_path)  # not a date index
    same_bytes(base.set_axis(idx.tz_localize("Asia/Shanghai"), axis=0), tmp_path)
    same_bytes(base.set_axis(idx + pd.Timedelta("1ms"), axis=0), tmp_path)  # sub-second times
    same_bytes(base.set_axis(idx.insert(3, pd.NaT)[:40], axis=0), tmp_path)
    same_bytes(base.iloc[:, :0], tmp_path)  # no columns
    same_bytes(base.iloc[:0], tmp_path)  # no rows
    same_bytes(base.iloc[:1], tmp_path)
    _write_csv(base, str(tmp_path / "as_text.csv"))  # a path given as text
    assert (tmp_path / "as_text.csv").read_bytes() == base.to_csv().encode()
