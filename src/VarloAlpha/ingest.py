"""Build a VarloAlpha data directory from per-contract daily bars.

Input: a long table of daily bars, one row per (date, contract), as a DataFrame, a CSV file (.csv, .csv.gz)
or a Parquet file (.parquet, .pq). Columns:

  date           trading date (any form pandas reads as a date; a time of day is dropped)
  contract       contract code: letters then digits, RB2405, rb2405, SR405; the letters upper-cased are
                 the symbol code; four digits are YYMM, three digits a year digit and the month (the year is
                 the first one at or after the bar's year minus one that ends in that digit)
  open high low close settle
                 prices, positive; a missing value stays missing in the tables
  volume         contracts traded, not negative
  open_interest  open contracts at the close, not negative
  turnover       optional: money traded; gives the vwap as turnover / (volume * contract multiplier)
  vwap           optional: volume-weighted price, used where present

Output: the data directory a backtest reads, dates by symbols, gzip pickles: dominant_contract,
dominant_settle, dominant_prevclose, dominant_prevsettle, dominant_nextreturnonsettle, dominant_vwap, and
the strategy tables open, high, low, close, settle, volume, open_interest, plus the text file
ingest_report.txt. The dominant contract of a symbol on a date is decided from the previous date's bars;
docs/data.md describes the rule and every table.
"""

from __future__ import annotations

import argparse
import os
import shutil
import sys
import tempfile
import warnings
from pathlib import Path

import numpy as np
import pandas as pd

HERE = Path(__file__).resolve().parent
MODULE_DIR = HERE / "Module"

REQUIRED = ("date", "contract", "open", "high", "low", "close", "settle", "volume", "open_interest")
OPTIONAL = ("turnover", "vwap")
PRICES = ("open", "high", "low", "close", "settle", "vwap")
AMOUNTS = ("volume", "open_interest", "turnover")
STRATEGY_TABLES = ("open", "high", "low", "close", "settle", "volume", "open_interest")
DOMINANT_TABLES = ("dominant_contract", "dominant_settle", "dominant_prevclose", "dominant_prevsettle",
                   "dominant_nextreturnonsettle", "dominant_vwap")
REPORT_NAME = "ingest_report.txt"
RANK_BY = ("open_interest", "volume")
# Fast compression: level 9 costs seconds on float tables and saves little; every gzip reader takes it.
GZIP = {"method": "gzip", "compresslevel": 1}
SHOWN = 10  # offending rows named in one error message
CONTRACT_KEY = 1_200_000  # symbol * CONTRACT_KEY + delivery month identifies a contract


class IngestWarning(UserWarning):
    """Bars that were used, but not as given (skipped symbols, dates off the trading calendar)."""


class IngestError(ValueError):
    """Bars that cannot be ingested; nothing has been written."""


class _Columns:
    """Bars column by column: date and contract factorized, the numbers as float64 arrays.

    Numbers that are not numbers have been refused already, naming their rows.
    """

    def __init__(self, n, date_codes, date_uniques, contract_codes, contract_uniques, numbers):
        self.n = n
        self.date_codes, self.date_uniques = date_codes, date_uniques
        self.contract_codes, self.contract_uniques = contract_codes, contract_uniques
        self.numbers = numbers

    def row(self, i):
        """(date, contract) of row i as the bars wrote them."""
        def raw(codes, uniques):
            value = uniques[codes[i]] if codes[i] >= 0 else "missing"
            if isinstance(value, (pd.Timestamp, np.datetime64)):
                value = pd.Timestamp(value)
                return value.date() if value == value.normalize() else value
            return value
        return raw(self.date_codes, self.date_uniques), raw(self.contract_codes, self.contract_uniques)

    def name_rows(self, positions) -> str:
        shown = ", ".join("row {} ({}, {})".format(p, *self.row(p)) for p in positions[:SHOWN])
        more = len(positions) - SHOWN
        return shown + (f" and {more} more" if more > 0 else "")


