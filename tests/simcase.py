"""Building blocks of the hand-computed backtest scenarios.

Bar i of every scenario is dated 10 * (i + 1), so bar 0 is dated 10, bar 1 is dated 20 and
so on; `day(i)` gives that date.  The helpers only shape arrays and collect what a run
leaves behind; every expected number lives in the test that uses it, worked out by hand.
"""

from dataclasses import dataclass

import numpy as np

from mirelo.core import excursion, tradesim

FREE = dict(fee_ratio=0.0, tax_ratio=0.0)
COSTS = dict(fee_ratio=0.001, tax_ratio=0.003)


def day(bar):
    return 10 * (bar + 1)


def _matrix(values):
    m = np.array(values, dtype=np.float64)
    return m.reshape(-1, 1) if m.ndim == 1 else m


def market(price, *, close=None, high=None, low=None, open=None, columns=None):
    """The price-side arguments of backtest_; any matrix not given is the trading price."""
    price = _matrix(price)
    columns = [chr(ord("A") + k) for k in range(price.shape[1])] if columns is None else columns
    pick = lambda m: price.copy() if m is None else _matrix(m)  # noqa: E731
    return dict(
        price_values=price, close_values=pick(close), high_values=pick(high),
        low_values=pick(low), open_values=pick(open),
        price_index=np.array([day(i) for i in range(len(price))], dtype=np.int64),
        price_columns=np.array(columns, dtype=object),
    )


def signals(weights, pos_dates, resample, pos_columns):
    w = np.array(weights, dtype=np.float64)
    return dict(
        pos_values=w.reshape(1, -1) if w.ndim == 1 else w,
        pos_index=np.array(pos_dates, dtype=np.int64),
        pos_columns=np.array(pos_columns, dtype=object),
        resample=np.array(resample, dtype=np.int64),
    )


@dataclass
class Run:
    value_path: np.ndarray
    trades: list      # [sid, entry bar, exit bar or -1]
    positions: list   # weight recorded at each trade's entry
    profiles: list    # excursion profile of each trade
    rows: list        # get_trade_stocks rows
    ops: dict         # get_stock_operations()


def run(mkt, weights, pos_dates, resample, pos_columns=None, **rules):
    """Runs backtest_ and gathers the value path, trades, profiles, ledger and operations."""
    pos_columns = list(mkt["price_columns"]) if pos_columns is None else pos_columns
    args = dict(mkt, **signals(weights, pos_dates, resample, pos_columns))
    value_path = tradesim.backtest_(**args, **rules)
    rows, _ = tradesim.get_trade_stocks(args["pos_columns"], args["price_index"],
                                        rules.get("touched_exit", False))
    return Run(
        value_path=value_path,
        trades=[[int(x) for x in t] for t in excursion.trades],
        positions=[float(p) for p in excursion.trade_positions],
        profiles=[np.asarray(p) for p in excursion.excursion],
        rows=[[r[0]] + [int(x) for x in r[1:5]] + [float(r[5])] + [int(x) for x in r[6:]]
              for r in rows],
        ops=tradesim.get_stock_operations(),
    )


def weights_of(ops, key):
    """A weights dictionary of the stock operations as {sid: float}."""
    return {int(k): float(v) for k, v in ops[key].items()}
