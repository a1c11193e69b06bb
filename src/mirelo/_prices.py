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

LONG_KEYS = ("date", "stock")
FIELDS = ("open", "high", "low", "close", "volume")
PARQUET_SUFFIXES = (".parquet", ".pq")
CSV_SUFFIXES = (".csv", ".txt", ".csv.gz", ".csv.bz2", ".csv.zip", ".csv.xz")


def read_prices(path: str | os.PathLike[str]) -> dict[str, pd.DataFrame]:
    """Reads a price table into date x stock frames: ``{"close": ..., "open": ..., ...}``.

    The file is Parquet (``.parquet``, ``.pq``) or CSV (``.csv``, ``.txt``, optionally
    compressed), in one of two layouts:

    - long: one row per date and stock, columns ``date``, ``stock``, ``close`` and any of
      ``open``, ``high``, ``low``, ``volume`` (names in any letter case; other columns are
      ignored). Each field present becomes a frame under its name; a (date, stock) pair
      missing from the table is NaN.
    - wide: one close table, a ``date`` column (or else the first column, or a Parquet
      date index) and one column per stock; returned as ``{"close": frame}``.

    Frames are sorted by date (a DatetimeIndex named "date") and stock. Missing columns,
    unparsable dates, repeated (date, stock) rows or dates, and non-numeric prices raise
    ValueError naming them.
    """
    path = Path(path)
    table = _read_table(path)
    lower = {str(c).lower(): c for c in table.columns}
    if "stock" in lower:
        return _from_long(table, lower, path)
    return {"close": _from_wide(table, lower, path)}


def _read_table(path: Path) -> pd.DataFrame:
    name = path.name.lower()
    if name.endswith(PARQUET_SUFFIXES):
        return pd.read_parquet(path)
    if name.endswith(CSV_SUFFIXES):
        header = pd.read_csv(path, nrows=0).columns
        # Stock codes stay text ("0050" is not the number 50), and so do the dates until
        # they are parsed below with their own error message.
        text = {c: str for c in header if str(c).lower() in LONG_KEYS}
        return pd.read_csv(path, dtype=text)
    raise ValueError(f"{path}: unknown file type; read_prices reads "
                     f"{', '.join(PARQUET_SUFFIXES + CSV_SUFFIXES)}")


def _from_long(table: pd.DataFrame, lower: Mapping[str, Any],
               path: Path) -> dict[str, pd.DataFrame]:
    missing = [key for key in ("date", "stock", "close") if key not in lower]
    if missing:
        raise ValueError(f"{path}: a long price table needs the columns date, stock and close; "
                         f"missing {', '.join(missing)} (found {some(table.columns, 10)})")
    fields = [f for f in FIELDS if f in lower]
    dates = _parse_dates(table[lower["date"]], path)
    stocks = table[lower["stock"]]
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


def _from_wide(table: pd.DataFrame, lower: Mapping[str, Any], path: Path) -> pd.DataFrame:
    if "date" in lower:
        dates, prices = table[lower["date"]], table.drop(columns=[lower["date"]])
    elif isinstance(table.index, pd.DatetimeIndex):
        dates, prices = table.index.to_series(), table
    else:
        first = table.columns[0]
        dates, prices = table[first], table.drop(columns=[first])
    if prices.shape[1] == 0:
        raise ValueError(f"{path}: no stock columns besides the dates")
    parsed = _parse_dates(dates, path)
    frame = pd.DataFrame({c: _numbers(prices[c], c, path) for c in prices.columns})
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


def _numbers(column: pd.Series, name: object, path: Path) -> pd.Series:
    if is_numeric_dtype(column.dtype) and not is_bool_dtype(column.dtype):
        return column.astype(np.float64).reset_index(drop=True)
    numbers = pd.to_numeric(column, errors="coerce")
    bad = np.flatnonzero(numbers.isna().to_numpy() & column.notna().to_numpy())
    if len(bad) or is_bool_dtype(column.dtype):
        shown = ", ".join(f"{column.iloc[i]!r} (row {r})" for i, r in zip(bad[:5], _rows(bad[:5])))
        raise ValueError(f"{path}: column {name!r} has values that are not numbers: "
                         f"{shown or column.dtype}")
    return numbers.astype(np.float64).reset_index(drop=True)


def _rows(positions: np.ndarray) -> list[int]:
    """Table positions as 1-based data row numbers (the header is not counted)."""
    return [int(p) + 1 for p in positions]
