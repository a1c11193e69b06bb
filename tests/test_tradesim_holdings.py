"""Holdings and rebalancing through small backtests whose numbers are worked out by hand.

Dates: bar i is dated 10 * (i + 1).  A position row dated d with a rebalance date d flags
the last bar on or before d; the rebalance itself trades on the bar after it, at that bar's
trading price.  Fee 0.001 and tax 0.003 (`COSTS`) keep the cost arithmetic short.
"""

import numpy as np
import pytest
from numpy.testing import assert_allclose

from mirelo.core import excursion, tradesim
from simcase import COSTS, FREE, market, run, weights_of

RTOL = 1e-12


def test_buy_takes_the_fee_out_of_the_position_not_the_cash():
    # Balance 1.0, weight 0.1 -> buy 0.1 on bar 1: cash 1 - 0.1 = 0.9,
    # position 0.1 - 0.1 * 0.001 = 0.0999.  Bar 2 marks it at 12 / 10: 0.0999 * 1.2 = 0.11988.
    r = run(market([10, 10, 12, 12]), [0.1], [10], [10], **COSTS)
    assert_allclose(r.value_path, [1.0, 0.9 + 0.0999, 0.9 + 0.11988, 0.9 + 0.11988], rtol=RTOL)
    assert r.trades == [[0, 1, -1]]
    assert_allclose(r.positions, [0.1], rtol=RTOL)  # value / balance = 0.1 / 1.0
    # Open trade: dates of bar 1 and bar 2, held len(bars) - 1 = 3 bars.
    assert r.rows == [["A", 20, -1, 30, -1, 0.1, 3, 1, -1]]
    # Profile of the open trade (window 0: only the group of the last bar, bar 3).
    # returns: bar 1 (1 - 0.001) * 10/10 = 0.999, bars 2 and 3 0.999 * 1.2 = 1.1988;
    # run_min 0.999, run_max 1.1988, drawdown 0.999 - 1, two profitable bars, no exit costs.
    assert_allclose(r.profiles[0], [-0.001, 0.1988, 0.0, -0.001, 2.0, 0.1988],
                    rtol=RTOL, atol=1e-15)
    assert weights_of(r.ops, "weights") == {0: 0.1}
    assert weights_of(r.ops, "next_weights") == {0: 0.1}
    assert r.ops["actions"] == {}
    assert (r.ops["weight_time"], r.ops["next_weight_time"]) == (0, 0)


def test_sale_credits_the_value_less_fee_and_tax():
    # Bought as above (cash 0.9, position 0.11988 after bar 2).  Row 2 (dated 30) sets the
    # weight to 0; bar 2 is flagged, bar 3 sells: cash 0.9 + 0.11988 * (1 - 0.001 - 0.003).
    r = run(market([10, 10, 12, 12, 12]), [[0.1], [0.0]], [10, 30], [10, 30], **COSTS)
    after_sale = 0.9 + 0.11988 * 0.996
    assert_allclose(r.value_path, [1.0, 0.9999, 1.01988, after_sale, after_sale], rtol=RTOL)
    assert r.trades == [[0, 1, 3]]
    # The ledger dates a close-mode exit at its bar (3, date 40) and its execution one bar
    # later (date 50); held 2 bars.
    assert r.rows == [["A", 20, 40, 30, 50, 0.1, 2, 1, 3]]
    # Final exit: the last return 1.1988 is re-priced at price/close = 1 and charged
    # (1 - 0.001 - 0.003); the running maximum keeps the close-based 1.1988.
    assert_allclose(r.profiles[0], [-0.001, 0.1988, 0.0, -0.001, 2.0, 1.1988 * 0.996 - 1],
                    rtol=RTOL, atol=1e-15)
    assert r.ops["weights"] == {} and r.ops["next_weights"] == {}
    assert (r.ops["weight_time"], r.ops["next_weight_time"]) == (1, 1)


RESIZE_SCHEDULE = dict(pos_dates=[10, 30, 50], resample=[10, 30, 50])  # trades on bars 1, 3, 5