def _check_columns(names, columns):
    """Our name -> the bars' name, for every column we take."""
    mapping = dict(columns or {})
    ours = [mapping.get(c, c) for c in names]
    dup = sorted({c for c in ours if ours.count(c) > 1 and c in REQUIRED + OPTIONAL})
    if dup:
        raise IngestError(f"bars have the column(s) {', '.join(map(str, dup))} more than once")
    missing = [c for c in REQUIRED if c not in ours]
    if missing:
        raise IngestError(f"bars lack the required column(s) {', '.join(missing)}; columns are "
                          f"{', '.join(map(str, names))} (map names with columns= or --column)")
    return {o: t for o, t in zip(ours, names) if o in REQUIRED + OPTIONAL}


def _from_frame(frame, columns) -> _Columns:
    take = _check_columns(list(frame.columns), columns)
    d_codes, d_uniq = pd.factorize(frame[take["date"]])
    c_codes, c_uniq = pd.factorize(frame[take["contract"]])
    cols = _Columns(len(frame), d_codes, d_uniq, c_codes, c_uniq, {})
    for col in (*REQUIRED[2:], *OPTIONAL):
        if col not in take:
            continue
        series = frame[take[col]]
        if pd.api.types.is_numeric_dtype(series.dtype) and not pd.api.types.is_bool_dtype(series.dtype):
            # Read-only views where the frame holds float64 already: nothing here writes into them.
            cols.numbers[col] = series.to_numpy(dtype=np.float64, na_value=np.nan)
            continue
        values = pd.to_numeric(series, errors="coerce").to_numpy(dtype=np.float64, na_value=np.nan)
        bad = np.isnan(values) & series.notna().to_numpy()
        if bad.any():
            raise IngestError(f"column {col}: not a number in " + cols.name_rows(np.flatnonzero(bad)))
        cols.numbers[col] = values
    return cols


def _from_pieces(pieces, take) -> _Columns:
    """Factorize while streaming, so the whole table never sits in memory as text.

    pieces: (rows, fetch) pairs, fetch(name) giving that piece's column as an Arrow array.
    """
    import pyarrow as pa

    uniques = {"date": None, "contract": None}
    codes = {"date": [], "contract": []}
    numbers = {c: [] for c in take if c not in codes}
    n = 0
    for rows, fetch in pieces:
        n += rows
        for col in codes:
            column = fetch(take[col])
            for chunk in getattr(column, "chunks", [column]):
                # Arrow's own dictionary encoding: no Python object per row.
                encoded = chunk if pa.types.is_dictionary(chunk.type) else chunk.dictionary_encode()
                local_codes = encoded.indices.fill_null(-1).to_numpy(zero_copy_only=False)
                local_uniq = pd.Index(encoded.dictionary.to_pandas(date_as_object=False))
                known = uniques[col]
                if known is None:
                    known = local_uniq
                else:
                    fresh = local_uniq[known.get_indexer(local_uniq) < 0]
                    if len(fresh):
                        known = known.append(fresh)
                uniques[col] = known
                where = np.append(known.get_indexer(local_uniq), -1).astype(np.int32)
                codes[col].append(where[local_codes])  # -1 (a missing value) picks the appended -1
        for col, parts in numbers.items():
            column = fetch(take[col])
            if column.type != pa.float64():
                column = column.cast(pa.float64())
            # A chunk without missing values is taken as it lies, without a copy.
            parts.extend(c.to_numpy(zero_copy_only=False) for c in getattr(column, "chunks", [column]))
    empty = pd.Index([])

    def joined(parts, dtype):
        # One piece is used as it is; several are joined and let go column by column.
        if len(parts) == 1:
            return parts.pop()
        out = np.concatenate(parts) if parts else np.zeros(0, dtype)
        parts.clear()
        return out

    return _Columns(n, joined(codes["date"], np.int32), empty if uniques["date"] is None else uniques["date"],
                    joined(codes["contract"], np.int32),
                    empty if uniques["contract"] is None else uniques["contract"],
                    {c: joined(p, np.float64) for c, p in numbers.items()})


def _csv_header(path: Path):
    import csv
    import gzip

    opener = gzip.open if path.name.lower().endswith(".gz") else open
    with opener(path, "rt", newline="", encoding="utf-8") as f:
        return next(csv.reader(f), [])


