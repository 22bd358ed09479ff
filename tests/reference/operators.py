"""The operators' plain pandas formulations: the oracle of the differential tests and the benchmarks."""
import importlib.util
from pathlib import Path

import numpy as np
import pandas as pd

# The attribute table op_neutral reads; the benchmarks point it at a staged copy.
ATTRIBUTES = Path(importlib.util.find_spec("VarloAlpha.Module").submodule_search_locations[0]) / "futures_attributes.csv"


def ref_scale(op_alpha, parameters=None):
    alpha_abs_sum = op_alpha.abs().sum(axis=1)
    alpha_abs_sum[alpha_abs_sum == 0] = 1
    return op_alpha.div(alpha_abs_sum, axis=0)


def ref_sign(op_alpha, parameters=None):
    op_alpha[op_alpha > 0] = 1
    op_alpha[op_alpha < 0] = -1
    return op_alpha


def ref_center(op_alpha, parameters):
    center = parameters.get("center", 0)
    return op_alpha.sub(op_alpha.mean(axis=1) - center, axis=0)


def ref_rank(op_alpha, parameters=None):
    return ref_center(op_alpha.rank(axis=1, pct=True), {"center": 0})


def ref_smooth(op_alpha, parameters):
    smooth = parameters["smooth"]
    mode = parameters.get("mode", "simple")

    def smooth_by_average(alpha_window, weights):
        return np.average(alpha_window, weights=weights[-len(alpha_window):])

    if mode == "simple":
        return op_alpha.rolling(window=smooth, min_periods=smooth).mean()
    if mode == "linear":
        weights_linear = np.arange(smooth) + 1
        return op_alpha.rolling(window=smooth, min_periods=smooth).apply(
            smooth_by_average, kwargs={"weights": weights_linear})
    if mode == "exponential":
        decay = (smooth - 1) / smooth
        weights_exponential = [decay ** (smooth - i) for i in np.arange(smooth) + 1]
        return op_alpha.rolling(window=smooth, min_periods=smooth).apply(
            smooth_by_average, kwargs={"weights": weights_exponential})
    raise ValueError("invalid op_smooth mode")


def ref_longshort(op_alpha, parameters):
    longshort = parameters["longshort"]
    mode = parameters.get("mode", "same")

    def sides():
        ranked_alpha1 = op_alpha.rank(axis=1, ascending=True)
        ranked_alpha2 = op_alpha.rank(axis=1, ascending=False)
        return (ranked_alpha1 <= longshort, ranked_alpha2 <= longshort,
                (ranked_alpha1 > longshort) & (ranked_alpha2 > longshort))

    def centred_score():
        return ref_center(op_alpha.rank(axis=1, pct=True), {"center": 0.5})

    def same():
        if longshort >= 1:
            short, long_, middle = sides()
            op_alpha[short] = -1
            op_alpha[long_] = 1
            op_alpha[middle] = 0
        else:
            ranked_alpha = op_alpha.rank(axis=1, pct=True)
            ranked_alpha = ranked_alpha.sub(ranked_alpha.min(axis=1) / 2, axis=0)
            op_alpha[ranked_alpha <= longshort] = -1
            op_alpha[(ranked_alpha > longshort) & (ranked_alpha < 1 - longshort)] = 0
            op_alpha[ranked_alpha >= 1 - longshort] = 1

    if mode == "same":
        same()
    elif mode == "keep_rank":
        if longshort >= 1:
            _, _, middle = sides()
            op_alpha = ref_rank(op_alpha)
            op_alpha[middle] = 0
        else:
            ranked_alpha = centred_score()
            short = ranked_alpha <= longshort
            op_alpha[short] = ranked_alpha[short] - 0.5
            op_alpha[(ranked_alpha > longshort) & (ranked_alpha < 1 - longshort)] = 0
            long_ = ranked_alpha >= 1 - longshort
            op_alpha[long_] = ranked_alpha[long_] - 0.5
    elif mode == "keep_distance":
        if longshort >= 1:
            _, _, middle = sides()
        else:
            ranked_alpha = centred_score()
            middle = (ranked_alpha > longshort) & (ranked_alpha < 1 - longshort)
        op_alpha = ref_center(op_alpha, {"center": 0})
        op_alpha[middle] = 0
    elif mode == "keep_sign":
        sign_alpha = op_alpha.copy()
        same()
        op_alpha[(op_alpha == -1) & (sign_alpha > 0)] = 0
        op_alpha[(op_alpha == 1) & (sign_alpha < 0)] = 0
    elif mode == "abs_rank":
        sign_alpha = op_alpha.copy()
        sign_alpha[sign_alpha > 0] = 1
        sign_alpha[sign_alpha < 0] = -1
        abs_alpha = op_alpha.abs().rank(axis=1, pct=True)
        op_alpha = sign_alpha * abs_alpha
    else:
        raise ValueError("invalid op_longshort mode")
    return op_alpha


def ref_neutral(op_alpha, parameters):
    least_number = parameters.get("least_number", 2)
    futures_attributes = pd.read_csv(ATTRIBUTES, index_col=0)
    if not op_alpha.columns.str.upper().equals(op_alpha.columns):
        futures_attributes.index = futures_attributes["symbol_name"].values
    industry_wind = futures_attributes["industry_wind"]
    # pandas 3 has no groupby(axis=1): group the transposed frame's rows instead.
    alpha_groupby_industry = op_alpha.T.groupby(industry_wind)
    alpha_industry_mean = alpha_groupby_industry.mean().T
    alpha_industry_count = alpha_groupby_industry.count().T
    alpha_industry_mean.where(alpha_industry_count >= least_number, 0, inplace=True)

    def industry_neutral(alpha_industry):
        return alpha_industry.T.sub(alpha_industry_mean[alpha_industry.name], axis=0).T

    if alpha_groupby_industry.ngroups == 0:
        return op_alpha * np.nan
    result = alpha_groupby_industry.apply(industry_neutral)
    if isinstance(result.index, pd.MultiIndex):
        result = result.droplevel(0)
    # Columns without an industry come back as NaN, in the input's order.
    return result.T.reindex(columns=op_alpha.columns)


def ref_index_futures(op_alpha, parameters):
    positive_multiplier = parameters.get("positive_multiplier", 2)
    index_futures = ["IF", "IH", "IC"]
    op_alpha[op_alpha[index_futures] < 0] = np.nan
    op_alpha[op_alpha[index_futures] > 0] *= positive_multiplier
    return op_alpha


REF = {
    "op_scale": ref_scale, "op_longshort": ref_longshort, "op_sign": ref_sign, "op_smooth": ref_smooth,
    "op_rank": ref_rank, "op_center": ref_center, "op_neutral": ref_neutral,
    "op_index_futures": ref_index_futures,
}