@pytest.mark.parametrize("retain, resample_flag, split", [
    (False, True, True),   # a resize ends the trade and starts a new one
    (True, True, False),   # retained cost: one trade across resizes
    (False, False, False),  # not periodically rebalanced: one trade as well
])
def test_long_reduce_and_increase(retain, resample_flag, split):
    # Price constant at 10.  Bar 1: weight 0.5 -> cash 0.5, position 0.5 - 0.0005 = 0.4995.
    b1 = 0.5 + 0.4995
    # Bar 3: weight 0.2 of b1: reduce by 0.4995 - 0.2 * b1, charged fee + tax (0.004).
    d1 = 0.4995 - 0.2 * b1
    b2 = b1 - d1 * 0.004
    # Bar 5: weight 0.5 of b2: increase by 0.5 * b2 - 0.2 * b1, charged the fee only.
    d2 = 0.5 * b2 - 0.2 * b1
    b3 = b2 - d2 * 0.001
    r = run(market([10] * 7), [[0.5], [0.2], [0.5]], RESIZE_SCHEDULE["pos_dates"],
            RESIZE_SCHEDULE["resample"], retain_cost_when_rebalance=retain,
            periodically_rebalance=resample_flag, **COSTS)
    assert_allclose(r.value_path, [1.0, b1, b1, b2, b2, b3, b3], rtol=RTOL)
    if split:
        assert r.trades == [[0, 1, 3], [0, 3, 5], [0, 5, -1]]
        assert_allclose(r.positions, [0.5, 0.2, 0.5], rtol=RTOL)
        assert r.rows[1] == ["A", 40, 60, 50, 70, r.positions[1], 2, 3, 5]
        # A split is neither a new entry nor a final exit: the first part carries only the
        # entry fee (returns 0.999 throughout), the middle part no cost at all.
        assert_allclose(r.profiles[0], [-0.001, 0.0, 0.0, -0.001, 0.0, -0.001],
                        rtol=RTOL, atol=1e-15)
        assert_allclose(r.profiles[1], [0.0] * 6, atol=1e-15)
    else:
        assert r.trades == [[0, 1, -1]]
        assert_allclose(r.positions, [0.5], rtol=RTOL)
    assert tradesim.RETAIN_COST_WHEN_REBALANCE is retain
    assert tradesim.RESAMPLE is resample_flag


def test_short_add_and_reduce():
    # Bar 1: weight -0.5 -> sell short 0.5 for fee 0.0005: cash 1.4995, position -0.5.
    # Bar 2: price 10 -> 8 marks the short at -0.4: value 1.4995 - 0.4 = 1.0995.
    b1 = 1.0995
    # Bar 3: weight -0.75 of b1 adds |d1| = 0.75 * b1 - 0.4 of exposure, fee only.
    d1 = 0.75 * b1 - 0.4
    b2 = b1 - d1 * 0.001
    # Bar 5: weight -0.25 of b2 buys back d2 = 0.75 * b1 - 0.25 * b2, fee + tax; the cost of a
    # purchase comes out of the position, which ends at -0.25 * b2 - 0.004 * d2.
    d2 = 0.75 * b1 - 0.25 * b2
    b3 = b2 - d2 * 0.004
    r = run(market([10, 10, 8, 8, 8, 8, 8]), [[-0.5], [-0.75], [-0.25]],
            RESIZE_SCHEDULE["pos_dates"], RESIZE_SCHEDULE["resample"], **COSTS)
    assert_allclose(r.value_path, [1.0, 0.9995, b1, b2, b2, b3, b3], rtol=RTOL)
    assert r.trades == [[0, 1, 3], [0, 3, 5], [0, 5, -1]]
    assert_allclose(r.positions, [-0.5, -0.75, -0.25], rtol=RTOL)


def test_position_limit_caps_long_and_short():
    # Weights 0.5 / -0.5 under a limit 0.3: targets 0.3 and -0.3 of the balance 1.0;
    # cash 1 - 0.3 + 0.3 = 1.0.  B halves on bar 2: its short is worth -0.15.
    r = run(market([[10, 10], [10, 10], [10, 5], [10, 5]]), [0.5, -0.5], [10], [10],
            position_limit=0.3, **FREE)
    assert_allclose(r.value_path, [1.0, 1.0, 1.15, 1.15], rtol=RTOL)
    assert r.trades == [[0, 1, -1], [1, 1, -1]]
    assert_allclose(r.positions, [0.3, -0.3], rtol=RTOL)
    # Raw weights (signed total 0, gross 1: not divided), then clipped to the limit.
    assert weights_of(r.ops, "weights") == {0: 0.3, 1: -0.3}
    assert weights_of(r.ops, "next_weights") == {0: 0.3, 1: -0.3}


