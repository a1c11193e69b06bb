"""Where each bar's return came from: arithmetic contributions by stock or group, and costs.

A stock's contribution on bar t is its price move over the value before the bar:

    (held[t] - held[t-1] - fills[t]) / value[t-1]

with ``held`` its money value at the close (0 when not held) and ``fills`` the net change of
its position at the bar's fills (fees excluded). The ``costs`` column is minus the bar's fees
and tax over the same value. Every row adds up to the bar's return to rounding, since the
engine's cash moves by exactly the fills and the costs. These are arithmetic contributions:
summed over a period (``freq``) they add up to the sum of its bar returns, not to its
compounded return.
"""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any

import numpy as np
import numpy.typing as npt
import pandas as pd

from mirelo._holdings import HoldingsRecord
from mirelo._labels import some

COSTS = "costs"


def stock_contribution(record: HoldingsRecord) -> pd.DataFrame:
    """Dates x stocks, then ``costs``: each bar's return split by stock."""
    r = record.run_result
    before = record.previous_value()
    bars, sids, values = record.holdings_bars(), r.holdings_sid, r.holdings_value
    grid = np.zeros((len(record.index), len(record.columns)))
    grid[bars, sids] = values / before[bars]
    after = bars + 1  # a holding is the starting point of the next bar's move
    kept = after < len(record.index)
    grid[after[kept], sids[kept]] -= values[kept] / before[after[kept]]
    fill_bars = record.fills_bars()
    grid[fill_bars, r.fills_sid] -= r.fills_value / before[fill_bars]
    frame = pd.DataFrame(grid, index=record.index, columns=record.columns, copy=False)
    frame[COSTS] = -r.costs / before
    return frame


def contribution(by_stock: pd.DataFrame, by: Mapping[Any, Any] | pd.Series | None = None,
                 freq: str | None = None) -> pd.DataFrame:
    """`by_stock` (from ``stock_contribution``) with its stock columns summed by group (`by`:
    stock -> group) and its rows summed by period (`freq`)."""
    frame = by_stock if by is None else _by_group(by_stock, by)
    return frame if freq is None else _by_period(frame, freq)


def _by_group(by_stock: pd.DataFrame, by: Mapping[Any, Any] | pd.Series) -> pd.DataFrame:
    """Stock columns summed by group, in sorted group order, then ``costs``. A stock that
    is not in `by` may be left out only if it never moved the value."""
    if not isinstance(by, (Mapping, pd.Series)):
        raise TypeError(f"by must be a mapping or a Series of stock -> group, not "
                        f"{type(by).__name__}")
    groups = by if isinstance(by, pd.Series) else pd.Series(dict(by), dtype=object)
    if not groups.index.is_unique:
        raise ValueError(f"by lists stocks more than once: "
                         f"{some(groups.index[groups.index.duplicated()].unique())}")
    stocks = by_stock.columns[:-1]
    grid = by_stock.to_numpy()[:, :-1]
    group_of = groups.reindex(stocks)
    missing = group_of.isna().to_numpy()
    moved = missing & np.any(grid != 0, axis=0)
    if moved.any():
        raise ValueError(f"by has no group for stocks that moved the value: "
                         f"{some(stocks[moved])}")
    codes, labels = pd.factorize(group_of[~missing], sort=True)
    columns = np.flatnonzero(~missing)
    sums: dict[Any, npt.NDArray[np.float64]] = {
        label: grid[:, columns[codes == k]].sum(axis=1) for k, label in enumerate(labels)}
    sums[COSTS] = by_stock[COSTS].to_numpy()
    frame = pd.DataFrame(sums, index=by_stock.index)
    frame.columns.name = by.name if isinstance(by, pd.Series) else None
    return frame


def _by_period(frame: pd.DataFrame, freq: str) -> pd.DataFrame:
    """Rows summed by calendar period: "W", "M", "Q", "Y" (and their anchored forms) label
    the rows with periods; offsets such as "ME" or "2W" with the ends pandas' ``resample``
    gives them."""
    if not isinstance(freq, str):
        raise TypeError(f"freq must be a frequency alias such as 'M', 'Q' or 'Y', not "
                        f"{type(freq).__name__}")
    index = frame.index
    assert isinstance(index, pd.DatetimeIndex)
    local = index.tz_localize(None) if index.tz is not None else index
    try:
        periods = local.to_period(freq)
    except (ValueError, TypeError):
        periods = None
    if periods is not None and periods.freq is not None and periods.freq.n == 1:
        return frame.groupby(periods).sum()
    try:
        return frame.resample(freq).sum()
    except ValueError as err:
        raise ValueError(f"freq={freq!r} is not a pandas frequency alias (such as 'M', 'Q', "
                         f"'Y'): {err}") from err
