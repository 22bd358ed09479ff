"""Deterministic synthetic Chinese-futures market for tests, demos and benchmarks.

Prices are random walks, not real quotes. The market is made as daily bars of every listed contract, with
open interest migrating from contract to contract, and built into a data directory by varlo-ingest's
build_market, the same path a user's own bars take; only the calendar, contract codes, and the relations
between contracts and tables mimic a real market.
"""

from __future__ import annotations

import argparse
import zlib
from pathlib import Path

import numpy as np
import pandas as pd

HERE = Path(__file__).resolve().parent

BASIS_FIELDS = ("near", "far")
MISSING_RATE = 0.0003  # per bar, for settle, close and turnover each
LIVE_CONTRACTS = 6  # nearest listed contracts that trade at once
MONTHS_LISTED = 12  # a contract lists this many months before delivery
MIGRATION_DAYS = 8  # trading days over which open interest moves to the next contract
BAR_COLUMNS = ("date", "contract", "open", "high", "low", "close", "settle", "volume", "open_interest",
               "turnover")
# Log prices mean-revert with a half-life of about a year so levels stay plausible.
PERSISTENCE = 0.998

# Rough price levels so generated values look like the real market.
BASE_PRICE = {
    "CU": 60000, "AL": 18000, "ZN": 22000, "PB": 16000, "NI": 120000, "SN": 200000,
    "AO": 3000, "AU": 400, "AG": 5000, "RB": 3800, "HC": 3900, "SS": 14000,
    "FU": 3000, "BU": 3500, "RU": 13000, "BR": 12000, "SP": 5500, "SC": 500,
    "LU": 4000, "NR": 10000, "BC": 55000, "A": 4500, "B": 4000, "M": 3200,
    "Y": 7500, "P": 7000, "C": 2400, "CS": 2800, "JD": 4000, "LH": 16000,
    "RR": 3500, "L": 8000, "V": 6500, "PP": 8000, "EG": 4500, "EB": 8000,
    "PG": 4500, "J": 2200, "JM": 1500, "I": 700, "SR": 5800, "CF": 15000,
    "CY": 21000, "AP": 8000, "CJ": 11000, "PK": 9000, "RM": 2500, "OI": 8000,
    "TA": 5500, "MA": 2500, "FG": 1500, "UR": 2000, "SA": 2000, "PF": 7500,
    "SH": 2800, "PX": 8000, "ZC": 700, "SF": 7000, "SM": 7000, "SI": 13000,
    "LC": 100000, "PS": 45000, "IF": 3800, "IH": 2600, "IC": 5500, "IM": 6000,
    "TS": 101, "TF": 101, "T": 100, "TL": 105,
}
DAILY_VOL = {
    "ferrous": 0.018, "nonferrous": 0.013, "precious": 0.010, "energy": 0.019,
    "chemical": 0.016, "agricultural": 0.012, "softs": 0.013,
    "equity_index": 0.014, "bond": 0.0025,
}

# (active delivery months, months before delivery at which the dominant rolls)
DEFAULT_CYCLE = ((1, 5, 9), 1)
MONTHLY = (tuple(range(1, 13)), 1)
ROLL_CYCLE = {
    **{s: MONTHLY for s in ("CU", "AL", "ZN", "PB", "NI", "SN", "AO", "BC", "SC")},
    "RB": ((1, 5, 10), 1), "HC": ((1, 5, 10), 1), "AP": ((1, 5, 10), 1),
    "AU": ((6, 12), 1), "AG": ((6, 12), 1), "BU": ((6, 12), 1),
    # Stock-index futures expire on the third Friday, so they roll in the delivery month.
    **{s: (tuple(range(1, 13)), 0) for s in ("IF", "IH", "IC", "IM")},
    **{s: ((3, 6, 9, 12), 1) for s in ("TS", "TF", "T", "TL")},
}


def load_attributes(path: Path | str = HERE / "futures_attributes.csv") -> pd.DataFrame:
    return pd.read_csv(path, index_col=0)


