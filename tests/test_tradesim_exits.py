"""Exit rules through small backtests worked out by hand.

Unless a test says otherwise the traded stock is bought on bar 1 at 100 with weight 1 (or
-1 for a short) and no costs, so its value on later bars is its price / 100 and an exit
at level L of the entry leaves cash L.  Many tests run the traded stock in position column
0 and in column 1 (beside an idle stock of weight 0): the exit labels must not depend on it.
Bar i is dated 10 * (i + 1).
"""

import pytest
from numpy.testing import assert_allclose

from simcase import FREE, market, run, weights_of

RTOL = 1e-12
IDLE = 100.0


def traded_at(sid, price, **matrices):
    """Market of two stocks where column `sid` trades `price` and the other stays at 100."""
    def both(series):
        return [[x, IDLE] if sid == 0 else [IDLE, x] for x in series]
    return market(both(price), **{k: both(v) for k, v in matrices.items()})


def weight_at(sid, w):
    return [w, 0.0] if sid == 0 else [0.0, w]


@pytest.fixture(params=[0, 1], ids=["column0", "column1"])
def sid(request):
    return request.param


# Bar 2 of a touched-mode run: (open, high, low, trading price), the exit value, the label.
TOUCHED = {
    # low 94 reaches the stop 0.95: closed at 0.95.
    "stop touched": (dict(stop_loss=0.05), (99, 99, 94, 98), 0.95, "sl_"),
    # opens at 90, below the stop: closed at the open, 0.9.
    "gap through the stop": (dict(stop_loss=0.05), (90, 92, 88, 91), 0.9, "sl_"),
    # high 125 reaches the take-profit 1.2: closed at 1.2.
    "take-profit touched": (dict(take_profit=0.2), (101, 125, 100, 110), 1.2, "tp_"),
    # opens at 130, above the take-profit: closed at the open, 1.3, on the profit side.
    "gap over the take-profit": (dict(take_profit=0.2), (130, 135, 128, 132), 1.3, "tp_"),
    # a long touching both bounds is closed at the upper one, labelled stop side.
    "both bounds touched": (dict(stop_loss=0.25, take_profit=0.25), (100, 130, 70, 100),
                            1.25, "sl_"),
}


@pytest.mark.parametrize("case", TOUCHED, ids=list(TOUCHED))
def test_touched_exit_of_a_long(sid, case):
    levels, (o, h, lo, p), exit_value, label = TOUCHED[case]
    mkt = traded_at(sid, [100, 100, p, p], open=[100, 100, o, p], high=[100, 100, h, p],
                    low=[100, 100, lo, p])
    r = run(mkt, weight_at(sid, 1.0), [10], [10], touched_exit=True, **levels, **FREE)
    assert_allclose(r.value_path, [1.0, 1.0, exit_value, exit_value], rtol=RTOL)
    assert r.trades == [[sid, 1, 2]]
    # Touched exits execute on the bar that detects them (date 30).
    assert r.rows == [["AB"[sid], 20, 30, 30, 30, 1.0, 1, 1, 2]]
    assert r.ops["actions"] == {sid: label}
    # The closed stock still sits in the holdings at 0 and is reported with weight 0; the
    # stop keeps it out of the next weights.
    assert weights_of(r.ops, "weights") == {sid: 0.0}
    assert r.ops["next_weights"] == {}


