"""Small hand-made inputs for mirelo.core.tradesim.backtest_ and helpers to read its results.

Every case has its expected trades worked out by hand in the test that uses it, so these
helpers only build arrays; they compute nothing that a test compares against.
"""

import traceback

import numpy as np

from mirelo.core import excursion, tradesim


def make_case(prices, *, weights=None, pos_dates=(0,), resample=(), columns=None,
              pos_columns=None, dates=None):
    """The eleven array arguments of backtest_.

    `prices` (bars x price columns) is used for all five price matrices; bars are dated
    10, 20, 30, ... unless `dates` is given.  Price columns are named "A", "B", ... unless
    `columns` is given; position columns default to the price columns.  `weights` defaults
    to one row of 1.0 per position column.
    """
    price = np.array(prices, dtype=np.float64)
    if price.ndim == 1:
        price = price.reshape(-1, 1)
    columns = [chr(ord("A") + k) for k in range(price.shape[1])] if columns is None else columns
    pos_columns = columns if pos_columns is None else pos_columns
    dates = np.arange(1, len(price) + 1, dtype=np.int64) * 10 if dates is None else dates
    weights = np.ones((1, len(pos_columns))) if weights is None else np.array(weights, dtype=float)
    return dict(
        price_values=price, close_values=price.copy(), high_values=price.copy(),
        low_values=price.copy(), open_values=price.copy(),
        price_index=np.array(dates, dtype=np.int64),
        price_columns=np.array(columns, dtype=object),
        pos_values=weights.reshape(1, -1) if weights.ndim == 1 else weights,
        pos_index=np.array(pos_dates, dtype=np.int64),
        pos_columns=np.array(pos_columns, dtype=object),
        resample=np.array(resample, dtype=np.int64),
    )


FREE = dict(fee_ratio=0.0, tax_ratio=0.0)


def trades():
    """The last run's trade records as plain int triples."""
    return [[int(x) for x in t] for t in excursion.trades]


def entry_bars():
    return sorted({t[1] for t in trades()})


def rows(case, touched_exit=False):
    return tradesim.get_trade_stocks(case["pos_columns"], case["price_index"], touched_exit)[0]


def run_summary(case, **options):
    """Everything a run leaves behind, comparable with ==."""
    value_path = tradesim.backtest_(**case, **options)
    return dict(value_path=value_path.tolist(), trades=trades(),
                positions=[float(p) for p in excursion.trade_positions],
                profiles=[p.tolist() for p in excursion.excursion],
                rows=[[str(x) if isinstance(x, str) else float(x) for x in r] for r in rows(case)],
                ops=tradesim.get_stock_operations())


def traceback_names(exc):
    return [entry.name for entry in traceback.extract_tb(exc.__traceback__)]


def last_entry(exc):
    return traceback.extract_tb(exc.__traceback__)[-1]


class RaisingBool:
    """An object whose truth test raises; counts how often it was asked."""

    def __init__(self):
        self.asked = 0

    def __bool__(self):
        self.asked += 1
        raise ZeroDivisionError("truth test refused")