def trading_dates(start, end, holidays_path: Path | str = HERE / "holidays.csv") -> pd.DatetimeIndex:
    holidays = pd.to_datetime(pd.read_csv(holidays_path, index_col=0).index)
    days = pd.date_range(pd.Timestamp(start).normalize(), pd.Timestamp(end).normalize())
    return days.difference(holidays).as_unit("ns").rename(None)


def _symbol_rng(seed: int, symbol: str) -> np.random.Generator:
    # Seeding per symbol keeps a symbol's path unchanged when the subset changes.
    return np.random.default_rng([seed, zlib.crc32(symbol.encode())])


def _dominant_month_index(dates: pd.DatetimeIndex, symbol: str) -> np.ndarray:
    """Months since year 0 of the dominant delivery month on each date."""
    months, lead = ROLL_CYCLE.get(symbol, DEFAULT_CYCLE)
    # From the 15th on, the contract delivering `lead` months ahead is too close.
    earliest = (dates.year.to_numpy() * 12 + dates.month.to_numpy() - 1
                + lead + (dates.day.to_numpy() >= 15))
    active = np.zeros(12, bool)
    active[np.asarray(months) - 1] = True
    # Distance from each calendar month to the next active month, wrapping the year.
    ahead = np.array([next(k for k in range(12) if active[(m + k) % 12]) for m in range(12)])
    return earliest + ahead[earliest % 12]


def _ar1(shocks: np.ndarray, phi: float, block: int = 512) -> np.ndarray:
    """x[t] = phi * x[t-1] + shocks[t], x[-1] = 0, without a per-element loop."""
    out = np.empty_like(shocks)
    powers = phi ** np.arange(block)
    carry = 0.0
    # Blocks keep phi**-t far from overflow on long histories.
    for lo in range(0, len(shocks), block):
        e = shocks[lo:lo + block]
        p = powers[: len(e)]
        x = p * (np.cumsum(e / p) + phi * carry)
        out[lo:lo + block] = x
        carry = x[-1]
    return out


def _ramp(days: np.ndarray) -> np.ndarray:
    return np.clip(1.0 - days / MIGRATION_DAYS, 0.0, 1.0)