class TestTouchedExitLeftover:
    # Touched stop on bar 2 (low 94, closed at 0.95); bar 3 trades at 104 with a high of 110.
    # The stock stays in the holdings at 0; its high on bar 3 must not count as another exit.
    MKT = dict(price=[100, 100, 98, 104, 104], open=[100, 100, 99, 100, 104],
               high=[100, 100, 99, 110, 104], low=[100, 100, 94, 100, 104])

    def test_is_not_exited_again(self, sid):
        r = run(traded_at(sid, **self.MKT), weight_at(sid, 1.0), [10], [10], stop_loss=0.05,
                touched_exit=True, **FREE)
        assert_allclose(r.value_path, [1.0, 1.0, 0.95, 0.95, 0.95], rtol=RTOL)
        assert r.trades == [[sid, 1, 2]]
        assert r.ops["actions"] == {sid: "sl_"}

    def test_is_re_entered_as_a_new_trade_by_the_next_rebalance(self, sid):
        # Row 1 (dated 30, flagged) trades on bar 3 at 104; stop_trading_next_period False
        # lets the stopped stock back in: all of the cash 0.95, a new trade from bar 3,
        # worth 0.95 on bar 4 at the same price.
        r = run(traded_at(sid, **self.MKT), [weight_at(sid, 1.0)] * 2, [10, 30], [10, 30],
                stop_loss=0.05, touched_exit=True, stop_trading_next_period=False, **FREE)
        assert_allclose(r.value_path, [1.0, 1.0, 0.95, 0.95, 0.95], rtol=RTOL)
        assert r.trades == [[sid, 1, 2], [sid, 3, -1]]
        assert_allclose(r.positions, [1.0, 1.0], rtol=RTOL)
        assert r.ops["actions"] == {}
        assert weights_of(r.ops, "weights") == {sid: 1.0}


def test_close_mode_stop_is_strictly_below_the_level():
    # Stop 0.05: bar 2 closes at exactly 0.95 (no exit), bar 3 at 0.94 (exit queued), bar 4
    # executes it at its trading price 90.
    r = run(market([100, 100, 95, 94, 90, 100]), [1.0], [10], [10], stop_loss=0.05, **FREE)
    assert_allclose(r.value_path, [1.0, 1.0, 0.95, 0.94, 0.9, 0.9], rtol=RTOL)
    assert r.trades == [[0, 1, 4]]
    # The ledger dates the exit at its bar (4, date 50) and, in close mode, its execution
    # one bar later (date 60).
    assert r.rows == [["A", 20, 50, 30, 60, 1.0, 3, 1, 4]]
    assert r.ops["actions"] == {0: "sl_"}
    assert weights_of(r.ops, "weights") == {0: 0.0}
    assert r.ops["next_weights"] == {}


def test_close_mode_take_profit_includes_the_level(sid):
    # Take-profit 0.25: bar 2 closes at exactly 1.25 -> queued, executed on bar 3 at 130.
    r = run(traded_at(sid, [100, 100, 125, 130, 130]), weight_at(sid, 1.0), [10], [10],
            take_profit=0.25, **FREE)
    assert_allclose(r.value_path, [1.0, 1.0, 1.25, 1.3, 1.3], rtol=RTOL)
    assert r.trades == [[sid, 1, 3]]
    assert r.ops["actions"] == {sid: "tp_"}


def test_close_mode_compares_the_close_not_the_trading_price():
    # Trading price 100 throughout; bar 2 closes at 94 (below the stop 0.95): the exit is
    # executed on bar 3 at the trading price 100.  Bar 2 is reported at the close: 0.94.
    r = run(market([100, 100, 100, 100, 100], close=[100, 100, 94, 100, 100]), [1.0], [10],
            [10], stop_loss=0.05, **FREE)
    assert_allclose(r.value_path, [1.0, 1.0, 0.94, 1.0, 1.0], rtol=RTOL)
    assert r.trades == [[0, 1, 3]]


def test_trailing_stop_arms_at_the_activation_gain():
    # trail 0.1, activation 0.2, close mode.  Bar 2: best 1.19, not armed, so the fall to
    # 1.08 on bar 3 (below 1.19 - 0.1) does not exit.  Bar 4: best 1.25, armed, stop at
    # 1.25 - 0.1 = 1.15.  Bar 5 closes at 1.16 (kept), bar 6 at 1.14 (queued), bar 7 executes
    # at 110.
    prices = [100, 100, 119, 108, 125, 116, 114, 110, 100]
    r = run(market(prices), [1.0], [10], [10], trail_stop=0.1, trail_stop_activation=0.2,
            **FREE)
    assert_allclose(r.value_path, [1.0, 1.0, 1.19, 1.08, 1.25, 1.16, 1.14, 1.1, 1.1],
                    rtol=RTOL)
    assert r.trades == [[0, 1, 7]]
    assert r.ops["actions"] == {0: "sl_"}


