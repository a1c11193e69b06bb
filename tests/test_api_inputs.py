"""prepare_inputs and check_rules: errors that name the argument and labels, alignment by
label, zero-copy conversion, NaN weights, rebalance dates and delisting dates."""


import numpy as np
import pandas as pd
import pytest

import mirelo
from framecase import FREE, day, frame, weights
from mirelo._inputs import RULE_DEFAULTS, prepare_inputs

PRICES = frame([[10, 20, 30], [11, 21, 31], [12, 22, 32], [13, 23, 33]])
W = weights([[0.5, 0.5, 0.0]], [0])


def with_(frame_, **changes):
    """A copy of `frame_` with its index, columns or one cell replaced."""
    out = frame_.copy()
    if "index" in changes:
        out.index = changes["index"]
    if "columns" in changes:
        out.columns = changes["columns"]
    if "cell" in changes:
        (row, col), value = changes["cell"]
        out = out.astype(object)
        out.iloc[row, col] = value
    return out


ERRORS = [
    (dict(close=PRICES["A"]), TypeError,
     "close must be a pandas DataFrame with one row per date and one column per stock, not Series"),
    (dict(close=PRICES.iloc[:0]), ValueError, "close is empty (0 rows x 3 columns)"),
    (dict(close=PRICES.reset_index(drop=True)), TypeError,
     "close index must be a DatetimeIndex of dates, not RangeIndex of dtype int64 (first labels: "
     "0, 1, 2); convert it with pd.to_datetime"),
    (dict(close=PRICES.iloc[[0, 2, 1, 3]]), ValueError,
     "close index is not in ascending order: 2024-01-02 follow later dates; "
     "sort it with .sort_index()"),
    (dict(close=with_(PRICES, index=[day(0), day(1), day(1), day(2)])), ValueError,
     "close index has repeated dates: 2024-01-02"),
    (dict(close=with_(PRICES, columns=["A", "B", "A"])), ValueError,
     "close has duplicated columns: 'A'"),
    (dict(close=with_(PRICES, columns=[1, "1", 2]), weights=weights([[1.0]], [0], [2])), ValueError,
     "stock labels 1, '1' have the same text; the engine matches stocks by name, so give every "
     "stock a distinct name"),
    (dict(close=with_(PRICES, cell=((1, 1), "21.5"))), TypeError,
     "close has non-numeric columns 'A', 'B', 'C' (dtype object); "
     "prices and weights must be numbers"),
    (dict(open=with_(PRICES, columns=["A", "B", "Z"])), ValueError,
     "open and close have different stocks: missing 'C'; not in close 'Z'"),
    (dict(high=PRICES.iloc[:3]), ValueError,
     "high and close have different dates: missing 2024-01-04"),
    (dict(low=with_(PRICES, index=PRICES.index.tz_localize("UTC"))), ValueError,
     "low index has time zone UTC but close's index has none; use the same convention in both"),
    (dict(weights=weights([[0.5, 0.5]], [0], columns=["A", "Z"])), ValueError,
     "weights has columns with no prices in close: 'Z'"),
    (dict(weights=weights([[0.5, np.inf, 0.0]], [0])), ValueError,
     "weights has infinite values at (2024-01-01, 'B')"),
    (dict(trade_at="vwap"), ValueError, "trade_at must be 'close' or 'open', not 'vwap'"),
    (dict(trade_at="open"), ValueError,
     "trade_at='open' fills orders at the open: pass the open= price frame"),
    (dict(rebalance="fortnightly"), ValueError, None),
    (dict(rebalance=[day(1), None]), ValueError,
     "rebalance has missing dates (NaT) at positions 1"),
    (dict(rebalance=[20, 40, 60]), TypeError,
     "rebalance must list dates, not numbers: 20, 40, 60; to rebalance on given bars, pass "
     "their dates, e.g. close.index[[20, 40]]"),
    (dict(rebalance=np.array([20, 40])), TypeError,
     "rebalance must list dates, not numbers: 20, 40; to rebalance on given bars, pass their "
     "dates, e.g. close.index[[20, 40]]"),
    (dict(rebalance=[day(1), 7.5, "2024-01-03"]), TypeError,
     "rebalance must list dates, not numbers: 7.5; to rebalance on given bars, pass their "
     "dates, e.g. close.index[[20, 40]]"),
    (dict(delisted={"Z": day(1)}), ValueError, "delisted names stocks that are not in close: 'Z'"),
    (dict(delisted={"A": "2023-12-29"}), ValueError,
     "delisted dates before close's first date for 'A'"),
    (dict(touched_exit=True, open=PRICES, high=PRICES), ValueError,
     "touched_exit=True compares each bar's open, high and low with the stop levels: "
     "pass open=, high= and low= price frames"),
    (dict(stop_los=0.1), TypeError,
     "unknown rule keyword 'stop_los'; did you mean 'stop_loss'? (the rules are "
     + ", ".join(RULE_DEFAULTS) + ")"),
]


