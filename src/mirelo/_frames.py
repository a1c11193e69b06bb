"""Checks of one date-indexed frame and conversions of its parts to engine arrays.

Every error names the argument (``close``, ``weights``, ...) and the first few offending
labels, so that a mistake in a frame of thousands of columns can be found at once.
"""

from __future__ import annotations

import numpy as np
import numpy.typing as npt
import pandas as pd
from pandas.api.types import is_bool_dtype, is_numeric_dtype

from mirelo._labels import some

_PANDAS_MAJOR = int(pd.__version__.split(".", 1)[0])


def copy_on_write() -> bool:
    """Whether pandas copies shared data before a write: always from pandas 3, on pandas 2
    when the caller turned ``pd.options.mode.copy_on_write`` on."""
    return _PANDAS_MAJOR >= 3 or pd.options.mode.copy_on_write is True


def held(frame: pd.DataFrame) -> pd.DataFrame:
    """The data of `frame` as it is now, out of reach of the caller's later writes.

    Under copy-on-write this is a shallow copy: it shares the caller's buffers (nothing is
    copied) and, while it lives, a write to the caller's frame makes pandas copy the
    caller's data first. Without copy-on-write no such guard exists, and the frame is
    copied. The engine's arrays must be taken from the returned frame, which must be kept
    alive as long as they are used.
    """
    return frame.copy(deep=not copy_on_write())


def check_frame(frame: object, name: str) -> pd.DatetimeIndex:
    """Checks that `frame` is a non-empty DataFrame with unique columns and an ascending,
    unique DatetimeIndex, and returns that index; raises TypeError or ValueError naming
    `name` otherwise."""
    if not isinstance(frame, pd.DataFrame):
        raise TypeError(f"{name} must be a pandas DataFrame with one row per date and one "
                        f"column per stock, not {type(frame).__name__}")
    if frame.shape[0] == 0 or frame.shape[1] == 0:
        raise ValueError(f"{name} is empty ({frame.shape[0]} rows x {frame.shape[1]} columns)")
    index = check_dates(frame.index, f"{name} index")
    if not frame.columns.is_unique:
        duplicated = frame.columns[frame.columns.duplicated()].unique()
        raise ValueError(f"{name} has duplicated columns: {some(duplicated)}")
    return index


def check_dates(index: pd.Index, what: str) -> pd.DatetimeIndex:
    """`index` as an ascending DatetimeIndex without NaT or repeated dates."""
    if not isinstance(index, pd.DatetimeIndex):
        raise TypeError(f"{what} must be a DatetimeIndex of dates, not {type(index).__name__} "
                        f"of dtype {index.dtype} (first labels: {some(index[:3])}); "
                        "convert it with pd.to_datetime")
    if index.hasnans:
        rows = np.flatnonzero(index.isna())
        raise ValueError(f"{what} has missing dates (NaT) at rows {some(rows.tolist())}")
    if not index.is_unique:
        raise ValueError(f"{what} has repeated dates: {some(index[index.duplicated()].unique())}")
    if not index.is_monotonic_increasing:
        earlier = index[1:][index[1:] < index[:-1]]
        raise ValueError(f"{what} is not in ascending order: {some(earlier)} follow later "
                         "dates; sort it with .sort_index()")
    return index


def float_values(frame: pd.DataFrame, name: str) -> npt.NDArray[np.float64]:
    """The frame's values as a 2-D float64 array (dates x columns).

    A frame whose columns are all float64 in one block is returned as a view of that block,
    without a copy (read-only under copy-on-write, which the engine accepts). Other numeric
    frames are converted; a non-numeric or boolean column raises TypeError naming it.
    """
    values = frame.to_numpy(copy=False)
    if values.dtype == np.float64:
        return values
    bad = [(label, dtype) for label, dtype in frame.dtypes.items()
           if is_bool_dtype(dtype) or not is_numeric_dtype(dtype)]
    if bad:
        kinds = sorted({str(dtype) for _, dtype in bad})
        labels = some(label for label, _ in bad)
        raise TypeError(f"{name} has non-numeric columns {labels} (dtype {', '.join(kinds)}); "
                        "prices and weights must be numbers")
    return frame.to_numpy(dtype=np.float64, na_value=np.nan)


def nanoseconds(index: pd.DatetimeIndex, what: str) -> npt.NDArray[np.int64]:
    """Dates as int64 nanoseconds since the epoch (UTC for a timezone-aware index)."""
    try:
        return index.as_unit("ns").asi8
    except (OverflowError, ValueError) as err:
        raise ValueError(f"{what} has dates outside the nanosecond range "
                         f"(1677-09-22 to 2262-04-11): {err}") from err


def check_same_timezone(index: pd.DatetimeIndex, what: str, close_index: pd.DatetimeIndex) -> None:
    """Dates of another argument compare with close's only when both carry a time zone or
    neither does."""
    if (index.tz is None) != (close_index.tz is None):
        have = "has no time zone" if index.tz is None else f"has time zone {index.tz}"
        want = "has none" if close_index.tz is None else f"has {close_index.tz}"
        raise ValueError(f"{what} {have} but close's index {want}; "
                         "use the same convention in both")
