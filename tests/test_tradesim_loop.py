"""The bar loop through small backtests worked out by hand: the schedule, bars before the
first position date, NaN prices, delisting, the final actions and position columns that
share a price column.

Bar i is dated 10 * (i + 1).  Zero fees unless the point is the cost.
"""

import math

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from numpy.testing import assert_allclose

from simcase import COSTS, FREE, market, run, weights_of

RTOL = 1e-12

NAN = math.nan


class TestSchedule:
    # A: 10 until bar 2, then 12.  B: 10 until bar 3, then 5.
    MKT = dict(price=[[10, 10], [10, 10], [10, 10], [12, 10], [12, 5]])
    ROWS = [[1.0, 0.0], [0.0, 1.0]]  # row 0 dated 10: all A; row 1 dated 30: all B

    def test_rebalance_trades_on_the_bar_after_the_flagged_one(self):
        # Date 25 flags bar 1 (date 20).  At its end the next bar is dated 30, and row 1
        # (dated 30) is not older than that, so bar 2 buys row 0: all A at 10.
        # Bar 2 is not flagged, so row 1 is never traded.
        r = run(market(**self.MKT), self.ROWS, [10, 30], [25], **FREE)
        assert_allclose(r.value_path, [1.0, 1.0, 1.0, 1.2, 1.2], rtol=RTOL)
        assert r.trades == [[0, 2, -1]]
        assert (r.ops["weight_time"], r.ops["next_weight_time"]) == (0, 1)
        assert weights_of(r.ops, "weights") == {0: 1.0}
        assert weights_of(r.ops, "next_weights") == {1: 1.0}

    def test_a_newer_row_on_a_flagged_bar_rebalances_the_next_bar(self):
        # As above, and date 30 flags bar 2: at its end row 1 is older than bar 3 (date 40),
        # so bar 3 sells A at 12 (1.2) and buys B with it; B halves on bar 4.
        r = run(market(**self.MKT), self.ROWS, [10, 30], [25, 30], **FREE)
        assert_allclose(r.value_path, [1.0, 1.0, 1.0, 1.2, 0.6], rtol=RTOL)
        assert r.trades == [[0, 2, 3], [1, 3, -1]]
        assert r.rows[0] == ["A", 30, 40, 40, 50, 1.0, 1, 2, 3]
        assert (r.ops["weight_time"], r.ops["next_weight_time"]) == (1, 1)

    def test_unchanged_position_rows_do_not_rebalance_again(self):
        # One row, flagged on bars 0, 2 and 4: only bar 1 trades.  A drifts to
        # 0.4995 * 1.2 = 0.5994 and is left there (a second rebalance would resize it and
        # cost fee + tax).
        r = run(market([10, 10, 12, 12, 12, 12, 12]), [0.5], [10], [10, 30, 50], **COSTS)
        assert_allclose(r.value_path, [1.0, 0.9995, 1.0994, 1.0994, 1.0994, 1.0994, 1.0994],
                        rtol=RTOL)
        assert r.trades == [[0, 1, -1]]

    def test_a_new_row_with_the_same_weights_rebalances(self):
        # Same as above with a second, identical row dated 30: bar 3 resizes A from 0.5994
        # to 0.5 * 1.0994 = 0.5497, selling 0.0497 for fee + tax.
        r = run(market([10, 10, 12, 12, 12]), [[0.5], [0.5]], [10, 30], [10, 30], **COSTS)
        resized = 1.0994 - 0.0497 * 0.004
        assert_allclose(r.value_path, [1.0, 0.9995, 1.0994, resized, resized], rtol=RTOL)
        assert r.trades == [[0, 1, 3], [0, 3, -1]]

    def test_final_actions_when_a_rebalance_is_due_after_the_last_bar(self):
        # Row 1 dated 40 is the date of the last bar, which date 40 flags: the rebalance it
        # asks for would happen after the data ends, so it shows up as actions against the
        # holdings A and C: A leaves, B enters, C stays, D never held and weight 0.
        mkt = market([[10, 10, 10, 10]] * 4)
        r = run(mkt, [[0.5, 0.0, 0.5, 0.0], [0.0, 0.5, 0.25, 0.0]], [10, 40], [10, 40], **FREE)
        assert r.ops["actions"] == {0: "exit", 1: "enter", 2: "hold"}
        assert weights_of(r.ops, "weights") == {0: 0.5, 2: 0.5}
        assert weights_of(r.ops, "next_weights") == {1: 0.5, 2: 0.25}
        assert (r.ops["weight_time"], r.ops["next_weight_time"]) == (0, 1)


