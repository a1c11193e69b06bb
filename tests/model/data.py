"""Small, valid backtest inputs for tests: deterministic from a seed, with hypothesis
strategies on top.

`make_case` returns a dict with every argument of a backtest (the eleven arrays and the
keyword options), so a case runs as `backtest_(**case)` or `run_backtest(**case)`.
"""

import numpy as np

DAY = 86_400 * 10**9  # dates are int64 nanoseconds
START = 1_500_000_000 * 10**9


def price_paths(rng, n_bars, n_cols, *, nan_rate=0.0, trade_at="close", jumpy=False,
                odd_ranges=False):
    """Trading price, close, high, low and open matrices (bars x columns).

    Closes follow a random walk rounded to cents; opens gap from the previous close; high and
    low enclose open and close (except now and then with `odd_ranges`). NaN cells mark
    missing bars, a stock listed late, or a missing trading price or close alone."""
    vol = 0.05 if jumpy else 0.025
    steps = rng.normal(0.0, vol, size=(n_bars, n_cols))
    if jumpy:
        jumps = rng.random((n_bars, n_cols)) < 0.08
        steps[jumps] += rng.choice([-0.15, 0.15], size=int(jumps.sum()))
    start = rng.uniform(20, 200, size=n_cols)
    close = np.round(start * np.exp(np.cumsum(steps, axis=0)), 2)
    prev_close = np.vstack([start, close[:-1]])
    open_ = np.round(prev_close * np.exp(rng.normal(0.0, vol / 2, size=close.shape)), 2)
    top = np.maximum(open_, close)
    bottom = np.minimum(open_, close)
    high = np.round(top * np.exp(np.abs(rng.normal(0.0, vol / 2, size=close.shape))), 2)
    low = np.round(bottom * np.exp(-np.abs(rng.normal(0.0, vol / 2, size=close.shape))), 2)
    if odd_ranges:
        odd = rng.random(close.shape) < 0.05
        high[odd], low[odd] = low[odd], high[odd]
    for m in (close, open_, high, low):
        np.maximum(m, 0.01, out=m)
    if trade_at == "close":
        price = close.copy()
    elif trade_at == "open":
        price = open_.copy()
    else:
        price = np.round((open_ + close) / 2, 2)

    if nan_rate > 0:
        missing = rng.random(close.shape) < nan_rate
        for m in (price, close, high, low, open_):
            m[missing] = np.nan
        # A stock listed late: its first bars are all missing.
        if n_bars > 3 and rng.random() < 0.5:
            c = rng.integers(n_cols)
            k = rng.integers(1, n_bars // 2 + 1)
            for m in (price, close, high, low, open_):
                m[:k, c] = np.nan
        price[rng.random(close.shape) < nan_rate / 2] = np.nan
        close[rng.random(close.shape) < nan_rate / 2] = np.nan
    return price, close, high, low, open_


def weight_rows(rng, n_rows, n_cols, *, shorts=False, nan_weight=False, gross=1.0,
                zero_rate=0.4):
    """Target weights: some zero, the rest random with a gross sum near `gross` (scaled
    down by the engine when above 1); negative when `shorts`; an occasional NaN."""
    w = rng.uniform(0.05, 1.0, size=(n_rows, n_cols))
    w[rng.random(w.shape) < zero_rate] = 0.0
    empty_rows = ~w.any(axis=1)  # keep something to trade in every row
    w[empty_rows, rng.integers(n_cols)] = rng.uniform(0.05, 1.0)
    sums = w.sum(axis=1, keepdims=True)
    sums[sums == 0] = 1.0
    w = np.round(w / sums * gross, 4)
    if shorts:
        w[rng.random(w.shape) < 0.35] *= -1
    if nan_weight and rng.random() < 0.5:
        w[rng.integers(n_rows), rng.integers(n_cols)] = np.nan
    return w


def make_case(seed, *, n_bars=30, n_price=4, n_pos=None, n_rows=4, nan_rate=0.0,
              trade_at="close", jumpy=True, odd_ranges=False, shorts=False,
              nan_weight=False, gross=1.0, shared_column=False, unpriced_column=False,
              unpriced_weighted=False, late_positions=False, resample_mode="subset",
              delisting=False, **options):
    """One complete, valid set of backtest arguments.

    Position columns are a shuffled choice of the price columns; `shared_column` names one
    stock twice, `unpriced_column` adds a stock without prices (weighted only with
    `unpriced_weighted`, which the engine must refuse). `late_positions` dates the first
    position row after some bars. `resample_mode` is "subset" (ascending bar dates),
    "between" (dates between and beyond the bars), "unsorted" or "empty". The remaining
    keyword options are passed through as backtest options."""
    rng = np.random.default_rng(seed)
    n_pos = n_price if n_pos is None else n_pos
    price, close, high, low, open_ = price_paths(
        rng, n_bars, n_price, nan_rate=nan_rate, trade_at=trade_at, jumpy=jumpy,
        odd_ranges=odd_ranges)
    price_names = [f"S{k:02d}" for k in range(n_price)]
    price_columns = np.array(price_names, dtype=object)
    price_index = (START + DAY * np.cumsum(rng.integers(1, 4, size=n_bars))).astype(np.int64)

    names = [str(x) for x in rng.choice(price_names, size=min(n_pos, n_price), replace=False)]
    while len(names) < n_pos:
        names.append(str(rng.choice(price_names)))
    if shared_column and n_pos >= 2:
        names[-1] = names[0]
    if unpriced_column:
        names[-1] = "ZZ_UNPRICED"
    pos_columns = np.array(names, dtype=object)

    # Position rows dated on or between bars, after the first bar when `late_positions`.
    first = int(rng.integers(1, max(2, n_bars // 3))) if late_positions else 0
    bars = np.sort(rng.choice(np.arange(first, n_bars), size=min(n_rows, n_bars - first),
                              replace=False))
    pos_index = price_index[bars] + rng.integers(0, 2, size=len(bars)) * (DAY // 2)
    pos_index = np.unique(pos_index).astype(np.int64)
    pos_values = weight_rows(rng, len(pos_index), n_pos, shorts=shorts,
                             nan_weight=nan_weight, gross=gross)
    if unpriced_column and not unpriced_weighted:
        pos_values[:, -1] = 0.0
    elif unpriced_column:
        pos_values[:, -1] = 0.2

    if resample_mode == "empty":
        resample = np.array([], dtype=np.int64)
    elif resample_mode == "subset":
        k = int(rng.integers(1, n_bars + 1))
        resample = np.sort(rng.choice(price_index, size=k, replace=False))
    else:
        lo, hi = int(price_index[0]) - 3 * DAY, int(price_index[-1]) + 3 * DAY
        resample = np.sort(rng.integers(lo, hi, size=int(rng.integers(1, 8))))
        if resample_mode == "unsorted":
            rng.shuffle(resample)
    resample = resample.astype(np.int64)

    case = dict(price_values=price, close_values=close, high_values=high, low_values=low,
                open_values=open_, price_index=price_index, price_columns=price_columns,
                pos_values=pos_values, pos_index=pos_index, pos_columns=pos_columns,
                resample=resample)
    if delisting:
        bars_ = np.full(n_pos, -1, dtype=np.int64)
        hit = rng.random(n_pos) < 0.4
        bars_[hit] = rng.integers(0, n_bars, size=int(hit.sum()))
        case["delisting_bars"] = bars_
    case.update(options)
    return case


# -- hypothesis strategies --------------------------------------------------------------------

def case_strategy():
    """Hypothesis strategy of whole cases: shapes, data flags and backtest options are drawn
    by hypothesis (so they shrink); the numbers come from a drawn seed."""
    from hypothesis import strategies as st

    inf = float("inf")
    options = st.fixed_dictionaries({
        "fee_ratio": st.sampled_from([0.0, 0.001425, 0.01]),
        "tax_ratio": st.sampled_from([0.0, 0.003]),
        "stop_loss": st.sampled_from([1.0, 0.05, 0.1, -0.08]),
        "take_profit": st.sampled_from([inf, 0.1, 0.25]),
        "trail_stop": st.sampled_from([inf, 0.05, 0.1]),
        "trail_stop_activation": st.sampled_from([0.0, 0.05, 0.2]),
        "touched_exit": st.booleans(),
        "position_limit": st.sampled_from([1.0, 1.0, 0.5, 0.3, 0.0]),
        "retain_cost_when_rebalance": st.booleans(),
        "stop_trading_next_period": st.booleans(),
        "excursion_window": st.sampled_from([0, 1, 4, 10]),
        "excursion_window_step": st.sampled_from([1, 2, 3]),
        "periodically_rebalance": st.booleans(),
    })
    shape = st.fixed_dictionaries({
        "seed": st.integers(0, 2**32 - 1),
        "n_bars": st.integers(2, 60),
        "n_price": st.integers(1, 8),
        "n_pos": st.integers(1, 8),
        "n_rows": st.integers(1, 8),
        "nan_rate": st.sampled_from([0.0, 0.0, 0.05, 0.15]),
        "trade_at": st.sampled_from(["close", "open", "mid"]),
        "odd_ranges": st.booleans(),
        "shorts": st.booleans(),
        "nan_weight": st.booleans(),
        "gross": st.sampled_from([0.6, 1.0, 1.7]),
        "shared_column": st.booleans(),
        "unpriced_column": st.booleans(),
        "late_positions": st.booleans(),
        "resample_mode": st.sampled_from(
            ["subset", "subset", "subset", "between", "unsorted", "empty"]),
        "delisting": st.booleans(),
    })
    return st.tuples(shape, options).map(lambda so: make_case(**so[0], **so[1]))