def _read(source, columns) -> _Columns:
    if isinstance(source, pd.DataFrame):
        return _from_frame(source, columns)
    path = Path(source)
    name = path.name.lower()
    if not name.endswith((".csv", ".csv.gz", ".parquet", ".pq")):
        raise IngestError(f"bars file must end in .csv, .csv.gz, .parquet or .pq: {path}")
    if not path.is_file():
        raise FileNotFoundError(f"no bars file {path}")
    parquet = name.endswith((".parquet", ".pq"))
    try:
        import pyarrow as pa
        import pyarrow.csv as pa_csv
        import pyarrow.parquet as pq
    except ImportError:
        pa = None
    if pa is not None:
        # The fast road for well-formed files; any file it cannot take goes the careful road below,
        # which names the offending row.
        try:
            if parquet:
                take = _check_columns(pq.ParquetFile(path).schema_arrow.names, columns)
                # Text columns come as Parquet stores them, dictionary-encoded: no string per row.
                reader = pq.ParquetFile(path, read_dictionary=[take["date"], take["contract"]])
                # A column of a row group at a time keeps Arrow's share of memory to one column.
                groups = ((reader.metadata.row_group(g).num_rows,
                           lambda name, g=g: reader.read_row_group(g, columns=[name]).column(0))
                          for g in range(reader.num_row_groups))
                return _from_pieces(groups, take)
            take = _check_columns(_csv_header(path), columns)
            text = {take["date"]: pa.string(), take["contract"]: pa.string()}
            numbers = {t: pa.float64() for o, t in take.items() if o not in ("date", "contract")}
            reader = pa_csv.open_csv(
                path, read_options=pa_csv.ReadOptions(block_size=1 << 20),
                convert_options=pa_csv.ConvertOptions(column_types={**text, **numbers},
                                                      include_columns=list(take.values())))
            return _from_pieces(((batch.num_rows, batch.column) for batch in reader), take)
        except (pa.ArrowInvalid, pa.ArrowTypeError, pa.ArrowNotImplementedError):
            pass
    frame = pd.read_parquet(path) if parquet else pd.read_csv(path, dtype=str, keep_default_na=True)
    return _from_frame(frame, columns)


def load_attributes(attributes=None) -> pd.DataFrame:
    if isinstance(attributes, pd.DataFrame):
        return attributes
    return pd.read_csv(MODULE_DIR / "futures_attributes.csv" if attributes is None else attributes, index_col=0)


def _trading_calendar_misses(dates: pd.DatetimeIndex) -> pd.DatetimeIndex:
    holidays = pd.to_datetime(pd.read_csv(MODULE_DIR / "holidays.csv", index_col=0).index)
    return dates[(dates.day_of_week >= 5) | dates.isin(holidays)]