def test_gross_weights_above_one_are_scaled_to_the_balance():
    # Gross |1| + |0.5| + |-0.5| = 2: targets 0.5, 0.25, -0.25; cash 1 - 0.5 - 0.25 + 0.25.
    # On bar 2 A doubles (+0.5) and C rises by half (the short loses 0.125): value 1.375.
    r = run(market([[10, 10, 10], [10, 10, 10], [20, 10, 15]]), [1.0, 0.5, -0.5], [10], [10],
            **FREE)
    assert_allclose(r.value_path, [1.0, 1.0, 1.375], rtol=RTOL)
    assert_allclose(r.positions, [0.5, 0.25, -0.25], rtol=RTOL)
    # "weights": signed total 1.0 is not above 1, so the raw row goes to normalize_weight,
    # which scales by the gross 2.  "next_weights": divided by the gross 2 at once.
    assert weights_of(r.ops, "weights") == {0: 0.5, 1: 0.25, 2: -0.25}
    assert weights_of(r.ops, "next_weights") == {0: 0.5, 1: 0.25, 2: -0.25}


def test_zero_position_limit_buys_nothing():
    r = run(market([10, 10, 20]), [1.0], [10], [10], position_limit=0.0, **FREE)
    assert_allclose(r.value_path, [1.0, 1.0, 1.0], rtol=0)
    assert r.trades == []


class TestWeightedStockWithoutPrices:
    """A position column whose name has no price column ("X" here)."""

    def test_weight_zero_runs_like_the_priced_columns_alone(self):
        # A: weight 0.5 at 10, then 12: value 0.5 + 0.5 * 1.2 = 1.1.
        r = run(market([10, 10, 12]), [0.5, 0.0], [10], [10], pos_columns=["A", "X"], **FREE)
        assert_allclose(r.value_path, [1.0, 1.0, 1.1], rtol=RTOL)
        assert r.trades == [[0, 1, -1]]

    @pytest.mark.parametrize("weight", [0.25, -0.25])
    def test_non_zero_weight_is_refused(self, weight):
        with pytest.raises(ValueError,
                           match="^Stock X has a non-zero weight but no trading prices"):
            run(market([10, 10, 12]), [0.5, weight], [10], [10], pos_columns=["A", "X"],
                **FREE)

    def test_refused_at_a_later_rebalance_too(self):
        with pytest.raises(ValueError, match="Stock X has a non-zero weight"):
            run(market([10, 10, 12, 12]), [[0.5, 0.0], [0.5, 0.1]], [10, 30], [10, 30],
                pos_columns=["A", "X"], **FREE)


class TestNaNWeight:
    """A NaN in the row a rebalance uses fails it before it trades; other rows are not read."""

    def test_used_row_names_the_lowest_nan_column_and_row(self):
        # Row 0 (A 0.5) trades on bar 1; row 1 (dated 30) holds NaN for B and C and is used on
        # bar 3: nothing of that rebalance trades (A's resize would have split its trade).
        nan = float("nan")
        with pytest.raises(ValueError) as exc:
            run(market([[10, 10, 10]] * 5), [[0.5, 0.0, 0.0], [0.2, nan, nan]], [10, 30],
                [10, 30], **FREE)
        assert str(exc.value) == "Stock B has a NaN weight in position row 1"
        assert [list(map(int, t)) for t in excursion.trades] == []

    def test_rows_no_rebalance_uses_are_not_checked(self):
        # Row 1 (NaN) is superseded by row 2 before bar 3 rebalances: rows 0 and 2 trade.
        r = run(market([10, 10, 10, 10, 10]), [[0.5], [float("nan")], [0.25]], [10, 25, 28],
                [10, 30], **FREE)
        assert r.trades == [[0, 1, 3], [0, 3, -1]]
        assert_allclose(r.positions, [0.5, 0.25], rtol=RTOL)

    def test_a_stopped_stock_zeroed_for_the_rebalance_may_be_nan(self):
        # A is stopped on bar 2's close (0.9 < 0.95) and sold on bar 3; row 1 gives A NaN,
        # which the rebalance of bar 4 replaces with 0 (A sits the period out): B is bought.
        nan = float("nan")
        prices = [[100, 100], [100, 100], [90, 100], [90, 100], [90, 100], [90, 100]]
        r = run(market(prices), [[1.0, 0.0], [nan, 0.5]], [10, 40], [10, 40], stop_loss=0.05,
                **FREE)
        assert r.trades == [[0, 1, 3], [1, 4, -1]]


