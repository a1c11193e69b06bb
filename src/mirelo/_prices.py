"""``read_prices``: price tables from CSV or Parquet to the frames ``backtest`` takes."""

from __future__ import annotations

import os
from collections.abc import Mapping
from pathlib import Path
from typing import Any, cast

import numpy as np
import pandas as pd
from pandas.api.types import is_bool_dtype, is_datetime64_any_dtype, is_numeric_dtype

from mirelo._labels import some

# Names of a long table's stock column (any letter case).
STOCK_KEYS = ("stock", "ticker", "symbol", "code")
TEXT_KEYS = ("date", *STOCK_KEYS)  # CSV columns read as text
FIELDS = ("open", "high", "low", "close", "volume")
PARQUET_SUFFIXES = (".parquet", ".pq")
CSV_SUFFIXES = (".csv", ".txt", ".csv.gz", ".csv.bz2", ".csv.zip", ".csv.xz")


def read_prices(path: str | os.PathLike[str]) -> dict[str, pd.DataFrame]:
    """Reads a price table into date x stock frames: ``{"close": ..., "open": ..., ...}``.

    The file is Parquet (``.parquet``, ``.pq``) or CSV (``.csv``, ``.txt``, optionally
    compressed), in one of two layouts:

    - long: one row per date and stock, columns ``date``, the stock (``stock``,
      ``ticker``, ``symbol`` or ``code``), ``close`` and any of ``open``, ``high``, ``low``,
      ``volume`` (names in any letter case; other columns are ignored). Each field present
      becomes a frame under its name; a (date, stock) pair missing from the table is NaN.
    - wide: one close table, a ``date`` column (or else the first column, or a Parquet
      date index) and one column per stock; returned as ``{"close": frame}``.

    A table is long when it has a stock column, unless that column holds numbers and no
    column is a price field (then it is a stock of a wide table). Spaces around the names
    of the header are ignored. Frames are sorted by date (a DatetimeIndex named "date")
    and stock; a table with a header and no rows gives frames without rows. A column named
    twice, missing columns, unparsable dates, repeated (date, stock) rows or dates, and
    non-numeric prices raise ValueError naming them; where the layout matters, the message
    says which layout was assumed and why.
    """
    path = Path(path)
    table = _read_table(path)
    lower = {str(c).lower(): c for c in table.columns}
    key, reason = _layout(table, lower, path)
    if key is not None:
        return _from_long(table, lower, key, reason, path)
    return {"close": _from_wide(table, lower, reason, path)}


def _read_table(path: Path) -> pd.DataFrame:
    name = path.name.lower()
    if name.endswith(PARQUET_SUFFIXES):
        table = pd.read_parquet(path)
        _check_names(list(table.columns), path)
    elif name.endswith(CSV_SUFFIXES):
        table = _read_csv(path)
    else:
        raise ValueError(f"{path}: unknown file type; read_prices reads "
                         f"{', '.join(PARQUET_SUFFIXES + CSV_SUFFIXES)}")
    table.columns = pd.Index([c.strip() if isinstance(c, str) else c for c in table.columns])
    return table


def _read_csv(path: Path) -> pd.DataFrame:
    try:
        # The header as written: pandas would rename a repeated name "A" to "A.1".
        header = pd.read_csv(path, header=None, nrows=1, dtype=str, skipinitialspace=True)
    except pd.errors.EmptyDataError as err:
        raise ValueError(f"{path}: the file is empty") from err
    _check_names(header.iloc[0].dropna().tolist(), path)
    names = pd.read_csv(path, nrows=0, skipinitialspace=True).columns
    # Stock codes stay text ("0050" is not the number 50), and so do the dates until they
    # are parsed below with their own error message.
    text = {c: str for c in names if str(c).strip().lower() in TEXT_KEYS}
    return pd.read_csv(path, dtype=text, skipinitialspace=True)


def _check_names(names: list[Any], path: Path) -> None:
    """No column named twice; the names read_prices looks for count in any letter case."""
    stripped = [n.strip() if isinstance(n, str) else n for n in names]
    special = (*TEXT_KEYS, *FIELDS)
    keys = pd.Index([n.lower() if isinstance(n, str) and n.lower() in special else n
                     for n in stripped])
    repeated = pd.Index(stripped)[keys.duplicated()].unique()
    if len(repeated):
        raise ValueError(f"{path}: the header names {some(repeated)} more than once; "
                         "each stock (and each field) must have one column")


def _layout(table: pd.DataFrame, lower: Mapping[str, Any],
            path: Path) -> tuple[Any | None, str]:
    """The stock column of a long table (None for a wide one), and why."""
    keys = [lower[k] for k in STOCK_KEYS if k in lower]
    fields = [lower[f] for f in FIELDS if f in lower]
    if len(keys) > 1:
        raise ValueError(f"{path}: more than one stock column: {some(keys)}; keep one")
    if keys and (fields or not _holds_numbers(table[keys[0]])):
        return keys[0], f"read as a long table (one row per date and stock) because of its " \
                        f"stock column {keys[0]!r}"
    if len(fields) > 1:
        raise ValueError(f"{path}: columns {some(fields)} are price fields of a long table, but "
                         f"no column names the stock ({', '.join(STOCK_KEYS)}); name it so, or "
                         "give a wide table one column per stock")
    if keys:
        return None, f"read as a wide table (one column per stock) because its column " \
                     f"{keys[0]!r} holds numbers and no column is a price field"
    return None, "read as a wide table (one column per stock) because no column names the " \
                 f"stock ({', '.join(STOCK_KEYS)})"