class _Bars:
    """Validated bars as arrays, in the input's row order."""

    def __init__(self, cols: _Columns, attrs, symbols, skip_unknown):
        n = cols.n
        self.n_read = n
        self.name_rows = cols.name_rows
        d_codes, d_uniq = cols.date_codes, pd.Index(cols.date_uniques)
        if pd.api.types.is_integer_dtype(d_uniq.dtype):
            d_uniq = d_uniq.astype(str)  # 20240102 is a date, not nanoseconds since 1970
        parsed = pd.to_datetime(pd.Index(d_uniq), errors="coerce", format="mixed") if len(d_uniq) else \
            pd.DatetimeIndex([])
        if parsed.tz is not None:
            parsed = parsed.tz_localize(None)
        parsed = parsed.normalize()
        bad = (d_codes < 0) | np.asarray(parsed.isna())[d_codes]
        if bad.any():
            raise IngestError("unparseable date in " + cols.name_rows(np.flatnonzero(bad)))

        c_codes, c_uniq = cols.contract_codes, cols.contract_uniques
        text = pd.Series(np.asarray(c_uniq, dtype=object)).map(lambda v: v.strip() if isinstance(v, str) else "")
        parts = text.str.extract(r"^([A-Za-z]+)(\d{3,4})$")
        digits = parts[1].fillna("0000")
        month = digits.str[-2:].astype(np.int64).to_numpy()
        ok = parts[0].notna().to_numpy() & (month >= 1) & (month <= 12)
        bad = (c_codes < 0) | ~ok[c_codes]
        if bad.any():
            raise IngestError("unparseable contract code in " + cols.name_rows(np.flatnonzero(bad)))

        self.numbers = cols.numbers
        for col, values in self.numbers.items():
            bad = np.isinf(values)
            if bad.any():
                raise IngestError(f"column {col}: not a finite number in " + cols.name_rows(np.flatnonzero(bad)))
            if col in PRICES:
                bad = values <= 0
                what = "a non-positive price"
            else:
                bad = values < 0
                what = "a negative value"
            if bad.any():
                raise IngestError(f"column {col}: {what} in " + cols.name_rows(np.flatnonzero(bad)))

        # Symbols: the attribute table's codes, case-insensitively.
        letters = parts[0].fillna("").str.upper()
        known = letters.isin(attrs.index).to_numpy()
        self.dropped = {}
        keep = np.ones(n, bool)
        unknown = sorted(set(letters[~known]))
        if unknown:
            counts = pd.Series(~known[c_codes]).groupby(letters.to_numpy()[c_codes]).sum()
            listing = ", ".join(f"{s} ({counts[s]} rows)" for s in unknown)
            if not skip_unknown:
                raise IngestError(f"symbols unknown to the attribute table: {listing} "
                                  "(skip them with skip_unknown=True or --skip-unknown)")
            warnings.warn(f"skipped the bars of symbols unknown to the attribute table: {listing}",
                          IngestWarning, stacklevel=3)
            drop = ~known[c_codes]
            self.dropped["unknown symbol"] = int(drop.sum())
            keep &= ~drop
        if symbols is None:
            present = set(letters[known])
            out_symbols = [s for s in attrs.index if s in present]
        else:
            out_symbols = list(dict.fromkeys(str(s).upper() for s in symbols))
            missing = [s for s in out_symbols if s not in attrs.index]
            if missing:
                raise IngestError(f"symbols unknown to the attribute table: {', '.join(missing)}")
            drop = keep & ~letters.isin(out_symbols).to_numpy()[c_codes]
            if drop.any():
                self.dropped["symbol not selected"] = int(drop.sum())
                keep &= ~drop
        self.symbols = out_symbols

        nums = self.numbers
        quiet = np.ones(n, bool)
        for col in PRICES:
            if col in nums:
                quiet &= np.isnan(nums[col])
        for col in ("volume", "open_interest"):
            quiet &= ~(nums[col] > 0)
        drop = keep & quiet
        if drop.any():
            self.dropped["empty bar (no price, no volume, no open interest)"] = int(drop.sum())
            keep &= ~drop

        sym_of_code = pd.Index(out_symbols).get_indexer(letters).astype(np.int32)
        self.keep = np.flatnonzero(keep).astype(np.int32)
        self.sym = sym_of_code[c_codes[self.keep]]

        # Dates become positions in the sorted distinct dates.
        stamps = parsed.as_unit("ns").asi8
        self.dates = pd.DatetimeIndex(np.unique(stamps[d_codes[self.keep]]).view("datetime64[ns]"))
        self.date = np.searchsorted(self.dates.asi8, stamps).astype(np.int32)[d_codes[self.keep]]

        # Delivery month as months since year 0; the year follows from the bar's own year.
        ndig = digits.str.len().to_numpy()
        yy = digits.str[:-2].astype(np.int32).to_numpy()
        modulus = np.where(ndig == 3, 10, 100).astype(np.int32)
        bar_year = parsed.year.to_numpy().astype(np.int32)[d_codes[self.keep]] - 1
        code = c_codes[self.keep]
        year = bar_year + (yy[code] - bar_year) % modulus[code]
        del bar_year
        self.delivery = year * 12 + (month.astype(np.int32)[code] - 1)