def test_negative_position_limit_is_refused_before_any_state_changes():
    first = run(market([10, 10, 12]), [0.5], [10], [10], **FREE)
    trades_before = [list(t) for t in excursion.trades]
    with pytest.raises(ValueError, match="^position_limit must not be negative$"):
        run(market([10, 10, 12, 12]), [0.5], [10], [10], position_limit=-0.5,
            retain_cost_when_rebalance=True, periodically_rebalance=False, **FREE)
    # The run that failed published nothing: the globals, the trades and the operations
    # are those of the first run.
    assert tradesim.RETAIN_COST_WHEN_REBALANCE is False
    assert tradesim.RESAMPLE is True
    assert [list(t) for t in excursion.trades] == trades_before
    assert tradesim.get_stock_operations() == first.ops


def test_rebalance_from_a_negative_balance_only_closes():
    # Bar 1: short A at weight -1: cash 1 + 1 - 0.001 = 1.999, position -1.
    # Bar 2: A quadruples, the short is worth -4: balance 1.999 - 4 = -2.001.
    # Bar 3: the row asks for A -1 and B 0.5, but from a negative balance every target is 0:
    # A is bought back (cash -4 - 4 * 0.004) and B is not opened.
    mkt = market([[10, 10], [10, 10], [40, 10], [40, 10], [40, 20]])
    r = run(mkt, [[-1.0, 0.0], [-1.0, 0.5]], [10, 30], [10, 30], stop_loss=np.inf, **COSTS)
    ruined = 1.999 - 4 - 4 * 0.004
    assert_allclose(r.value_path, [1.0, 0.999, -2.001, ruined, ruined], rtol=RTOL)
    assert r.trades == [[0, 1, 3]]
    assert_allclose(r.positions, [-1.0], rtol=RTOL)
    assert r.ops["weights"] == {}


class TestCashOfExactlyMinusOne:
    def test_after_closing_a_ruined_short(self):
        # Short -1 (cash 2), price triples: -3.  Closing it leaves cash 2 - 3 = -1.0 exactly,
        # an ordinary result, not a failure.
        r = run(market([10, 10, 30, 30, 30]), [[-1.0], [0.0]], [10, 30], [10, 30],
                stop_loss=np.inf, **FREE)
        assert r.value_path.tolist() == [1.0, 1.0, -1.0, -1.0, -1.0]
        assert r.trades == [[0, 1, 3]]

    def test_inside_a_rebalance(self):
        # Bar 1: all in B (cash 0).  Bar 2: B doubles, balance 2.  Bar 3: weights 0.5 / 0.5
        # target 1.0 each; A comes first, so cash passes through 0 - 1 = -1.0 before B's
        # sale of 1.0 brings it back to 0.  Bar 4: A at 15 -> 1.5 + 1.0.
        mkt = market([[10, 10], [10, 10], [10, 20], [10, 20], [15, 20], [15, 20]])
        r = run(mkt, [[0.0, 1.0], [0.5, 0.5]], [10, 30], [10, 30], **FREE)
        assert r.value_path.tolist() == [1.0, 1.0, 2.0, 2.0, 2.5, 2.5]
        assert r.trades == [[1, 1, 3], [0, 3, -1], [1, 3, -1]]
        assert_allclose(r.positions, [1.0, 0.5, 0.5], rtol=RTOL)