def test_bars_before_the_first_position_date():
    # Rows start at date 30 (bar 2).  Bars 0 and 1 are worth 1.0 whatever A does, and the
    # rebalance date 10 on bar 0 is not acted on.  Date 30 flags bar 2: buy at 10 on bar 3.
    r = run(market([5, 20, 10, 10, 15]), [1.0], [30], [10, 30], **FREE)
    assert_allclose(r.value_path, [1.0, 1.0, 1.0, 1.0, 1.5], rtol=RTOL)
    assert r.trades == [[0, 3, -1]]


def test_bars_before_the_first_position_date_keep_the_schedule():
    # The only rebalance date (10) flags bar 0, which lies before the rows (date 20):
    # nothing is ever bought.
    r = run(market([10, 10, 20, 20]), [1.0], [20], [10], **FREE)
    assert r.value_path.tolist() == [1.0, 1.0, 1.0, 1.0]
    assert r.trades == []


# A: 10 on bars 0 to 2, then 12.  One row of weight 1.0 at `row`, scheduled by `resample`.
@pytest.mark.parametrize("row, resample, values, trades, actions", [
    # Between bars 1 (20) and 2 (30): bar 1 still schedules it, so bar 2 buys at 10.
    (25, [25], [1.0, 1.0, 1.0, 1.2, 1.2], [[0, 2, -1]], {}),
    # On bar 2: bar 2 schedules it, bar 3 buys at 12 (as before).
    (30, [30], [1.0] * 5, [[0, 3, -1]], {}),
    # Before the first bar: bar 0 schedules it, bar 1 buys at 10 (as before).
    (5, [5], [1.0, 1.0, 1.0, 1.2, 1.2], [[0, 1, -1]], {}),
    # After the last bar: the last bar schedules it for the next session.
    (55, [55], [1.0] * 5, [], {0: "enter"}),
])
def test_first_row_is_scheduled_by_the_last_bar_before_it(row, resample, values, trades,
                                                          actions):
    r = run(market([10, 10, 10, 12, 12]), [1.0], [row], resample, **FREE)
    assert_allclose(r.value_path, values, rtol=RTOL)
    assert r.trades == trades
    assert r.ops["actions"] == actions
    assert r.ops["next_weight_time"] == 0


class TestNanPrices:
    def test_nan_trading_and_close_prices_carry_the_value(self):
        # All in A at 10 on bar 1 (cash 0).
        # Bar 2: trading price NaN -> ratio 1, position 1, valued as carried: 1.
        # Bar 3: 15 against the last valid price 10: 1.5; close NaN -> valued at 1.5.
        # Bar 4: 12 / 15 = 0.8 -> 1.2, reported at the close 13: 1.2 * 13 / 12 = 1.3.
        price = [10, 10, NAN, 15, 12, 12]
        close = [10, 10, 11, NAN, 13, 12]
        r = run(market(price, close=close), [1.0], [10], [10], **FREE)
        assert_allclose(r.value_path, [1.0, 1.0, 1.0, 1.5, 1.3, 1.2], rtol=RTOL)

    def test_first_ratio_after_a_nan_reference_is_one(self):
        # Bar 1 buys A although its trading price is NaN, and that NaN becomes the
        # reference.  Bar 2 takes 12 as the reference (ratio 1), bar 3 moves 15 / 12.
        r = run(market([10, NAN, 12, 15]), [1.0], [10], [10], **FREE)
        assert_allclose(r.value_path, [1.0, 1.0, 1.0, 1.25], rtol=RTOL)
        assert r.trades == [[0, 1, -1]]