def _dominant(sym, date, delivery, rank_value):
    """Rows of the dominant contract per (symbol, date) group, with the group layout.

    Rows are sorted by symbol, date and delivery. Returns each group's first row, the dominant row of
    each group, and each row's row of the same contract on the symbol's previous and next date (-1 where
    there is none). Indices are int32 to halve the working memory.
    """
    n = len(sym)
    i32 = np.int32
    new_group = np.ones(n, bool)
    new_group[1:] = (sym[1:] != sym[:-1]) | (date[1:] != date[:-1])
    group = (np.cumsum(new_group, dtype=np.int64) - 1).astype(i32)
    starts = np.flatnonzero(new_group).astype(i32)
    del new_group
    n_groups = len(starts)
    g_sym = sym[starts]
    first_of_symbol = np.ones(n_groups, bool)
    first_of_symbol[1:] = g_sym[1:] != g_sym[:-1]
    last_of_symbol = np.ones(n_groups, bool)
    last_of_symbol[:-1] = first_of_symbol[1:]
    first_group = np.maximum.accumulate(np.where(first_of_symbol, np.arange(n_groups, dtype=i32), i32(0)))

    # A stable sort by contract keeps each contract's rows in date order.
    by_contract = np.argsort(sym.astype(np.int64) * CONTRACT_KEY + delivery, kind="stable").astype(i32)
    same = sym[by_contract[1:]] == sym[by_contract[:-1]]
    same &= delivery[by_contract[1:]] == delivery[by_contract[:-1]]
    prev_row = np.full(n, -1, i32)
    next_row = np.full(n, -1, i32)
    prev_row[by_contract[1:][same]] = by_contract[:-1][same]
    next_row[by_contract[:-1][same]] = by_contract[1:][same]
    del by_contract, same
    # Only a bar on the symbol's neighbouring date counts.
    prev_row[(prev_row >= 0) & (group[prev_row] != group - 1)] = -1
    next_row[(next_row >= 0) & (group[next_row] != group + 1)] = -1

    value = np.nan_to_num(rank_value, nan=0.0)
    prev_value = np.where(prev_row >= 0, value[prev_row], 0.0)
    on_first = first_of_symbol[group]
    prev_value[on_first] = value[on_first]
    del value, on_first

    # Best row of each suffix of a group (deliveries at or after a row's own), larger value first, ties
    # to the later delivery: a running maximum over the reversed rows, each group offset above the last.
    by_value = np.lexsort((np.arange(n, dtype=i32), prev_value)).astype(i32)
    del prev_value
    score = np.empty(n, i32)
    score[by_value] = np.arange(n, dtype=i32)
    run = (n_groups - 1 - group[::-1]).astype(np.int64)
    run *= n
    run += score[::-1]
    del score
    np.maximum.accumulate(run, out=run)
    run %= n
    suffix_best = np.empty(n, i32)
    suffix_best[::-1] = by_value[run]
    del run, by_value
    group_best = suffix_best[starts]

    # Tomorrow's dominant as a function of today's: among the deliveries not before it while it still has
    # a bar, else among all. Iterating that function from each symbol's first dominant, by doubling.
    step = group_best[np.minimum(group + 1, n_groups - 1)]
    has_next = next_row >= 0
    step[has_next] = suffix_best[next_row[has_next]]
    del has_next, suffix_best
    last = last_of_symbol[group]
    step[last] = np.flatnonzero(last).astype(i32)
    del last, group
    k = np.arange(n_groups, dtype=i32) - first_group
    dom = group_best[first_group]
    bit = 0
    while (k >> bit).any():
        move = ((k >> bit) & 1).astype(bool)
        dom[move] = step[dom[move]]
        step = step[step]
        bit += 1
    return starts, dom, prev_row, next_row


def _write_atomic(out: Path, force: bool, write):
    parent = out.parent
    parent.mkdir(parents=True, exist_ok=True)
    tmp = Path(tempfile.mkdtemp(dir=parent, prefix=f".{out.name}.new-"))
    try:
        write(tmp)
        os.chmod(tmp, 0o777 & ~_umask())
        if out.exists() or out.is_symlink():
            if not out.is_dir() or out.is_symlink():
                raise FileExistsError(f"{out} exists and is not a directory")
            if any(out.iterdir()):
                if not force:
                    raise FileExistsError(f"{out} exists; replace it with force=True (--force)")
                old = Path(tempfile.mkdtemp(dir=parent, prefix=f".{out.name}.old-"))
                os.replace(out, old)
                os.replace(tmp, out)
                shutil.rmtree(old, ignore_errors=True)
                return
        os.replace(tmp, out)
    except BaseException:
        shutil.rmtree(tmp, ignore_errors=True)
        raise