@pytest.mark.parametrize("changes, error, message", ERRORS,
                         ids=[f"{i}-{next(iter(c))}" for i, (c, _, _) in enumerate(ERRORS)])
def test_mistakes_name_the_argument_and_labels(changes, error, message):
    args = dict(close=PRICES, weights=W) | changes
    with pytest.raises(error) as exc:
        mirelo.backtest(**args)
    if message is None:
        assert str(exc.value).startswith("rebalance='fortnightly' is not a pandas frequency alias")
    else:
        assert str(exc.value) == message


def test_float64_frames_pass_without_a_copy_and_others_align_by_label():
    shuffled = PRICES[["C", "A", "B"]].iloc[::-1].sort_index() * 2.0
    inputs = prepare_inputs(PRICES, W, open=shuffled, high=PRICES, low=PRICES, trade_at="open")
    market = inputs.market.arguments()
    assert np.shares_memory(market["close_values"], PRICES.to_numpy(copy=False))
    assert np.shares_memory(market["high_values"], PRICES.to_numpy(copy=False))
    np.testing.assert_array_equal(market["price_values"], 2.0 * PRICES.to_numpy())
    assert market["open_values"] is market["price_values"]
    assert list(market["price_columns"]) == ["A", "B", "C"] and inputs.has_ohlc


def test_columns_in_another_order_price_the_right_stocks():
    # B doubles; weights and open list the stocks in another order than close.
    close = frame([[10, 10, 10], [10, 10, 10], [10, 20, 10]])
    w = weights([[0.0, 1.0]], [0], columns=["C", "B"])
    shuffled = close[["B", "C", "A"]]
    r = mirelo.backtest(close, w, open=shuffled, trade_at="open", **FREE)
    assert r.value.tolist() == [1.0, 1.0, 2.0]


def test_nan_weights_mean_no_position():
    w = weights([[0.5, np.nan, 0.25], [np.nan, 0.5, np.nan]], [0, 1])
    inputs = prepare_inputs(PRICES, w)
    np.testing.assert_array_equal(inputs.targets.pos_values, [[0.5, 0, 0.25], [0, 0.5, 0]])
    assert mirelo.backtest(PRICES, w).value.tolist() == \
        mirelo.backtest(PRICES, w.fillna(0.0)).value.tolist()


def test_rebalance_dates():
    close = frame(np.ones((70, 1)))  # 2024-01-01 .. 2024-04-05
    w = weights([[1.0]], [0])

    def ns(*bars):
        return [day(b).value for b in bars]

    def resample(**kw):
        return prepare_inputs(close, w, **kw).targets.resample.tolist()

    assert resample() == ns(0)
    # Last bar of January (23 business days), February (21, leap year), March (21), and
    # the final bar.
    assert resample(rebalance="M") == resample(rebalance="ME") == ns(22, 43, 64, 69)
    assert resample(rebalance="Q") == ns(64, 69)
    assert resample(rebalance=[day(9), "2024-01-03", day(9)]) == ns(2, 9)


def test_delisting_dates_become_bars_of_the_price_columns():
    # The market holds one bar per price column (A, B, C) whatever the weights' columns.
    w = weights([[0.5, 0.5]], [0], columns=["C", "A"])
    bars = prepare_inputs(PRICES, w, delisted={"A": "2024-01-03", "B": day(1)})
    assert bars.market.delisting_bars.tolist() == [2, 1, -1]
    # A weekend date closes the position on the Friday before it.
    friday = prepare_inputs(frame(np.ones((8, 3))), w, delisted=pd.Series({"C": "2024-01-06"}))
    assert friday.market.delisting_bars.tolist() == [-1, -1, 4]


def test_frequency_multiples_rebalance_every_nth_period():
    close = frame(np.ones((560, 1)))  # 2024-01-01 .. 2026-02-23
    w = weights([[1.0]], [0])

    def resample(alias):
        return prepare_inputs(close, w, rebalance=alias).targets.resample.tolist()

    # The first bar's period, then every n-th after it; the final bar always counts.
    for alias, n, base in [("2M", 2, "M"), ("2W", 2, "W"), ("2Q", 2, "Q"), ("3M", 3, "M"),
                           ("2W-FRI", 2, "W-FRI"), ("2Y", 2, "Y"), ("2ME", 2, "ME")]:
        every = resample(base)
        assert resample(alias) == sorted(set(every[::n]) | {every[-1]}), alias
        assert len(resample(alias)) < len(every), alias
    assert resample("2M") == resample("2ME") and resample("2Q") == resample("2QE")
    for alias in ("-2M", "0W", " -1ME"):
        with pytest.raises(ValueError) as exc:
            resample(alias)
        assert str(exc.value) == (f"rebalance={alias!r}: the multiple of a frequency alias "
                                  "must be 1 or more")
