"""Pure-Python reference model of the backtest engine and its trade excursion analytics,
used as a test oracle for the compiled modules."""

from .engine import (BacktestResult, Book, Exit, map_columns, normalize_weight,
                     rebalance_flags, run_backtest, trade_rows, validate_trade_price)
from .excursion import Analysis

__all__ = ["Analysis", "BacktestResult", "Book", "Exit", "map_columns", "normalize_weight",
           "rebalance_flags", "run_backtest", "trade_rows", "validate_trade_price"]