def _umask():
    mask = os.umask(0)
    os.umask(mask)
    return mask


def _check_target(out: Path, force: bool):
    if out.exists() or out.is_symlink():
        if not out.is_dir() or out.is_symlink():
            raise FileExistsError(f"{out} exists and is not a directory")
        if not force and any(out.iterdir()):
            raise FileExistsError(f"{out} exists; replace it with force=True (--force)")


def _table_name(name) -> str:
    text = str(name)
    if not text or text in (".", "..") or "/" in text or "\\" in text or "\0" in text or \
            text == REPORT_NAME:
        raise ValueError(f"invalid table name: {text!r}")
    return text


def build_market(bars, out_dir, *, columns=None, force=False, skip_unknown=False, rank_by="open_interest",
                 naming="upper", symbols=None, attributes=None, csv_tables=(), extra_tables=None,
                 print_report=True) -> Path:
    """Ingest daily bars per contract into the data directory `out_dir` and return its path.

    bars: DataFrame or path of a .csv, .csv.gz, .parquet or .pq file (see the module's doc for the columns).
    columns: mapping from the bars' column names to ours, {"oi": "open_interest"}.
    force: replace an existing, non-empty `out_dir`.
    skip_unknown: drop the bars of symbols the attribute table lacks, with an IngestWarning.
    rank_by: "open_interest" (default) or "volume": the previous date's quantity that picks the dominant.
    naming: "upper" labels symbols by their codes (RB), "lower" by the attribute table's symbol_name (rb).
    symbols: the tables' columns (symbol codes); default every known symbol with a bar; bars of other
        symbols are dropped.
    attributes: the contract attribute table (a DataFrame or CSV path), by default the package's own.
    csv_tables: strategy tables also written as CSV (for example "open_interest").
    extra_tables: more tables to place in the directory, {"basis.pkl": frame} (gzip pickle) or ".csv".
    print_report: print the ingest report; it is saved as ingest_report.txt either way.
    """
    if rank_by not in RANK_BY:
        raise ValueError(f"rank_by must be one of {RANK_BY}, got {rank_by!r}")
    if naming not in ("upper", "lower"):
        raise ValueError(f"naming must be 'upper' or 'lower', got {naming!r}")
    csv_tables = tuple(csv_tables)
    for name in csv_tables:
        if name not in STRATEGY_TABLES:
            raise ValueError(f"csv_tables: {name!r} is not one of {STRATEGY_TABLES}")
    extra = {_table_name(k): v for k, v in (extra_tables or {}).items()}
    for name in extra:
        if Path(name).suffix not in (".pkl", ".csv"):
            raise ValueError(f"extra table {name!r} must end in .pkl or .csv")
    out = Path(out_dir)
    _check_target(out, force)

    attrs = load_attributes(attributes)
    source = "DataFrame" if isinstance(bars, pd.DataFrame) else str(bars)
    b = _Bars(_read(bars, columns), attrs, symbols, skip_unknown)
    if not len(b.keep):
        raise IngestError("no bars left to ingest")

    order = np.lexsort((b.delivery, b.date, b.sym)).astype(np.int32)
    sym, date, delivery = b.sym[order], b.date[order], b.delivery[order]
    rows = b.keep[order]  # input row of each sorted row
    del order
    b.sym = b.date = b.delivery = None
    twin = np.flatnonzero((sym[1:] == sym[:-1]) & (date[1:] == date[:-1]) & (delivery[1:] == delivery[:-1]))
    if len(twin):
        positions = np.unique(np.concatenate([rows[twin], rows[twin + 1]]))
        raise IngestError("duplicate (date, contract) in " + b.name_rows(positions))

    off_calendar = _trading_calendar_misses(b.dates)
    if len(off_calendar):
        listed = ", ".join(str(d.date()) for d in off_calendar[:SHOWN])
        more = len(off_calendar) - SHOWN
        warnings.warn(f"{len(off_calendar)} date(s) outside the trading-day calendar, kept: {listed}"
                      + (f" and {more} more" if more > 0 else ""), IngestWarning, stacklevel=2)

    nums = b.numbers
    starts, dom, prev_row, next_row = _dominant(sym, date, delivery, nums[rank_by][rows])
    g_sym, g_date = sym[starts], date[starts]
    dates, n_sym = b.dates, len(b.symbols)
    attrs_sel = attrs.loc[b.symbols]
    names = list(b.symbols if naming == "upper" else attrs_sel["symbol_name"].astype(str))
    dom_in = rows[dom]

    def table(values, dtype=np.float64):
        grid = np.full((len(dates), n_sym), np.nan, dtype=dtype)
        grid[g_date, g_sym] = values
        return pd.DataFrame(grid, index=dates, columns=names, dtype=dtype)

    tables = {}
    dom_key = sym[dom].astype(np.int64) * CONTRACT_KEY + delivery[dom]
    keys, inverse = np.unique(dom_key, return_inverse=True)
    # Written as the symbol plus four digits, whatever the bars' code looked like.
    labels = np.array([f"{names[k // CONTRACT_KEY]}{k % CONTRACT_KEY // 12 % 100:02d}{k % 12 + 1:02d}"
                       for k in keys.tolist()], dtype=object)
    tables["dominant_contract"] = table(labels[inverse.reshape(-1)], dtype=object)

    def own(col, which):
        values = nums[col]
        idx = rows[np.maximum(which, 0)]
        return np.where(which >= 0, values[idx], np.nan)

    settle = nums["settle"][dom_in]
    tables["dominant_settle"] = table(settle)
    tables["dominant_prevclose"] = table(own("close", prev_row[dom]))
    tables["dominant_prevsettle"] = table(own("settle", prev_row[dom]))
    tables["dominant_nextreturnonsettle"] = table(own("settle", next_row[dom]) / settle - 1.0)

    vwap = nums["vwap"][dom_in] if "vwap" in nums else np.full(len(dom), np.nan)
    from_vwap = int(np.count_nonzero(~np.isnan(vwap)))
    if "turnover" in nums:
        volume = nums["volume"][dom_in]
        multiplier = pd.to_numeric(attrs_sel["contract_multiplier"]).to_numpy(np.float64)[g_sym]
        with np.errstate(divide="ignore", invalid="ignore"):
            fallback = np.where(volume > 0, nums["turnover"][dom_in] / (volume * multiplier), np.nan)
        use = np.isnan(vwap) & ~np.isnan(fallback)
        vwap = np.where(use, fallback, vwap)
        from_turnover = int(np.count_nonzero(use))
    else:
        from_turnover = 0
    tables["dominant_vwap"] = table(vwap)
    for col in STRATEGY_TABLES:
        tables[col] = table(nums[col][dom_in])

    rolled = np.zeros(len(starts), bool)
    rolled[1:] = (g_sym[1:] == g_sym[:-1]) & (dom_key[1:] != dom_key[:-1])
    rolls = np.bincount(g_sym[rolled], minlength=n_sym)
    bars_per_symbol = np.bincount(g_sym, minlength=n_sym)
    n_contracts = len(np.unique(sym.astype(np.int64) * CONTRACT_KEY + delivery))
    vwap_counts = (from_vwap, from_turnover, int(np.count_nonzero(np.isnan(vwap))))
    report = _report(source, b, dates, names, rolls, bars_per_symbol, tables, len(keys), n_contracts,
                     vwap_counts, rank_by, naming, off_calendar)

    def write(tmp: Path):
        for name, t in tables.items():
            t.to_pickle(tmp / f"{name}.pkl", compression=GZIP)
        for name in csv_tables:
            tables[name].to_csv(tmp / f"{name}.csv")
        for name, t in extra.items():
            if name.endswith(".csv"):
                t.to_csv(tmp / name)
            else:
                t.to_pickle(tmp / name, compression=GZIP)
        (tmp / REPORT_NAME).write_text(report, encoding="utf-8")

    _write_atomic(out, force, write)
    if print_report:
        sys.stdout.write(report)
    return out


