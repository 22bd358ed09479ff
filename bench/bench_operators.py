"""Operators against their pandas formulations, side by side in one process.

    PYTHONPATH=build/pkg python3 bench/bench_operators.py [--quick] [--layout f|c|both] [--only NAME]

Prints, per operator and mode, the median time of the pandas formulation and of ours (frame conversions
included) and their ratio, on 2,500 dates x 100 symbols and on 5,000 x 1,000; at 5,000 x 1,000 also the
peak memory each of our calls adds, in frames of that size. `--layout c` times row-major frames (what
`pd.DataFrame(arr, copy=False)` over a C-ordered array, an ndarray mask or a row-wise apply give), `both`
one line per layout; `--only` keeps the cases whose operator name contains the text.

op_neutral needs an industry for every symbol: the package is copied to a temporary directory with a
synthetic futures_attributes.csv (ten industries) and imported from there.
"""
import argparse
import ctypes
import importlib.util
import os
import shutil
import statistics
import sys
import tempfile
import time
import warnings
from pathlib import Path

import numpy as np
import pandas as pd

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests"))

N_SYMBOLS = 1000
SYMBOLS = ["IF", "IH", "IC"] + [f"S{i:04d}" for i in range(N_SYMBOLS - 3)]


def staged_package():
    """A copy of the package whose attribute table covers the benchmark's symbols."""
    origin = Path(importlib.util.find_spec("VarloAlpha").origin).parent
    root = Path(tempfile.mkdtemp(prefix="varlo_bench_"))
    shutil.copytree(origin, root / "VarloAlpha")
    table = pd.DataFrame({
        "symbol_name": [s.lower() for s in SYMBOLS],
        "backtest_begin_date": "2010-01-04",
        "industry_wind": [f"industry{i % 10}" for i in range(len(SYMBOLS))],
        "contract_multiplier": 10,
        "exchange": "SHFE",
        "market_id": 12,
    }, index=pd.Index(SYMBOLS, name="symbol"))
    table.to_csv(root / "VarloAlpha" / "Module" / "futures_attributes.csv")
    sys.path.insert(0, str(root))
    return root


ROOT = staged_package()
from VarloAlpha.Module import Varlo_operators as V  # noqa: E402
from reference import operators as T  # noqa: E402  (the pandas formulations)

T.ATTRIBUTES = ROOT / "VarloAlpha" / "Module" / "futures_attributes.csv"

CASES = [
    ("op_scale", None),
    ("op_sign", None),
    ("op_rank", None),
    ("op_center", {"center": 0}),
    ("op_smooth", {"smooth": 10, "mode": "simple"}),
    ("op_smooth", {"smooth": 10, "mode": "linear"}),
    ("op_smooth", {"smooth": 10, "mode": "exponential"}),
] + [
    ("op_longshort", {"longshort": ls, "mode": mode})
    for mode in ["same", "keep_rank", "keep_distance", "keep_sign", "abs_rank"] for ls in [10, 0.2]
] + [
    ("op_neutral", {"least_number": 2}),
    ("op_index_futures", {"positive_multiplier": 2}),
]
IN_PLACE = {"op_sign", "op_index_futures", "op_longshort"}  # inputs copied outside the timing


def make_frame(rows, cols, layout="f", seed=0):
    rng = np.random.default_rng(seed)
    values = rng.standard_normal((rows, cols))
    values[rng.random(values.shape) < 0.05] = np.nan
    values[:, 3] = np.round(values[:, 3], 1)  # some ties
    index = pd.bdate_range("2005-01-03", periods=rows)
    if layout == "c":  # deep copies keep the row-major block
        return pd.DataFrame(np.ascontiguousarray(values), index=index, columns=SYMBOLS[:cols], copy=False)
    return pd.DataFrame(np.asfortranarray(values), index=index, columns=SYMBOLS[:cols])


def timed(fn, frame, parameters, repeat):
    times = []
    for _ in range(repeat):
        arg = frame.copy(deep=True)
        t0 = time.perf_counter()
        fn(arg, parameters)
        times.append(time.perf_counter() - t0)
    return statistics.median(times)


def pandas_call(name):
    def call(frame, parameters):
        with np.errstate(all="ignore"), warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)
            return T.REF[name](frame, dict(parameters or {}))
    return call


def label(name, parameters):
    if not parameters:
        return name
    return name + " " + " ".join(f"{k}={v}" for k, v in parameters.items())


# --- memory: peak resident set of one call, from a reset high-water mark ----------------------------

_libc = ctypes.CDLL("libc.so.6")


def _status_kb(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field):
                return int(line.split()[1])
    raise RuntimeError(field)


def peak_extra_bytes(fn, frame, parameters):
    """Peak resident memory above the level before the call (the input included, the result too)."""
    arg = frame.copy(deep=True)
    _libc.malloc_trim(0)
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")  # resets VmHWM to the current resident size
    before = _status_kb("VmRSS")
    result = fn(arg, parameters)
    peak = _status_kb("VmHWM")
    del result, arg
    return (peak - before) * 1024


def run(rows, cols, repeat, apply_slice_cols=None, memory=False, layouts=("f",), only=""):
    frames = {layout: make_frame(rows, cols, layout) for layout in layouts}
    frame_bytes = rows * cols * 8
    print(f"\n{rows:,} dates x {cols:,} symbols  (medians of {repeat}; conversions included)")
    header = f"{'operator':58s} {'pandas ms':>11s} {'ours ms':>9s} {'ratio':>9s}"
    if memory:
        header += f" {'peak extra (frames)':>20s}"
    print(header)
    for name, parameters in CASES:
        if only not in name:
            continue
        for layout, frame in frames.items():
            ours = timed(getattr(V, name), frame, parameters, repeat)
            note = ""
            is_apply = name == "op_smooth" and parameters["mode"] != "simple"
            if is_apply and apply_slice_cols:
                # rolling().apply costs the same per column: time a slice, scale to the full width
                part = frame.iloc[:, :apply_slice_cols].copy()
                theirs = timed(pandas_call(name), part, parameters, 1) * cols / apply_slice_cols
                note = f"  (pandas timed on {apply_slice_cols} columns, scaled x{cols // apply_slice_cols})"
            else:
                theirs = timed(pandas_call(name), frame, parameters, 1 if is_apply else repeat)
                if is_apply:
                    note = "  (pandas: one run)"
            case = f"[{layout.upper()}] {label(name, parameters)}" if len(frames) > 1 or layout != "f" else label(
                name, parameters)
            line = f"{case:58s} {theirs * 1e3:11.2f} {ours * 1e3:9.3f} {theirs / ours:8.1f}x"
            if memory:
                extra = peak_extra_bytes(getattr(V, name), frame, parameters) / frame_bytes
                # the result itself is one frame (for in-place operators: the frame's new block)
                line += f" {extra:12.2f} ({extra - 1:+.2f} beyond result)"
            print(line + note)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="small repeat counts, slices for apply")
    parser.add_argument("--layout", choices=["f", "c", "both"], default="f",
                        help="column-major frames (f), row-major (c), or a line for each")
    parser.add_argument("--only", default="", help="operators whose name contains this text")
    args = parser.parse_args()
    layouts = ("f", "c") if args.layout == "both" else (args.layout,)
    try:
        run(2500, 100, 3 if args.quick else 7, apply_slice_cols=10 if args.quick else None, layouts=layouts,
            only=args.only)
        run(5000, 1000, 3, apply_slice_cols=10, memory=True, layouts=layouts, only=args.only)
    finally:
        shutil.rmtree(ROOT, ignore_errors=True)


if __name__ == "__main__":
    main()
