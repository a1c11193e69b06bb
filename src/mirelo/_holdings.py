"""What a run held, bar by bar: pandas views on the engine's holdings record.

The engine (``Market.run(..., record_holdings=True)``) records, for every bar after its
trades, the money value of each holding at the close (compressed rows: bar i's entries are
``offsets[i]`` to ``offsets[i + 1]``), the cash, and each stock's net change of position at
its fills; every run also has the money each bar traded, the costs it paid and the number
of holdings it ended with. Money is on the scale of the value path (1.0 = the starting
balance). The views here turn those rows into dense frames with NumPy alone (no Python loop
over bars or holdings).
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt
import pandas as pd

EXPOSURE_COLUMNS = ("long", "short", "gross", "net", "cash", "holdings")


@dataclass(frozen=True)
class HoldingsRecord:
    """The holdings record of one run, with the labels of its bars and stocks.

    ``columns[sid]`` is the stock of a sid; ``path`` is the value path. Built directly
    (not with ``of``), it serves the views that need only the totals of every bar
    (``turnover``, ``costs``).
    """

    run_result: Any
    index: pd.DatetimeIndex
    columns: pd.Index

    @classmethod
    def of(cls, run_result: Any, index: pd.DatetimeIndex, columns: pd.Index) -> HoldingsRecord:
        """The record of `run_result`; ValueError when it was run without one."""
        if getattr(run_result, "holdings_offsets", None) is None:
            raise ValueError(
                "this result has no holdings record: run mirelo.backtest(..., holdings=True) "
                "(the default), or mirelo.sweep(..., holdings=True) for a sweep's runs")
        return cls(run_result, index, columns)

    @property
    def path(self) -> npt.NDArray[np.float64]:
        value: npt.NDArray[np.float64] = self.run_result.value
        return value

    def previous_value(self) -> npt.NDArray[np.float64]:
        """The value before each bar: the previous bar's, 1.0 (the starting balance) before
        the first."""
        return np.concatenate(([1.0], self.path[:-1]))

    def holdings_bars(self) -> npt.NDArray[np.intp]:
        """The bar of every holding entry."""
        return _bars_of(self.run_result.holdings_offsets)

    def fills_bars(self) -> npt.NDArray[np.intp]:
        """The bar of every fill entry."""
        return _bars_of(self.run_result.fills_offsets)

    def dense(self, bars: npt.NDArray[np.intp], sids: npt.NDArray[np.int32],
              values: npt.NDArray[np.float64]) -> pd.DataFrame:
        """A bars x stocks frame holding `values` at (bar, sid), 0 elsewhere."""
        grid = np.zeros((len(self.index), len(self.columns)))
        grid[bars, sids] = values
        return pd.DataFrame(grid, index=self.index, columns=self.columns, copy=False)

    def series(self, values: npt.NDArray[Any], name: str) -> pd.Series:
        return pd.Series(values, index=self.index, name=name, copy=False)


def _bars_of(offsets: npt.NDArray[np.int64]) -> npt.NDArray[np.intp]:
    return np.repeat(np.arange(len(offsets) - 1), np.diff(offsets))


def positions_value(record: HoldingsRecord) -> pd.DataFrame:
    """Dates x stocks: the money value of each holding at the close, after the bar's trades
    (0 where not held)."""
    r = record.run_result
    return record.dense(record.holdings_bars(), r.holdings_sid, r.holdings_value)


def positions(record: HoldingsRecord) -> pd.DataFrame:
    """Dates x stocks: each holding as a fraction of that bar's portfolio value."""
    r = record.run_result
    bars = record.holdings_bars()
    return record.dense(bars, r.holdings_sid, r.holdings_value / record.path[bars])


def exposure(record: HoldingsRecord) -> pd.DataFrame:
    """By date: ``long`` (sum of the long holdings), ``short`` (of the short ones, <= 0),
    ``gross`` (long - short), ``net`` (long + short) and ``cash``, as fractions of the bar's
    value (net + cash = 1 to rounding), and ``holdings``, the number of stocks held."""
    r = record.run_result
    bars = record.holdings_bars()
    values = r.holdings_value
    count = len(record.index)
    long = np.bincount(bars, weights=np.where(values > 0, values, 0.0), minlength=count)
    short = np.bincount(bars, weights=np.where(values < 0, values, 0.0), minlength=count)
    path = record.path
    frame = pd.DataFrame({
        "long": long / path,
        "short": short / path,
        "gross": (long - short) / path,
        "net": (long + short) / path,
        "cash": r.cash / path,
        "holdings": r.holdings_count,
    }, index=record.index, columns=list(EXPOSURE_COLUMNS))
    frame.columns.name = "exposure"
    return frame


def turnover(record: HoldingsRecord) -> pd.Series:
    """The money each bar traded (sum of |change of position| at the fills, fees excluded)
    over the value before the bar."""
    return record.series(record.run_result.traded / record.previous_value(), "turnover")


def costs(record: HoldingsRecord) -> pd.Series:
    """The fees and tax each bar paid over the value before the bar."""
    return record.series(record.run_result.costs / record.previous_value(), "costs")