def _report(source, b, dates, names, rolls, bars_per_symbol, tables, n_dominant, n_contracts, vwap_counts,
            rank_by, naming, off_calendar) -> str:
    kept = len(b.keep)
    lines = [
        "VarloAlpha ingest report",
        f"source:     {source}",
        f"rows:       {b.n_read} read, {kept} used, {b.n_read - kept} dropped",
    ]
    for why, count in b.dropped.items():
        lines.append(f"  dropped {count}: {why}")
    span = f" ({dates[0].date()} to {dates[-1].date()})" if len(dates) else ""
    lines += [
        f"dates:      {len(dates)}{span}",
        f"  outside the trading-day calendar: {len(off_calendar)}",
        f"symbols:    {len(names)} ({naming} naming)",
        f"contracts:  {n_contracts}, of which {n_dominant} were dominant",
        f"dominant:   largest {rank_by} on the symbol's previous date",
        "vwap:       {} from the vwap column, {} from turnover, {} missing".format(*vwap_counts),
        "",
        "symbol  bar dates  rolls",
    ]
    lines += [f"{name:<7} {count:>9}  {roll:>5}" for name, count, roll in zip(names, bars_per_symbol, rolls)]
    has_bar = tables["dominant_contract"].notna().to_numpy()
    lines += ["", "table                         missing where the symbol has a bar"]
    for name, t in tables.items():
        values = t.to_numpy()
        missing = pd.isna(values) & has_bar
        lines.append(f"{name:<29} {int(missing.sum()):>8}")
    return "\n".join(lines) + "\n"


