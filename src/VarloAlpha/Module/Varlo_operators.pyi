"""Alpha operators: each takes an alpha frame (dates x symbols) and a parameter dict, returns a frame."""
from pathlib import Path as Path
from typing import Any, Mapping

import numpy
import pandas

np = numpy
pd = pandas

def op_scale(op_alpha: pandas.DataFrame, parameters: Any = None) -> pandas.DataFrame:
    """Each row over the sum of its absolute values (NaN skipped); rows summing to 0 unchanged. New frame."""

def op_longshort(op_alpha: pandas.DataFrame, parameters: Mapping[str, Any]) -> pandas.DataFrame:
    """Long/short selection by cross-sectional rank.

    parameters["longshort"]: count per side (>= 1) or fraction (< 1); parameters.get("mode", "same") one of
    "same", "keep_rank", "keep_distance", "keep_sign", "abs_rank". "same", "keep_sign" and fraction-form
    "keep_rank" change op_alpha in place and return it; the others return a new frame.
    """

def op_sign(op_alpha: pandas.DataFrame, parameters: Any = None) -> pandas.DataFrame:
    """In place: positive values to 1, negative to -1; returns op_alpha itself."""

def op_smooth(op_alpha: pandas.DataFrame, parameters: Mapping[str, Any]) -> pandas.DataFrame:
    """Rolling average over parameters["smooth"] dates, mode "simple" (default), "linear" or "exponential"."""

def op_rank(op_alpha: pandas.DataFrame, parameters: Any = None) -> pandas.DataFrame:
    """Cross-sectional percentile rank centred at row mean 0 (calls the module's op_center)."""

def op_center(op_alpha: pandas.DataFrame, parameters: Mapping[str, Any]) -> pandas.DataFrame:
    """Each row minus its mean plus parameters.get("center", 0). New frame."""

def op_neutral(op_alpha: pandas.DataFrame, parameters: Mapping[str, Any]) -> pandas.DataFrame:
    """Each symbol minus its industry's mean on the date when the industry has at least
    parameters.get("least_number", 2) valid alphas; symbols without an industry give NaN. New frame."""

def op_index_futures(op_alpha: pandas.DataFrame, parameters: Mapping[str, Any]) -> pandas.DataFrame:
    """In place on IF, IH, IC: negative to NaN, positive times parameters.get("positive_multiplier", 2)."""
