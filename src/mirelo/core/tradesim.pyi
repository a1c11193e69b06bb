"""Backtest engine: simulates a portfolio of target weights over a calendar of
price bars and keeps the last run's trades and stock operations."""

import datetime as _datetime
from types import ModuleType
from typing import Any, TypeVar

import numpy as np
import numpy.typing as npt

_Weights = TypeVar("_Weights", bound=dict[Any, Any])

org_np: ModuleType
excursion: ModuleType
datetime: ModuleType
RESAMPLE: bool | None
RETAIN_COST_WHEN_REBALANCE: bool

def backtest_(
    price_values: npt.NDArray[np.float64] | None,
    close_values: npt.NDArray[np.float64] | None,
    high_values: npt.NDArray[np.float64] | None,
    low_values: npt.NDArray[np.float64] | None,
    open_values: npt.NDArray[np.float64] | None,
    price_index: npt.NDArray[np.int64] | None,
    price_columns: npt.NDArray[np.object_] | None,
    pos_values: npt.NDArray[np.float64] | None,
    pos_index: npt.NDArray[np.int64] | None,
    pos_columns: npt.NDArray[np.object_] | None,
    resample: npt.NDArray[np.int64] | None,
    fee_ratio: float = 0.001425,
    tax_ratio: float = 0.003,
    stop_loss: float = 1.0,
    take_profit: float = ...,
    trail_stop: float = ...,
    trail_stop_activation: float = 0.0,
    touched_exit: bool = False,
    position_limit: float = 1.0,
    retain_cost_when_rebalance: bool = False,
    stop_trading_next_period: object = True,
    excursion_window: int = 0,
    excursion_window_step: int = 1,
    periodically_rebalance: bool = True,
    delisting_bars: npt.NDArray[np.int64] | None = None,
) -> npt.NDArray[np.float64]:
    """Run a backtest and return its value path (one float64 per bar, start 1.0).

    `take_profit` and `trail_stop` default to positive infinity.
    """

def get_trade_stocks(
    pos_columns: npt.NDArray[np.object_] | None,
    price_index: npt.NDArray[np.int64] | None,
    touched_exit: object,
) -> tuple[list[list[Any]], dict[str, Any]]:
    """Return (trade rows, stock_operations) of the last run.

    A trade row: [stock, entry signal date, exit signal date, entry execution
    date, exit execution date, position, holding period in bars, entry bar,
    exit bar]; -1 marks a date or bar that does not exist.
    """

def get_stock_operations() -> dict[str, Any]:
    """Return a shallow copy of the last run's stock operations."""

def normalize_weight(weights: _Weights, position_limit: float) -> _Weights:
    """Scale `weights` in place to a gross exposure of at most 1, clip each to
    [-position_limit, position_limit] and return the same dict."""

def ioft(v: float) -> _datetime.datetime:
    """Nanoseconds since the epoch to a naive local datetime."""
