"""The kernel's benchmark workloads (seeded, deterministic), shared by bench_kernel.py and the
instruction counts it takes under valgrind.

- W1: 5,000 daily bars (every calendar day) x 2,000 stocks, log-normal random walks (daily mean
  0.0003, sd 0.02) with open, high and low around the close, a persistent score per month
  (AR(1): 0.9 x the previous month's + 0.45 x noise), rebalanced at every month end into the 50
  best scores at equal weight, orders filled at the open, default rules: 164 rebalances and
  8,200 trades (each rebalance resizes every kept position, which ends its trade).
- W1-full: W1 with 1% of the prices missing, 5% of the stocks delisted (never picked from the
  month before their delisting on) and touched exits, stop-loss 0.1, take-profit 0.2, trailing
  stop 0.05 armed at 0.05, position limit 0.05, retained entry costs and an excursion window
  of 20 bars sampled every 5.
- S1: 8,000 daily bars (weekdays) x 20 stocks, the same walks and score, the 5 best at 0.2 each
  every month, default rules: 367 rebalances, 1,835 trades.
- W1-weekdays: W1 on weekdays (230 rebalances, 11,500 trades), a heavier variant.

The calendars follow from the trade counts that define the workloads (about 8,200 for W1,
about 1,900 for S1).
"""

from __future__ import annotations

import numpy as np

FULL_RULES = dict(
    touched_exit=True,
    stop_loss=0.1,
    take_profit=0.2,
    trail_stop=0.05,
    trail_stop_activation=0.05,
    position_limit=0.05,
    retain_cost_when_rebalance=True,
    excursion_window=20,
    excursion_window_step=5,
)

MARKET = ("price_values", "close_values", "high_values", "low_values", "open_values",
          "price_index", "price_columns")
SIGNAL = ("pos_values", "pos_index", "pos_columns", "resample")


def make_case(bars: int, stocks: int, held: int, *, missing: float = 0.0, delisted: float = 0.0,
              seed: int = 19, weekdays: bool = True) -> dict:
    """The arguments of backtest_ (delisting_bars None when nothing is delisted)."""
    rng = np.random.default_rng(seed)
    days = np.datetime64("2000-01-03") + np.arange(bars * 7 // 5 + 8)
    days = days[np.is_busday(days)][:bars] if weekdays else days[:bars]
    dates = days.astype("datetime64[ns]").astype(np.int64)

    log_ret = rng.normal(0.0003, 0.02, (bars, stocks))
    start = np.exp(rng.normal(np.log(40.0), 0.7, stocks))
    close = start * np.exp(np.cumsum(log_ret, axis=0))
    before = np.vstack([start, close[:-1]])
    open_ = before * np.exp(0.3 * log_ret + rng.normal(0.0, 0.004, (bars, stocks)))
    wick = np.abs(rng.normal(0.0, 0.006, (2, bars, stocks)))
    high = np.maximum(open_, close) * np.exp(wick[0])
    low = np.minimum(open_, close) * np.exp(-wick[1])
    del wick, before, log_ret

    gone = rng.random((bars, stocks)) < missing
    delisting = np.full(stocks, -1, dtype=np.int64)
    if delisted > 0:
        out = rng.choice(stocks, int(round(delisted * stocks)), replace=False)
        delisting[out] = rng.integers(bars // 5, bars - 1, len(out))
        gone |= (delisting >= 0) & (np.arange(bars)[:, None] > delisting)
        gone[delisting[out], out] = False  # a price on the delisting bar
    for m in (open_, high, low, close):
        m[gone] = np.nan
    price = open_.copy()  # its own buffer, as a separate trading-price matrix would be

    months = days.astype("datetime64[M]")
    month_ends = np.flatnonzero(months[:-1] != months[1:])
    weights = np.zeros((len(month_ends), stocks))
    score = rng.normal(0.0, 1.0, stocks)
    for row, bar in enumerate(month_ends):
        score = 0.9 * score + 0.45 * rng.normal(0.0, 1.0, stocks)
        pick = np.where((delisting >= 0) & (delisting <= bar + 25), -np.inf, score)
        weights[row, np.argsort(-pick, kind="stable")[:held]] = 1.0 / held

    names = np.array([f"S{i:05d}" for i in range(stocks)], dtype=object)
    return dict(
        price_values=price, close_values=close, high_values=high, low_values=low,
        open_values=open_, price_index=dates, price_columns=names,
        pos_values=weights, pos_index=dates[month_ends], pos_columns=names.copy(),
        resample=dates[month_ends],
        delisting_bars=delisting if delisted > 0 else None,
    )


def cases() -> dict:
    """name -> (case builder, rules)."""
    return {
        "W1": (lambda: make_case(5000, 2000, 50, weekdays=False), {}),
        "W1-full": (lambda: make_case(5000, 2000, 50, missing=0.01, delisted=0.05, weekdays=False), FULL_RULES),
        "S1": (lambda: make_case(8000, 20, 5), {}),
        "W1-weekdays": (lambda: make_case(5000, 2000, 50), {}),
    }