def test_negative_thresholds_act_as_their_magnitude():
    prices = [100, 100, 119, 108, 125, 116, 114, 110, 100]
    r = run(market(prices), [1.0], [10], [10], trail_stop=-0.1, trail_stop_activation=-0.2,
            stop_loss=-1.0, **FREE)
    assert r.trades == [[0, 1, 7]]


class TestShortStop:
    """A short (weight -1: cash 2, position -1) with stop 0.1: its stop is the upper level
    1.1 of the entry price."""

    def test_touched_is_stop_side(self, sid):
        # Bar 2 trades at 105 with a high of 111: bought back at 1.1, cash 2 - 1.1.
        # Bar 3 rises to 115 (from 105 that is above 1.1 again): the closed short stays out.
        mkt = traded_at(sid, [100, 100, 105, 115], high=[100, 100, 111, 115])
        r = run(mkt, weight_at(sid, -1.0), [10], [10], stop_loss=0.1, touched_exit=True,
                **FREE)
        assert_allclose(r.value_path, [1.0, 1.0, 0.9, 0.9], rtol=RTOL)
        assert r.trades == [[sid, 1, 2]]
        assert r.ops["actions"] == {sid: "sl_"}

    def test_close_mode_is_labelled_by_the_upper_level(self, sid):
        # Bar 2 closes at 1.12: the upper level is crossed, which close mode records as the
        # profit side.  Bar 3 buys back at 115: cash 2 - 1.15.
        mkt = traded_at(sid, [100, 100, 112, 115, 115])
        r = run(mkt, weight_at(sid, -1.0), [10], [10], stop_loss=0.1, **FREE)
        assert_allclose(r.value_path, [1.0, 1.0, 0.88, 0.85, 0.85], rtol=RTOL)
        assert r.trades == [[sid, 1, 3]]
        assert r.ops["actions"] == {sid: "tp_"}


@pytest.mark.parametrize("prices, low, rules, reasons, actions", [
    # Close 0.8 falls through the take-profit level 0.85: the lower level, "sl".
    ([100, 100, 80, 80, 80], None, dict(take_profit=0.15), ["take_profit"], "sl_"),
    # The same found on the last bar, not executed.
    ([100, 100, 80], None, dict(take_profit=0.15), ["open"], "sl"),
    # 0.75 arms the trailing stop (0.1 once down 0.2): close 0.9 crosses 0.85, the upper level.
    ([100, 100, 75, 90, 90], None, dict(trail_stop=0.1, trail_stop_activation=0.2),
     ["trail_stop"], "tp_"),
    # Within the bar the label follows the reason: a low of 0.84 reaches the take-profit.
    ([100, 100, 90, 90], [100, 100, 84, 90], dict(take_profit=0.15, touched_exit=True),
     ["take_profit"], "tp_"),
], ids=["close-take-profit", "close-take-profit-last-bar", "close-trailing-stop",
        "touched-take-profit"])
def test_short_exit_labels(sid, prices, low, rules, reasons, actions):
    mkt = traded_at(sid, prices, **({} if low is None else {"low": low}))
    r = run(mkt, weight_at(sid, -1.0), [10], [10], **rules, **FREE)
    assert r.reasons == reasons
    assert r.ops["actions"] == {sid: actions}


