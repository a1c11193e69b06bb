"""Date-indexed frames for the tests of the pandas layer (mirelo.backtest and its parts).

Bars are business days from 2024-01-01 (a Monday); `day(i)` is bar i's date. The helpers
only shape frames; expected numbers live in the tests.
"""

import numpy as np
import pandas as pd

FREE = dict(fee_ratio=0.0, tax_ratio=0.0)


def dates(count, start="2024-01-01"):
    return pd.bdate_range(start, periods=count)


def day(bar):
    return dates(bar + 1)[-1]


def frame(values, columns=None, index=None):
    values = np.array(values, dtype=np.float64)
    values = values.reshape(-1, 1) if values.ndim == 1 else values
    columns = [chr(ord("A") + k) for k in range(values.shape[1])] if columns is None else columns
    return pd.DataFrame(values, index=dates(len(values)) if index is None else index,
                        columns=columns)


def weights(rows, at_bars, columns=None):
    """Weights rows dated on the given bars."""
    return frame(rows, columns, index=pd.DatetimeIndex([day(b) for b in at_bars]))


def random_market(seed=0, bars=160, stocks=8):
    """close/open/high/low frames of a seeded random market, and monthly equal weights of
    the half of the stocks with the best last-month return."""
    rng = np.random.default_rng(seed)
    close = 20.0 * np.exp(np.cumsum(rng.normal(0.0, 0.02, (bars, stocks)), axis=0))
    open_ = close * np.exp(rng.normal(0.0, 0.01, (bars, stocks)))
    high = np.maximum(open_, close) * 1.01
    low = np.minimum(open_, close) * 0.99
    names = [f"S{k}" for k in range(stocks)]
    prices = {key: frame(m, names) for key, m in
              (("close", close), ("open", open_), ("high", high), ("low", low))}
    close_frame = prices["close"]
    month_ends = close_frame.groupby(close_frame.index.to_period("M")).tail(1).index
    momentum = close_frame.pct_change(20).loc[month_ends]
    top = momentum.rank(axis=1, ascending=False) <= stocks // 2
    return prices, top.astype(float) / (stocks // 2)