def _symbol_bars(rng, dates, symbol, prefix, czce, base, vol, multiplier):
    """Daily bars of one symbol's listed contracts over `dates` (its listed dates)."""
    m = len(dates)
    months, lead = ROLL_CYCLE.get(symbol, DEFAULT_CYCLE)
    month_now = dates.year.to_numpy() * 12 + dates.month.to_numpy() - 1
    day = dates.day.to_numpy()
    lo, hi = month_now[0] - 1, month_now[-1] + MONTHS_LISTED + 2
    cycle = np.arange(lo, hi)
    cycle = cycle[np.isin(cycle % 12 + 1, months)]
    # A contract trades until the cut-off day of its delivery month.
    cutoff = 20 if lead == 0 else 15
    nearest = np.searchsorted(cycle, month_now + (day >= cutoff))
    ordinal = nearest[:, None] + np.arange(LIVE_CONTRACTS)
    listed = ordinal < len(cycle)
    ordinal = np.minimum(ordinal, len(cycle) - 1)
    ahead = cycle[ordinal] - month_now[:, None]
    listed &= ahead <= MONTHS_LISTED

    # Open interest peaks on the contract the usual roll calendar makes dominant and migrates to the next
    # one over the days around each roll, so the largest holding changes hands as in a real market.
    dominant = np.searchsorted(cycle, _dominant_month_index(dates, symbol)).astype(float)
    far = 10 * MIGRATION_DAYS + m
    rolls = np.concatenate(([-far], np.flatnonzero(np.diff(dominant) != 0) + 1, [far]))
    t = np.arange(m)
    after = np.searchsorted(rolls, t, side="right")
    since, until = t - rolls[after - 1], rolls[after] - t
    centre = dominant - 0.5 * _ramp(since) + 0.5 * _ramp(until)
    share = np.exp(-2.0 * (ordinal - centre[:, None]) ** 2)

    level = _ar1(rng.normal(0.0, vol, m), PERSISTENCE)
    carry = np.clip(rng.normal(0.0, 0.04), -0.08, 0.08)
    offset = rng.normal(0.0, 0.004, len(cycle))
    shape = (m, LIVE_CONTRACTS)
    log_settle = (np.log(base) + level[:, None] + carry * ahead / 12.0 + offset[ordinal]
                  + rng.normal(0.0, 0.001, shape))
    settle = np.exp(log_settle)
    close = settle * np.exp(rng.normal(0.0, 0.3 * vol, shape))
    open_ = settle * np.exp(rng.normal(0.0, 0.5 * vol, shape))
    high = np.maximum(np.maximum(open_, close), settle) * np.exp(np.abs(rng.normal(0.0, 0.3 * vol, shape)))
    low = np.minimum(np.minimum(open_, close), settle) * np.exp(-np.abs(rng.normal(0.0, 0.3 * vol, shape)))
    vwap = settle * np.exp(np.clip(rng.normal(0.0, 0.25 * vol, shape), -vol, vol))

    size = np.exp(rng.normal(11.5, 1.0))
    activity = np.exp(0.3 * np.tanh(np.cumsum(rng.normal(0.0, 0.05, m))))[:, None]
    open_interest = np.round(2.0 * size * activity * share * np.exp(rng.normal(0.0, 0.05, shape)))
    volume = np.round(size * activity * share * rng.lognormal(0.0, 0.35, shape))
    turnover = vwap * volume * multiplier
    for values in (settle, close, turnover):
        values[rng.random(shape) < MISSING_RATE] = np.nan

    codes = cycle % 12 + 1
    years = cycle // 12
    # Zhengzhou writes one year digit (SR405), the others two (rb2405).
    labels = np.array([f"{prefix}{y % 10}{c:02d}" if czce else f"{prefix}{y % 100:02d}{c:02d}"
                       for y, c in zip(years.tolist(), codes.tolist())], dtype=object)
    keep = listed.ravel()
    columns = {
        "date": np.repeat(dates.to_numpy(), LIVE_CONTRACTS)[keep],
        "contract": labels[ordinal.ravel()[keep]],
    }
    for name, values in (("open", open_), ("high", high), ("low", low), ("close", close),
                         ("settle", settle), ("volume", volume), ("open_interest", open_interest),
                         ("turnover", turnover)):
        columns[name] = values.ravel()[keep]
    return columns


def sample_bars(seed: int = 0, start="2013-01-01", end="2024-12-31", symbols=None) -> pd.DataFrame:
    """Daily bars per listed contract, one row per (date, contract), as a vendor's daily table holds them."""
    attrs = _select(load_attributes(), symbols)
    dates = trading_dates(start, end)
    if len(dates) == 0:
        raise ValueError(f"no trading dates between {start} and {end}")
    firsts = dates.searchsorted(pd.to_datetime(attrs["backtest_begin_date"]))
    parts = []
    for j, (symbol, row) in enumerate(attrs.iterrows()):
        first = int(firsts[j])
        if first >= len(dates):
            continue
        parts.append(_symbol_bars(_symbol_rng(seed, symbol), dates[first:], symbol, row["symbol_name"],
                                  row["exchange"] == "CZCE", BASE_PRICE.get(symbol, 1000.0),
                                  DAILY_VOL.get(row["industry_wind"], 0.015), float(row["contract_multiplier"])))
    columns = {k: np.concatenate([p[k] for p in parts]) if parts else np.array([]) for k in BAR_COLUMNS}
    bars = pd.DataFrame(columns)
    bars["contract"] = bars["contract"].astype(str)
    bars = bars.astype({"volume": np.int64, "open_interest": np.int64})
    return bars.sort_values("date", kind="stable", ignore_index=True)


def _select(attrs, symbols):
    if symbols is None:
        return attrs
    # Codes and symbol_name spellings differ only by case.
    wanted = [str(s).upper() for s in symbols]
    unknown = [s for s in wanted if s not in attrs.index]
    if unknown:
        raise ValueError(f"unknown symbols: {unknown}")
    return attrs.loc[wanted]