class TestStopTradingNextPeriod:
    @pytest.mark.parametrize("stop_trading", [False, True])
    def test_due_exit_on_a_rebalance_bar(self, stop_trading):
        # Stop 0.05.  Bar 2 closes at 0.9: exit queued for bar 3, which also rebalances to
        # row 1 (weight 0.5, dated 30).  A is back at 100 on bar 3 and rises to 120 on bar 4.
        r = run(market([100, 100, 90, 100, 120, 120]), [[1.0], [0.5]], [10, 30], [10, 30],
                stop_loss=0.05, stop_trading_next_period=stop_trading, **FREE)
        if stop_trading:
            # The exit is executed at 100 (cash 1.0) and the rebalance leaves A out.
            assert_allclose(r.value_path, [1.0, 1.0, 0.9, 1.0, 1.0, 1.0], rtol=RTOL)
            assert r.trades == [[0, 1, 3]]
            assert r.ops["weights"] == {}
        else:
            # The rebalance keeps A and resizes it to 0.5 (cash 0.5); on bar 4 it is worth
            # 0.5 * 1.2 = 0.6.
            assert_allclose(r.value_path, [1.0, 1.0, 0.9, 1.0, 1.1, 1.1], rtol=RTOL)
            assert r.trades == [[0, 1, 3], [0, 3, -1]]
            assert_allclose(r.positions, [1.0, 0.5], rtol=RTOL)
            assert weights_of(r.ops, "weights") == {0: 0.5}
        assert weights_of(r.ops, "next_weights") == {0: 0.5}
        assert r.ops["actions"] == {}

    def test_exit_detected_on_a_rebalance_bar_is_executed_the_bar_after(self):
        # Row 1 (weight 1 again, dated 30) rebalances on bar 3, where A closes at 0.9 of its
        # entry: the exit is detected before the rebalance restarts the stop reference, and
        # executed on bar 4 at 100 (the position 0.9 * 100 / 90 = 1.0), whatever bar 5 does.
        r = run(market([100, 100, 100, 90, 100, 110]), [[1.0], [1.0]], [10, 30], [10, 30],
                stop_loss=0.05, stop_trading_next_period=False, **FREE)
        assert_allclose(r.value_path, [1.0, 1.0, 1.0, 0.9, 1.0, 1.0], rtol=RTOL)
        assert r.trades == [[0, 1, 3], [0, 3, 4]]
        assert r.ops["actions"] == {0: "sl_"}

    def test_stopped_stock_is_zeroed_at_the_next_rebalance(self):
        # A and B at 0.5 each (cash 0), stop 0.05.  A closes at 0.9 on bar 2 and is sold on
        # bar 3 at 80 (cash 0.4).  Bar 4 rebalances to row 1 (0.5 / 0.5, dated 40) with A's
        # weight set to 0: balance 0.9, B resized to 0.45 (cash 0.45), A not bought.
        # B falls to 90 on bar 5 (0.405, close 0.9 of its rebalance price: queued) and is
        # sold on bar 6 at 90: cash 0.45 + 0.405.
        a = [100, 100, 90, 80, 80, 80, 80, 80]
        b = [100, 100, 100, 100, 100, 90, 90, 90]
        r = run(market([list(x) for x in zip(a, b)]), [[0.5, 0.5], [0.5, 0.5]], [10, 40],
                [10, 40], stop_loss=0.05, **FREE)
        assert_allclose(r.value_path, [1.0, 1.0, 0.95, 0.9, 0.9, 0.855, 0.855, 0.855],
                        rtol=RTOL)
        # B's resize on bar 4 splits its trade; the stop on bar 6 ends the second part.
        assert r.trades == [[0, 1, 3], [1, 1, 4], [1, 4, 6]]
        assert_allclose(r.positions, [0.5, 0.5, 0.5], rtol=RTOL)
        # A's stop was consumed by that rebalance; B's stop since then keeps B out of the
        # next weights.
        assert r.ops["actions"] == {1: "sl_"}
        assert weights_of(r.ops, "weights") == {1: 0.0}
        assert weights_of(r.ops, "next_weights") == {0: 0.5}