def test_delisting_closes_at_the_bar_price_with_fee_and_tax():
    # A and B at 0.5 each: positions 0.4995, cash 0.  A rises to 12 on bar 2 (0.5994) and is
    # delisted on bar 3: cash 0.5994 * 0.996.  B is not delisted (-1).
    mkt = market([[10, 10], [10, 10], [12, 10], [12, 10], [12, 10]])
    r = run(mkt, [0.5, 0.5], [10], [10], delisting_bars=np.array([3, -1]), **COSTS)
    after = 0.5994 * 0.996 + 0.4995
    assert_allclose(r.value_path, [1.0, 0.999, 1.0989, after, after], rtol=RTOL)
    assert r.trades == [[0, 1, 3], [1, 1, -1]]
    # A is no longer held: its weight reads 0; delisting excludes nothing from next_weights.
    assert weights_of(r.ops, "weights") == {0: 0.0, 1: 0.5}
    assert weights_of(r.ops, "next_weights") == {0: 0.5, 1: 0.5}
    assert r.ops["actions"] == {}


class TestSharedPriceColumn:
    """Two position columns named "A" both trade on the one price column A."""

    def test_every_holding_is_marked_to_market(self):
        # Weights 0.25 and 0.5: cash 0.25.  A doubles on bar 2: 0.25 + 0.5 + 1.0.
        mkt = market([10, 10, 20, 20])
        r = run(mkt, [0.25, 0.5], [10], [10], pos_columns=["A", "A"], **FREE)
        assert_allclose(r.value_path, [1.0, 1.0, 1.75, 1.75], rtol=RTOL)
        assert r.trades == [[0, 1, -1], [1, 1, -1]]

    def test_every_holding_sees_the_touched_stop(self):
        # Stop 0.05, both at 0.5.  Bar 2 trades at 98 with a low of 94: both touch 0.95 of
        # the entry and close at 0.5 * 0.95 each.
        mkt = market([100, 100, 98, 98], low=[100, 100, 94, 98],
                     high=[100, 100, 99, 98], open=[100, 100, 99, 98])
        r = run(mkt, [0.5, 0.5], [10], [10], pos_columns=["A", "A"], stop_loss=0.05,
                touched_exit=True, **FREE)
        assert_allclose(r.value_path, [1.0, 1.0, 0.95, 0.95], rtol=RTOL)
        assert r.trades == [[0, 1, 2], [1, 1, 2]]
        assert r.ops["actions"] == {0: "sl_", 1: "sl_"}


def _value_path_from_weights(prices, rows, rebalance_bars):
    """Zero-cost value path: at each rebalance bar the balance is split by the scaled row,
    the rest stays in cash, and each holding then follows its price."""
    n = len(prices)
    path = np.ones(n)
    value, alloc, start = 1.0, None, None
    for i in range(n):
        if i in rebalance_bars:
            if alloc is not None:
                value = _mark(value, alloc, prices[start], prices[i])
            row = rows[rebalance_bars.index(i)]
            alloc = [w / max(sum(row), 1.0) for w in row]
            start = i
        if alloc is not None:
            path[i] = _mark(value, alloc, prices[start], prices[i])
    return path


def _mark(value, alloc, p0, p1):
    return value * (1.0 - sum(alloc) + sum(a * b / c for a, b, c in zip(alloc, p1, p0)))


@settings(max_examples=40, deadline=None)
@given(st.data())
def test_zero_cost_long_only_value_path_follows_weights_and_prices(data):
    stocks = data.draw(st.integers(1, 3))
    bars = data.draw(st.integers(3, 8))
    price = st.floats(1.0, 100.0)
    prices = data.draw(st.lists(st.lists(price, min_size=stocks, max_size=stocks),
                                min_size=bars, max_size=bars))
    # Rows dated on distinct bars; each trades on the following bar, never the last one (the
    # ledger cannot give an entry on the last bar an execution date).
    flagged = sorted(data.draw(st.sets(st.integers(0, bars - 3), min_size=1, max_size=3)))
    weight = st.one_of(st.just(0.0), st.floats(0.0, 1.0))
    rows = [data.draw(st.lists(weight, min_size=stocks, max_size=stocks)) for _ in flagged]
    dates = [10 * (b + 1) for b in flagged]
    r = run(market(prices), rows, dates, dates, **FREE)
    expected = _value_path_from_weights(prices, rows, [b + 1 for b in flagged])
    assert_allclose(r.value_path, expected, rtol=1e-9)
