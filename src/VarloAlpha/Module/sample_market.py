"""Deterministic synthetic Chinese-futures market for tests, demos and benchmarks.

Prices are random walks, not real quotes; only the table layout, calendar,
contract codes and the relations between tables mimic a real data directory.
"""

from __future__ import annotations

import argparse
import zlib
from pathlib import Path

import numpy as np
import pandas as pd

HERE = Path(__file__).resolve().parent

PRICE_TABLES = (
    "dominant_settle",
    "dominant_prevsettle",
    "dominant_nextreturnonsettle",
    "dominant_prevclose",
    "dominant_vwap",
)
BASIS_FIELDS = ("near", "far")
MISSING_RATE = 0.001
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


def _codes(prefix: str, month_index: np.ndarray, first: int) -> np.ndarray:
    uniq, inverse = np.unique(month_index, return_inverse=True)
    labels = np.array([f"{prefix}{(u // 12) % 100:02d}{u % 12 + 1:02d}" for u in uniq], dtype=object)
    out = labels[inverse]
    out[:first] = None
    return out


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


def _simulate_symbol(rng, n, first, roll, base, vol):
    """One symbol's dominant-contract series; entries before `first` are NaN."""
    live = np.arange(n) >= first
    level = _ar1(np.where(live, rng.normal(0.0, vol, n), 0.0), PERSISTENCE)
    r = np.diff(level, prepend=0.0)
    spread = rng.normal(0.0, 0.004, n) * roll          # log gap between new and old contract
    old_leg = rng.normal(0.0, 0.1 * vol, n) * roll     # old contract's own move on a roll day
    close_noise = rng.normal(0.0, 0.3 * vol, n)
    fresh_close_noise = rng.normal(0.0, 0.3 * vol, n)
    vwap_noise = np.clip(rng.normal(0.0, 0.25 * vol, n), -vol, vol)

    settle = base * np.exp(np.cumsum(r + spread))
    close = settle * np.exp(close_noise)

    prevsettle = np.full(n, np.nan)
    prevsettle[1:] = settle[:-1]
    # On a roll the new contract's previous settle differs from the old one's by the spread.
    switch = roll.copy()
    switch[first] = True
    prevsettle[switch] = settle[switch] * np.exp(-r[switch])

    prevclose = np.full(n, np.nan)
    prevclose[1:] = close[:-1]
    prevclose[switch] = prevsettle[switch] * np.exp(fresh_close_noise[switch])

    nextret = np.full(n, np.nan)
    nextret[:-1] = settle[1:] / settle[:-1] - 1.0
    # The contract held today is the old one when tomorrow rolls.
    rolls_next = np.flatnonzero(roll[1:])
    nextret[rolls_next] = np.exp(r[rolls_next + 1] + old_leg[rolls_next + 1]) - 1.0

    vwap = settle * np.exp(vwap_noise)
    tables = {
        "dominant_settle": settle,
        "dominant_prevsettle": prevsettle,
        "dominant_nextreturnonsettle": nextret,
        "dominant_prevclose": prevclose,
        "dominant_vwap": vwap,
    }
    for key, values in tables.items():
        values[~live] = np.nan
        values[live & (rng.random(n) < MISSING_RATE)] = np.nan
    close[~live] = np.nan

    size = np.exp(rng.normal(11.5, 1.0))
    activity = np.exp(0.3 * np.tanh(np.cumsum(rng.normal(0.0, 0.05, n))))
    volume = np.round(size * activity * rng.lognormal(0.0, 0.35, n))
    open_interest = np.round(2.0 * size * activity * np.exp(rng.normal(0.0, 0.05, n)))
    near = 0.03 * np.tanh(np.cumsum(rng.normal(0.0, 0.05, n))) + rng.normal(0.0, 0.003, n)
    far = 1.6 * near + rng.normal(0.0, 0.004, n)
    for values in (volume, open_interest, near, far):
        values[~live] = np.nan
    tables.update(close=close, volume=volume, open_interest=open_interest,
                  basis_near=near, basis_far=far)
    return tables


def generate(path, seed: int = 0, start="2013-01-01", end="2024-12-31",
             naming: str = "upper", symbols=None) -> Path:
    """Write a sample data directory at `path` and return it."""
    if naming not in ("upper", "lower"):
        raise ValueError(f"naming must be 'upper' or 'lower', got {naming!r}")
    attrs = load_attributes()
    if symbols is not None:
        # Codes and symbol_name spellings differ only by case.
        wanted = [str(s).upper() for s in symbols]
        unknown = [s for s in wanted if s not in attrs.index]
        if unknown:
            raise ValueError(f"unknown symbols: {unknown}")
        attrs = attrs.loc[wanted]
    dates = trading_dates(start, end)
    n = len(dates)
    if n == 0:
        raise ValueError(f"no trading dates between {start} and {end}")

    names = list(attrs.index if naming == "upper" else attrs["symbol_name"])
    firsts = dates.searchsorted(pd.to_datetime(attrs["backtest_begin_date"]))

    codes = np.empty((n, len(attrs)), dtype=object)
    columns: dict[str, list[np.ndarray]] = {}
    for j, (symbol, row) in enumerate(attrs.iterrows()):
        first = int(firsts[j])
        month_index = _dominant_month_index(dates, symbol)
        prefix = symbol if naming == "upper" else row["symbol_name"]
        codes[:, j] = _codes(prefix, month_index, min(first, n))
        roll = np.zeros(n, bool)
        roll[1:] = month_index[1:] != month_index[:-1]
        roll[: first + 1] = False
        if first >= n:
            series = {k: np.full(n, np.nan) for k in _empty_keys()}
        else:
            series = _simulate_symbol(_symbol_rng(seed, symbol), n, first, roll,
                                      BASE_PRICE.get(symbol, 1000.0),
                                      DAILY_VOL.get(row["industry_wind"], 0.015))
        for key, values in series.items():
            columns.setdefault(key, []).append(values)

    out = Path(path)
    out.mkdir(parents=True, exist_ok=True)

    def frame(values):
        return pd.DataFrame(values, index=dates, columns=names)

    pd.DataFrame(codes, index=dates, columns=names, dtype=object).to_pickle(out / "dominant_contract.pkl", compression="gzip")
    for key in (*PRICE_TABLES, "close", "volume"):
        frame(np.column_stack(columns[key])).to_pickle(out / f"{key}.pkl", compression="gzip")
    frame(np.column_stack(columns["open_interest"])).to_csv(out / "open_interest.csv")

    stacked = np.stack([np.column_stack(columns[f"basis_{f}"]) for f in BASIS_FIELDS], axis=1)
    basis = pd.DataFrame(stacked.reshape(n * len(BASIS_FIELDS), len(names)),
                         index=dates.repeat(len(BASIS_FIELDS)), columns=names)
    basis.insert(0, "field", np.tile(np.array(BASIS_FIELDS, dtype=object), n))
    basis.to_pickle(out / "basis.pkl", compression="gzip")
    return out


def _empty_keys():
    return (*PRICE_TABLES, "close", "volume", "open_interest",
            *(f"basis_{f}" for f in BASIS_FIELDS))


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(prog="varlo-sample", description=__doc__)
    parser.add_argument("directory")
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--start", default="2013-01-01")
    parser.add_argument("--end", default="2024-12-31")
    parser.add_argument("--naming", choices=("upper", "lower"), default="upper")
    args = parser.parse_args(argv)
    print(generate(args.directory, seed=args.seed, start=args.start, end=args.end,
                   naming=args.naming))
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