def _basis(seed, attrs, dates, names):
    """A long table of two basis fields per date, as vendors ship term-structure data."""
    n = len(dates)
    firsts = dates.searchsorted(pd.to_datetime(attrs["backtest_begin_date"]))
    fields = {f: np.full((n, len(attrs)), np.nan) for f in BASIS_FIELDS}
    for j, symbol in enumerate(attrs.index):
        # A stream of its own, so the bars' draws stay as they are.
        rng = np.random.default_rng([seed, zlib.crc32(symbol.encode()), 1])
        near = 0.03 * np.tanh(np.cumsum(rng.normal(0.0, 0.05, n))) + rng.normal(0.0, 0.003, n)
        far = 1.6 * near + rng.normal(0.0, 0.004, n)
        live = np.arange(n) >= firsts[j]
        fields["near"][live, j] = near[live]
        fields["far"][live, j] = far[live]
    stacked = np.stack([fields[f] for f in BASIS_FIELDS], axis=1)
    basis = pd.DataFrame(stacked.reshape(n * len(BASIS_FIELDS), len(names)),
                         index=dates.repeat(len(BASIS_FIELDS)), columns=names)
    basis.insert(0, "field", np.tile(np.array(BASIS_FIELDS, dtype=object), n))
    return basis


def generate(path, seed: int = 0, start="2013-01-01", end="2024-12-31",
             naming: str = "upper", symbols=None) -> Path:
    """Write a sample data directory at `path` and return it.

    The market is made as per-contract daily bars and built by `VarloAlpha.ingest.build_market`, the
    path a user's own bars take. An existing sample directory at `path` is replaced; any other non-empty
    directory is refused.
    """
    return _generate(path, seed, start, end, naming, symbols)


def _generate(path, seed, start, end, naming, symbols, bars_path=None, print_report=False):
    from VarloAlpha.ingest import REPORT_NAME, build_market

    if naming not in ("upper", "lower"):
        raise ValueError(f"naming must be 'upper' or 'lower', got {naming!r}")
    attrs = _select(load_attributes(), symbols)
    bars = sample_bars(seed, start, end, list(attrs.index))
    if bars.empty:
        raise ValueError(f"no listed contract between {start} and {end}")
    if bars_path is not None:
        _write_bars(bars, Path(bars_path))
    dates = pd.DatetimeIndex(bars["date"].unique()).sort_values().as_unit("ns").rename(None)
    names = list(attrs.index if naming == "upper" else attrs["symbol_name"])
    out = Path(path)
    return build_market(bars, out, naming=naming, symbols=list(attrs.index), csv_tables=("open_interest",),
                        extra_tables={"basis.pkl": _basis(seed, attrs, dates, names)}, print_report=print_report,
                        force=(out / REPORT_NAME).exists())


def _write_bars(bars, path):
    path.parent.mkdir(parents=True, exist_ok=True)
    name = path.name.lower()
    if name.endswith((".parquet", ".pq")):
        bars.to_parquet(path, index=False)
    elif name.endswith((".csv", ".csv.gz")):
        bars.to_csv(path, index=False, date_format="%Y-%m-%d")
    else:
        raise ValueError(f"bars file must end in .csv, .csv.gz, .parquet or .pq: {path}")


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(prog="varlo-sample", description=__doc__)
    parser.add_argument("directory")
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--start", default="2013-01-01")
    parser.add_argument("--end", default="2024-12-31")
    parser.add_argument("--naming", choices=("upper", "lower"), default="upper")
    parser.add_argument("--bars", metavar="FILE",
                        help="also write the generated bars to FILE (.csv, .csv.gz, .parquet or .pq), the "
                             "input varlo-ingest takes")
    args = parser.parse_args(argv)
    print(_generate(args.directory, args.seed, args.start, args.end, args.naming, None, bars_path=args.bars,
                    print_report=True))
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