def _holds_numbers(column: pd.Series) -> bool:
    """Whether every value of `column` is a number (CSV columns may hold them as text)."""
    if is_numeric_dtype(column.dtype) and not is_bool_dtype(column.dtype):
        return True
    present = column.dropna()
    return bool(pd.to_numeric(present, errors="coerce").notna().all())


def _from_long(table: pd.DataFrame, lower: Mapping[str, Any], key: Any, reason: str,
               path: Path) -> dict[str, pd.DataFrame]:
    missing = [name for name in ("date", "close") if name not in lower]
    if missing:
        raise ValueError(f"{path}: a long price table needs the columns date, stock and close; "
                         f"missing {', '.join(missing)} (found {some(table.columns, 10)}); "
                         f"{reason}")
    fields = [f for f in FIELDS if f in lower]
    if table.empty:
        return {f: _empty_frame() for f in fields}
    dates = _parse_dates(table[lower["date"]], path)
    stocks = table[key]
    if stocks.isna().any():
        rows = np.flatnonzero(stocks.isna().to_numpy())
        raise ValueError(f"{path}: missing stock names at rows {some(_rows(rows))}")
    data = pd.DataFrame({f: _numbers(table[lower[f]], f, path) for f in fields})
    data.index = pd.MultiIndex.from_arrays([dates, stocks], names=["date", "stock"])
    repeated = data.index.duplicated()
    if repeated.any():
        pairs = [f"({d:%Y-%m-%d}, {s!r})" for d, s in data.index[repeated].unique()[:5]]
        raise ValueError(f"{path}: repeated (date, stock) rows: {', '.join(pairs)}"
                         + (f" and {repeated.sum() - 5} more" if repeated.sum() > 5 else ""))
    wide = data.unstack("stock").sort_index()
    return {f: cast(pd.DataFrame, wide[f]).sort_index(axis=1) for f in fields}


def _empty_frame() -> pd.DataFrame:
    return pd.DataFrame(index=pd.DatetimeIndex([], name="date"),
                        columns=pd.Index([], name="stock"), dtype=np.float64)


def _from_wide(table: pd.DataFrame, lower: Mapping[str, Any], reason: str,
               path: Path) -> pd.DataFrame:
    if "date" in lower:
        dates, prices = table[lower["date"]], table.drop(columns=[lower["date"]])
    elif isinstance(table.index, pd.DatetimeIndex):
        dates, prices = table.index.to_series(), table
    else:
        first = table.columns[0]
        dates, prices = table[first], table.drop(columns=[first])
    if prices.shape[1] == 0:
        raise ValueError(f"{path}: no stock columns besides the dates; {reason}")
    parsed = _parse_dates(dates, path)
    frame = pd.DataFrame({c: _numbers(prices[c], c, path, reason) for c in prices.columns})
    frame.index = pd.DatetimeIndex(parsed, name="date")
    frame.columns.name = "stock"
    if not frame.index.is_unique:
        raise ValueError(f"{path}: repeated dates {some(frame.index[frame.index.duplicated()])}")
    return frame.sort_index()


def _parse_dates(column: pd.Series, path: Path) -> pd.DatetimeIndex:
    if is_datetime64_any_dtype(column.dtype):
        parsed = pd.DatetimeIndex(column)
    else:
        parsed = pd.DatetimeIndex(pd.to_datetime(column, errors="coerce"))
    bad = np.flatnonzero(parsed.isna())
    if len(bad):
        shown = ", ".join(f"{column.iloc[i]!r} (row {r})" for i, r in zip(bad[:5], _rows(bad[:5])))
        more = f" and {len(bad) - 5} more" if len(bad) > 5 else ""
        raise ValueError(f"{path}: dates that cannot be read in column {column.name!r}: "
                         f"{shown}{more}")
    return parsed


def _numbers(column: pd.Series, name: object, path: Path, reason: str = "") -> pd.Series:
    if is_numeric_dtype(column.dtype) and not is_bool_dtype(column.dtype):
        return column.astype(np.float64).reset_index(drop=True)
    numbers = pd.to_numeric(column, errors="coerce")
    bad = np.flatnonzero(numbers.isna().to_numpy() & column.notna().to_numpy())
    if len(bad) or is_bool_dtype(column.dtype):
        shown = ", ".join(f"{column.iloc[i]!r} (row {r})" for i, r in zip(bad[:5], _rows(bad[:5])))
        raise ValueError(f"{path}: column {name!r} has values that are not numbers: "
                         f"{shown or column.dtype}" + (f"; {reason}" if reason else ""))
    return numbers.astype(np.float64).reset_index(drop=True)


def _rows(positions: np.ndarray) -> list[int]:
    """Table positions as 1-based data row numbers (the header is not counted)."""
    return [int(p) + 1 for p in positions]