def _column_pair(text):
    if "=" not in text:
        raise argparse.ArgumentTypeError(f"expected THEIRS=OURS, got {text!r}")
    theirs, ours = text.split("=", 1)
    if ours not in REQUIRED + OPTIONAL:
        raise argparse.ArgumentTypeError(f"{ours!r} is not one of {', '.join(REQUIRED + OPTIONAL)}")
    return theirs, ours


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(prog="varlo-ingest", description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("bars", metavar="BARS", help="bars file: .csv, .csv.gz, .parquet or .pq")
    parser.add_argument("out_dir", metavar="OUT_DIR", help="data directory to write (written whole or not at all)")
    parser.add_argument("--column", action="append", type=_column_pair, default=[], metavar="THEIRS=OURS",
                        help="map a column of the bars to one of ours, e.g. --column oi=open_interest "
                             "(repeatable)")
    parser.add_argument("--force", action="store_true", help="replace OUT_DIR when it exists and is not empty")
    parser.add_argument("--skip-unknown", action="store_true",
                        help="drop bars of symbols the attribute table lacks (with a warning) instead of failing")
    parser.add_argument("--rank-by", choices=RANK_BY, default="open_interest",
                        help="previous date's quantity that picks the dominant contract (default: open_interest)")
    parser.add_argument("--naming", choices=("upper", "lower"), default="upper",
                        help="column labels: symbol codes (RB) or the attribute table's symbol_name (rb); "
                             "default: upper")
    parser.add_argument("--symbols", help="comma-separated symbol codes to write (default: every symbol "
                                          "with a bar); bars of other symbols are dropped")
    parser.add_argument("--attributes", help="contract attribute CSV (default: the package's "
                                             "futures_attributes.csv)")
    parser.add_argument("--csv", action="append", default=[], choices=STRATEGY_TABLES, metavar="TABLE",
                        help="also write this strategy table as TABLE.csv (repeatable)")
    parser.add_argument("--quiet", action="store_true", help="do not print the report (it is saved anyway)")
    args = parser.parse_args(argv)
    try:
        build_market(args.bars, args.out_dir, columns=dict(args.column), force=args.force,
                     skip_unknown=args.skip_unknown, rank_by=args.rank_by, naming=args.naming,
                     symbols=args.symbols.split(",") if args.symbols else None, attributes=args.attributes,
                     csv_tables=args.csv, print_report=not args.quiet)
    except (IngestError, FileExistsError, FileNotFoundError) as exc:
        print(f"varlo-ingest: error: {exc}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