@pytest.mark.parametrize("new_weight, trades, last_value", [
    # Reversed to a short at 8.5: the stop queued against the long no longer applies; the
    # short (-0.85, cash 1.7) is still open at 8.0: 1.7 - 0.8.
    (-1.0, [[0, 1, 2], [0, 2, -1]], 0.9),
    # Resized on the same side: the queued stop closes the new part on bar 3 at 8.4
    # (0.425 * 8.4 / 8.5 = 0.42 on top of cash 0.425).
    (0.5, [[0, 1, 2], [0, 2, 3]], 0.845),
])
def test_stop_queued_on_a_rebalance_bar_and_a_reversed_position(new_weight, trades, last_value):
    # Long A bought on bar 1 at 10 (stop 0.1).  Bar 2 closes at 8.5 (0.85 < 0.9: exit queued)
    # and rebalances to row 1, dated 20.
    r = run(market([10, 10, 8.5, 8.4, 8.0]), [[1.0], [new_weight]], [10, 20], [10, 20],
            stop_loss=0.1, **FREE)
    assert r.trades == trades
    assert_allclose(r.value_path[-1], last_value, rtol=RTOL)


@pytest.mark.parametrize("stop_trading, row_date, actions, next_weights", [
    # The rows are newest on the last bar and the stocks are weighted in them: "_enter".
    (False, 40, {0: "tp_enter", 1: "sl_enter", 2: "exit"}, {0: 0.5, 1: 0.5}),
    # Stocks with a due exit are left out of the next period.
    (True, 40, {0: "tp", 1: "sl", 2: "sl"}, {}),
    # The newest row is older than the last bar: the bare kind.
    (False, 35, {0: "tp", 1: "sl", 2: "sl"}, {0: 0.5, 1: 0.5}),
], ids=["enter-again", "stop-trading", "row-before-last-bar"])
def test_close_mode_exit_detected_on_the_last_bar(stop_trading, row_date, actions,
                                                  next_weights):
    # A, B, C at 0.25 each.  On the last bar (3, date 40) A closes at 1.3 (take-profit 0.25)
    # and B, C at 0.9 (stop 0.05); none of these exits is executed.  Row 1 (A, B 0.5; C 0)
    # is due to be traded after the last bar, which date 40 flags: A, B would be held on,
    # C sold.
    mkt = market([[100, 100, 100]] * 3 + [[130, 90, 90]])
    r = run(mkt, [[0.25, 0.25, 0.25], [0.5, 0.5, 0.0]], [10, row_date], [10, 40],
            stop_loss=0.05, take_profit=0.25, stop_trading_next_period=stop_trading, **FREE)
    assert_allclose(r.value_path, [1.0, 1.0, 1.0, 0.25 + 0.325 + 0.225 + 0.225], rtol=RTOL)
    assert r.trades == [[0, 1, -1], [1, 1, -1], [2, 1, -1]]
    assert r.ops["actions"] == actions
    assert weights_of(r.ops, "next_weights") == next_weights
    assert weights_of(r.ops, "weights") == {0: 0.25, 1: 0.25, 2: 0.25}


@pytest.mark.parametrize("retain", [False, True])
def test_retained_cost_keeps_the_stop_reference_across_a_rebalance(retain):
    # Stop 0.05; row 1 (same weight 1, dated 30) rebalances on bar 3 at 97.
    # Retained: the stop still refers to the entry at 100, so 94 on bar 4 is below 0.95:
    # sold on bar 5 at 96.  Not retained: the reference restarts at 97, and 94, 96, 100
    # stay above 0.95 of it.
    prices = [100, 100, 97, 97, 94, 96, 100]
    r = run(market(prices), [[1.0], [1.0]], [10, 30], [10, 30], stop_loss=0.05,
            retain_cost_when_rebalance=retain, **FREE)
    if retain:
        assert_allclose(r.value_path, [1.0, 1.0, 0.97, 0.97, 0.94, 0.96, 0.96], rtol=RTOL)
        assert r.trades == [[0, 1, 5]]
        assert r.ops["actions"] == {0: "sl_"}
    else:
        assert_allclose(r.value_path, [1.0, 1.0, 0.97, 0.97, 0.94, 0.96, 1.0], rtol=RTOL)
        assert r.trades == [[0, 1, 3], [0, 3, -1]]
        assert r.ops["actions"] == {}
