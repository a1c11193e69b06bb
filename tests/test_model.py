"""Tests of the reference backtest model against hand-worked examples.

These pin the model itself, so that it can serve as an oracle for the compiled engine; none of
them needs the engine. Money examples use round numbers worked out in the comments.
"""

import math

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

from model import (Analysis, Book, map_columns, normalize_weight, rebalance_flags,
                   run_backtest, validate_trade_price)

nan, inf = math.nan, math.inf


class Recorder:
    """Stands in for the excursion run: logs what set_position reports."""

    def __init__(self):
        self.calls = []

    def record_entry(self, sid, weight, is_new):
        self.calls.append(("entry", sid, weight, is_new))

    def record_exit(self, sid, is_final):
        self.calls.append(("exit", sid, is_final))


def tiny(prices, *, close=None, high=None, low=None, open_=None, weights=((1.0,),),
         pos_dates=(10,), resample=(10,), names=None, **options):
    """A run over bars dated 10, 20, 30, ... with zero costs unless given. By default one
    position row dated at the first bar and a rebalance date flagging bar 0, so the
    portfolio is bought on bar 1."""
    def matrix(m, default):
        m = default if m is None else m
        m = np.array(m, dtype=np.float64)
        return m.reshape(len(m), -1)
    price = matrix(prices, None)
    n_bars, n_cols = price.shape
    names = names or [chr(ord("A") + k) for k in range(n_cols)]
    options.setdefault("fee_ratio", 0.0)
    options.setdefault("tax_ratio", 0.0)
    weights = np.array(weights, dtype=np.float64)
    return run_backtest(
        price, matrix(close, price), matrix(high, price), matrix(low, price),
        matrix(open_, price), np.arange(1, n_bars + 1, dtype=np.int64) * 10,
        np.array(names[:n_cols], dtype=object), weights,
        np.array(pos_dates, dtype=np.int64),
        np.array(options.pop("pos_columns", names[:weights.shape[1]]), dtype=object),
        np.array(resample, dtype=np.int64), **options)


# -- set_position and rebalance ---------------------------------------------------------------

FEE, TAX = 0.001, 0.003


@pytest.mark.parametrize("held, target, cash, new_cash, new_holding", [
    # buy new: cash 10000 - 1000; holding 1000 - fee 1
    (None, 1000.0, 10000.0, 9000.0, 999.0),
    # long 1000 -> 400 reduces: +600 - (fee + tax) 2.4
    (1000.0, 400.0, 0.0, 597.6, 400.0),
    # long 400 -> 1000 adds: -600; the fee 0.6 comes out of the position
    (400.0, 1000.0, 0.0, -600.0, 999.4),
    # short -1000 -> -1500 adds: +500 - fee 0.5
    (-1000.0, -1500.0, 0.0, 499.5, -1500.0),
    # short -1500 -> -500 buys back: -1000; fee + tax 4 come out of the position
    (-1500.0, -500.0, 0.0, -1000.0, -504.0),
])
def test_set_position_money(held, target, cash, new_cash, new_holding):
    holdings = {} if held is None else {3: held}
    out = Book(Recorder()).set_position(holdings, 3, target, cash, FEE, TAX)
    assert out == pytest.approx(new_cash, rel=1e-12)
    assert holdings[3] == pytest.approx(new_holding, rel=1e-12)


def test_set_position_sell_to_zero_and_untouched_flat_stock():
    rec = Recorder()
    holdings = {3: 999.0}
    # 9000 + 999 - 999 x 0.004 = 9995.004
    assert Book(rec).set_position(holdings, 3, 0.0, 9000.0, FEE, TAX, True, True) == \
        pytest.approx(9995.004, rel=1e-12)
    assert holdings == {} and rec.calls == [("exit", 3, 1)]

    holdings = {3: 999.0}
    Book(rec).set_position(holdings, 3, 0.0, 9000.0, FEE, TAX, False, False)
    assert holdings == {3: 0.0}  # left in place at 0 without erase_if_flat

    rec.calls.clear()
    holdings = {1: 5.0}
    assert Book(rec).set_position(holdings, 3, 0.0, 42.0, FEE, TAX) == 42.0
    assert holdings == {1: 5.0} and rec.calls == []


def test_set_position_trade_records():
    rec = Recorder()
    Book(rec).set_position({}, 2, 1000.0, 10000.0, FEE, TAX, True, True, 4000.0)
    assert rec.calls == [("entry", 2, 0.25, 1)]

    # A resize splits the trade unless the cost is retained or rebalancing is not periodic.
    for retain, periodic, expected in [(False, True, [("exit", 2, 0), ("entry", 2, 0.5, 0)]),
                                       (True, True, []), (False, False, [])]:
        rec = Recorder()
        Book(rec, retain, periodic).set_position({2: 999.0}, 2, 2000.0, 0.0, FEE, TAX,
                                                 True, True, 4000.0)
        assert rec.calls == expected


def test_rebalance_scales_caps_and_keeps_cash():
    rec = Recorder()
    holdings = {}
    # Gross 1.5 > 1: scale 1200 / 1.5 = 800, so 400 each and no cash left.
    cash = Book(rec).rebalance(holdings, np.array([0.5, 0.5, 0.5]), 1200.0, 0.0, 0.0, 1.0)
    assert holdings == pytest.approx({0: 400.0, 1: 400.0, 2: 400.0}) and cash == pytest.approx(0)
    assert [c[2] for c in rec.calls] == pytest.approx([1 / 3] * 3)

    holdings = {}
    cash = Book(Recorder()).rebalance(holdings, np.array([0.2, 0.3]), 1200.0, 0.0, 0.0, 1.0)
    assert holdings == pytest.approx({0: 240.0, 1: 360.0}) and cash == pytest.approx(600.0)

    holdings = {}
    Book(Recorder()).rebalance(holdings, np.array([0.5, -0.5, 0.0]), 1000.0, 0.0, 0.0, 0.3)
    assert holdings == pytest.approx({0: 300.0, 1: -300.0})


def test_rebalance_nan_weight_and_nan_holding():
    holdings = {}
    # A NaN weight is refused before anything trades.
    with pytest.raises(ValueError, match="^Stock B has a NaN weight in position row 3$"):
        Book(Recorder(), pos_columns=["A", "B", "C"]).rebalance(
            holdings, np.array([0.5, nan, 0.8]), 1000.0, 0.0, 0.0, 1.0, 3)
    assert holdings == {}

    rec = Recorder()
    holdings = {0: nan}
    Book(rec).rebalance(holdings, np.array([0.5, 0.5]), 100.0, 0.0, 0.0, 0.1)
    # Balance NaN: scale 1, the NaN cap caps nothing, the reported weights are NaN.
    assert holdings[1] == 0.5
    assert [c[:2] for c in rec.calls] == [("exit", 0), ("entry", 0), ("entry", 1)]
    assert all(math.isnan(c[2]) for c in rec.calls if c[0] == "entry")


def test_rebalance_refuses_weighted_stock_without_prices():
    book = Book(Recorder(), col_map={0: 0}, pos_columns=np.array(["A", "B"], dtype=object))
    holdings = {}
    with pytest.raises(ValueError) as err:
        book.rebalance(holdings, np.array([0.5, 0.5]), 1.0, 0.0, 0.0, 1.0)
    assert str(err.value) == "Stock B has a non-zero weight but no trading prices"
    assert holdings == {0: 0.5}  # columns before the failing one stay done
    holdings = {}
    book.rebalance(holdings, np.array([0.5, 0.0]), 1.0, 0.0, 0.0, 1.0)
    assert holdings == {0: 0.5}


def test_rebalance_from_negative_balance_only_closes():
    rec = Recorder()
    holdings = {0: 100.0, 1: -50.0}
    # Balance -150: every target is 0. Closing costs 0.4 and 0.2:
    # -200 + (100 - 0.4) + (-50 - 0.2) = -150.6
    cash = Book(rec).rebalance(holdings, np.array([0.5, 0.5, 0.5]), -200.0, FEE, TAX, 1.0)
    assert cash == pytest.approx(-150.6, rel=1e-12) and holdings == {}
    assert rec.calls == [("exit", 0, 1), ("exit", 1, 1)]


def test_negative_position_limit_is_rejected():
    with pytest.raises(ValueError, match="^position_limit must not be negative$"):
        tiny([100, 100], position_limit=-0.1)


# -- setup helpers, weight normalisation and price validation ---------------------------------

@pytest.mark.parametrize("resample, flags", [
    ([20, 35], [0, 1, 1, 0]), ([5], [1, 0, 0, 0]), ([100], [0, 0, 0, 1]),
    ([25, 26, 29], [0, 1, 0, 0]), ([30, 20], [0, 0, 1, 0]), ([], [0, 0, 0, 0]),
])
def test_rebalance_flag_sweep(resample, flags):
    assert rebalance_flags(np.array([10, 20, 30, 40]), np.array(resample)) == flags


def test_map_columns():
    assert map_columns(["A", "B", "C"], ["C", "A"]) == {0: 2, 1: 0}
    assert map_columns(["A", "B"], ["A", "X"]) == {0: 0}
    assert map_columns(["A", "A"], ["A"]) == {0: 1}
    assert map_columns(["A"], []) == {}
    assert map_columns(["\u00e9"], ["e\u0301"]) == {}  # bytes differ, not text


@pytest.mark.parametrize("weights, limit, expected", [
    ({"a": 0.5, "b": 0.5}, 1.0, {"a": 0.5, "b": 0.5}),
    ({"a": 0.6, "b": 0.6, "c": -0.3}, 1.0, {"a": 0.4, "b": 0.4, "c": -0.2}),
    ({"a": 0.6, "b": 0.6}, 0.3, {"a": 0.3, "b": 0.3}),
    ({"a": -0.9}, 0.5, {"a": -0.5}),
    ({}, 1.0, {}),
])
def test_normalize_weight(weights, limit, expected):
    assert normalize_weight(weights, limit) is weights
    assert weights == pytest.approx(expected)


@pytest.mark.parametrize("price, text", [(0.0, "0.0"), (-3.2, "-3.2"), (inf, "inf"),
                                         (-inf, "-inf")])
def test_validate_trade_price(price, text):
    validate_trade_price(nan, "AAA", 17)
    validate_trade_price(5e-324, "AAA", 17)
    with pytest.raises(ValueError) as err:
        validate_trade_price(price, "AAA", 17)
    assert str(err.value) == (f"Invalid trading price for AAA at price row 17: {text}. "
                              "Expected a positive finite price; check the trading-price "
                              "dataset.")


# -- exit rules -------------------------------------------------------------------------------
# Bars 10, 20, ...; the stock is bought with all the cash (1.0) on bar 1 at price 100.

def test_touched_stop_exits_at_the_level():
    # Bar 2: low 94 -> low level 0.94 <= 0.95: sold at entry 1.0 x 0.95.
    r = tiny([100, 100, 97, 99], low=[100, 100, 94, 99], stop_loss=-0.05, touched_exit=True)
    np.testing.assert_allclose(r.value_path, [1, 1, 0.95, 0.95], rtol=1e-12)
    assert r.trades == [[0, 1, 2]]
    # The closed holding (value 0) is reported at weight 0; bought again never.
    ops = r.stock_operations
    assert ops["actions"] == {0: "sl_"} and ops["weights"] == {0: 0} and ops["next_weights"] == {}


def test_close_mode_stop_is_strict_and_executes_next_bar():
    # Bar 2 closes exactly at 0.95: no exit. Bar 3 closes at 0.94: exit on bar 4 at 96.
    r = tiny([100, 100, 95, 94, 96, 97], stop_loss=0.05)
    assert r.trades == [[0, 1, 4]]
    np.testing.assert_allclose(r.value_path, [1, 1, 0.95, 0.94, 0.96, 0.96], rtol=1e-12)
    rows = r.trade_rows(np.array(["A"], dtype=object), np.arange(1, 7) * 10, False)
    # Signal dates 20/50, executions one bar later, 3 bars held.
    assert rows[0][1:5] == [20, 50, 30, 60] and rows[0][6:] == [3, 1, 4]


def test_close_mode_take_profit_is_inclusive():
    r = tiny([100, 100, 110, 120], take_profit=0.1)
    assert r.trades == [[0, 1, 3]]  # detected on bar 2 at exactly 1.1, sold on bar 3
    assert r.value_path[3] == pytest.approx(1.2)


@pytest.mark.parametrize("open_, low, high, value, action", [
    (90, 89, 96, 0.9, "sl_"),     # opens through the stop: sold at the open level 0.9
    (112, 111, 115, 1.12, "tp_"),  # opens above the take-profit: sold at 1.12, profit side
])
def test_touched_gap_exits_at_the_open(open_, low, high, value, action):
    r = tiny([100, 100, 95.5], open_=[100, 100, open_], low=[100, 100, low],
             high=[100, 100, high], stop_loss=0.05, take_profit=0.1, touched_exit=True)
    assert r.value_path[2] == pytest.approx(value, rel=1e-12)
    # Column 0 is labelled by the kind of its exit, not by the sign of its index.
    assert r.stock_operations["actions"] == {0: action}


def test_trailing_stop_arms_at_activation():
    # Max 1.25 >= 1.2 arms the trail: bound 1.15. 1.16 holds, 1.14 exits on the next bar.
    r = tiny([100, 100, 125, 116, 114, 114], trail_stop=0.1, trail_stop_activation=0.2)
    assert r.trades == [[0, 1, 5]]
    # Max 1.19 never arms it: 1.05 (below 1.19 - 0.1) is kept to the end.
    r = tiny([100, 100, 119, 105, 100], trail_stop=0.1, trail_stop_activation=0.2)
    assert r.trades == [[0, 1, -1]]


def test_short_stop_side_depends_on_mode():
    # Short 1.0 (cash 2.0). Touched: high level 1.11 >= 1.1, bought back at -1.1, stop side.
    r = tiny([100, 100, 105], high=[100, 100, 111], weights=[[-1.0]], stop_loss=0.1,
             touched_exit=True)
    assert r.value_path[2] == pytest.approx(0.9, rel=1e-12)
    assert r.stock_operations["actions"] == {0: "sl_"}
    # Close mode: a close at 1.1 crosses the upper bound (+); on the last bar it stays queued.
    r = tiny([100, 100, 110], weights=[[-1.0]], stop_loss=0.1)
    assert r.trades == [[0, 1, -1]]
    assert r.stock_operations["actions"] == {0: "tp"}


def test_touched_leftover_is_not_visited_again():
    # Stopped on bar 2; bar 4's high would trip the short-side stop of a 0 holding.
    r = tiny([100, 100, 95, 100, 104, 104], low=[100, 100, 94, 100, 104, 104],
             high=[100, 100, 95, 100, 110, 104], stop_loss=0.05, touched_exit=True)
    assert r.trades == [[0, 1, 2]]
    assert r.stock_operations["actions"] == {0: "sl_"}


# -- bar loop ---------------------------------------------------------------------------------

def test_bars_before_first_position_date_and_nan_prices():
    # Positions from date 30: bars 0-1 are flat at 1 (no record_date, no schedule). Bar 2
    # flags, bar 3 buys at 100; bar 4 has no price (carried), bar 5 compares 120 with 100.
    r = tiny([90, 95, 100, 100, nan, 120], close=[90, 95, 100, 100, 110, 120],
             pos_dates=[30], resample=[10, 30])
    np.testing.assert_allclose(r.value_path, [1, 1, 1, 1, 1, 1.2], rtol=1e-12)
    assert r.trades == [[0, 3, -1]]


def test_due_exit_kept_by_rebalance_when_trading_continues():
    # Stop detected on bar 2 (close 0.9); bar 3 (96, above the stop again) rebalances a new
    # row with weight 0.5.
    args = dict(weights=[[1.0], [0.5]], pos_dates=[10, 25], resample=[10, 30],
                stop_loss=0.05)
    kept = tiny([100, 100, 90, 96, 96], stop_trading_next_period=False, **args)
    # Not sold: resized from 0.96 to 0.48, which splits the trade at the new weight.
    assert kept.trades == [[0, 1, 3], [0, 3, -1]] and kept.trade_positions == [1.0, 0.5]
    assert kept.stock_operations["weights"] == {0: 0.5}
    stopped = tiny([100, 100, 90, 96, 96], **args)
    assert stopped.trades == [[0, 1, 3]]  # sold at 96, and left out of the rebalance
    assert stopped.value_path[4] == pytest.approx(0.96)
    assert stopped.stock_operations["weights"] == {}


def test_shared_price_column_marks_every_holding():
    r = tiny([100, 100, 110], weights=[[0.5, 0.5]], pos_columns=["A", "A"])
    np.testing.assert_allclose(r.value_path, [1, 1, 1.1], rtol=1e-12)


def test_delisting_closes_with_costs():
    # Two stocks at 0.5 each; B delisted on bar 2: 0.5 x 1.1 less 0.4% -> 0.5478 cash.
    r = tiny([[100, 100], [100, 100], [100, 110], [100, 120]], weights=[[0.5, 0.5]],
             tax_ratio=0.004, delisting_bars=np.array([-1, 2]))
    assert r.trades == [[1, 1, 2], [0, 1, -1]]
    assert r.value_path[3] == pytest.approx(0.5 + 0.5478, rel=1e-12)


def test_ruined_portfolio_is_closed_not_reopened():
    # Short 1.0 at 100 on bar 1 (cash 2); on bar 2 it is -4 at 400, the book -2, and the
    # new row (long 0.5) is due. It would open a position from a negative balance; instead
    # the short is closed: cash 2 - 4 = -2, flat afterwards.
    r = tiny([100, 100, 400, 400, 200], weights=[[-1.0], [0.5]], pos_dates=[10, 25],
             resample=[10, 20, 30, 40, 50], stop_loss=5.0)
    np.testing.assert_allclose(r.value_path, [1, 1, -2, -2, -2])
    assert r.trades == [[0, 1, 2]]


def test_unpriced_stock_with_weight_fails_the_run():
    tiny([100, 100], weights=[[0.5, 0.0]], pos_columns=["A", "X"])  # zero weight: fine
    with pytest.raises(ValueError, match="^Stock X has a non-zero weight but no trading"):
        tiny([100, 100], weights=[[0.5, 0.5]], pos_columns=["A", "X"])


def test_ledger_marks_execution_past_last_bar():
    # Bought on the last bar: its execution date would be bar 3, which does not exist.
    r = tiny([100, 100, 100], resample=[20])
    rows = r.trade_rows(np.array(["A"], dtype=object), np.array([10, 20, 30]), False)
    assert rows == [["A", 30, -1, -1, -1, r.trade_positions[0], 1, 2, -1]]


def test_final_actions_for_a_pending_rebalance():
    # Last bar flagged with a new row: sell A, keep B, buy C.
    r = tiny([[100] * 3] * 3, weights=[[0.5, 0.5, 0.0], [0.0, 0.5, 0.5]],
             pos_dates=[10, 25], resample=[10, 30])
    ops = r.stock_operations
    assert ops["actions"] == {0: "exit", 1: "hold", 2: "enter"}
    assert (ops["weight_time"], ops["next_weight_time"]) == (0, 1)
    assert ops["next_weights"] == {1: 0.5, 2: 0.5}


@settings(max_examples=40, deadline=None)
@given(seed=st.integers(0, 2**32 - 1), n_bars=st.integers(2, 30), n_cols=st.integers(1, 5))
def test_buy_and_hold_value_follows_prices(seed, n_bars, n_cols):
    # Without costs or stops, with trading price = close, one rebalance on bar 1 holds
    # w_k of the unit balance in stock k: value = 1 - sum(w) + sum(w_k p_k(t) / p_k(1)).
    rng = np.random.default_rng(seed)
    prices = rng.uniform(10, 100, size=(n_bars, n_cols))
    w = rng.uniform(0, 1, size=n_cols)
    w = w / w.sum() * rng.uniform(0.2, 1.0)
    r = tiny(prices, weights=[w])
    expected = np.ones(n_bars)
    expected[1:] = 1 - w.sum() + (w * prices[1:] / prices[1]).sum(axis=1)
    np.testing.assert_allclose(r.value_path, expected, rtol=1e-12)


# -- excursion profiles -----------------------------------------------------------------------

def profile(close, price=None, *, entry=0, exit_=None, window=0, step=1, fee=0.0, tax=0.0,
            position=1.0, is_new=1, final=True):
    """Profile of one trade on a single price column."""
    close = np.array(close, dtype=np.float64).reshape(-1, 1)
    price = close if price is None else np.array(price, dtype=np.float64).reshape(-1, 1)
    an = Analysis()
    an.start_analysis(price, close, {0: 0}, 1, fee, tax, window, step)
    an.record_date(entry)
    an.record_entry(0, position, is_new)
    an.record_date(len(close) - 1 if exit_ is None else exit_)
    if final:
        an.record_exit(0, 1)
    else:
        an.end_analysis({0: position})
    return an.excursion[0].reshape(-1, 6)


def test_profile_same_bar_trade():
    # r = 0.999 x 101/100 = 1.00899, then exit costs x 0.996 = 1.00495404
    p = profile([101], [100], fee=0.001, tax=0.003)
    np.testing.assert_allclose(p, [[0, 0.00899, 0.00899, 0, 1, 0.00495404]], rtol=1e-9)


@pytest.mark.parametrize("window, step, offsets", [(0, 1, []), (10, 5, [0, 5]),
                                                   (10, 3, [0, 3, 6, 9])])
def test_profile_sampling_layout(window, step, offsets):
    close = 100 + np.arange(20.0)  # returns 1 + k/100 at offset k
    p = profile(close, entry=2, exit_=12, window=window, step=step)
    assert len(p) == len(offsets) + 1
    np.testing.assert_allclose(p[:-1, 5], np.array(offsets) / 102 * 1.0, rtol=1e-9)
    assert p[-1, 5] == pytest.approx(10 / 102, rel=1e-9)  # exit group at offset 10


def test_profile_runs_out_of_bars():
    # Entered 3 bars before the last of 8 with window 10: offsets 0-3 written, 4-9 at -1.
    p = profile(np.linspace(100, 107, 8), entry=4, window=10, step=1)
    assert p.shape == (11, 6)
    assert (p[4:10] == -1).all() and (p[:4] != -1).any()
    np.testing.assert_array_equal(p[-1], p[3])


def test_profile_short_nan_and_favourable_before_adverse():
    # A short whose price halves: 2 - (2 - 1) x 0.5 = 1.5.
    p = profile([100, 50], position=-1.0, final=False)
    assert p[-1, 5] == pytest.approx(0.5)
    # A NaN close repeats the statistics and is not a profitable bar.
    p = profile([100, nan, 110], window=3, final=False)
    np.testing.assert_allclose(p[:3, 5], [0, 0, 0.1])
    np.testing.assert_array_equal(p[:3, 4], [0, 0, 1])
    # A NaN close at entry: returns NaN throughout, drawdown and profit bars stay 0.
    p = profile([nan, 100, 110], window=3, final=False)
    assert np.isnan(p[:3, 5]).all() and (p[:3, 3] == 0).all() and (p[:3, 4] == 0).all()
    # Never below break-even: no adverse excursion, favourable-before-adverse is run_max[0].
    p = profile([100, 105, 103, 108], window=4, final=False)
    assert (p[:, 0] == 0).all() and (p[:, 2] == 0).all()
    np.testing.assert_allclose(p[3, 3], 1.03 / 1.05 - 1)  # drawdown from the 1.05 peak


def test_profile_continues_past_an_early_exit():
    # Exit at bar 1 with window 3: bars 0-3 analysed; the exit group is bar 1 (close based),
    # the re-pricing at price 200 touches only bar 3's return.
    p = profile([100, 110, 120, 130], [100, 110, 120, 200], exit_=1, window=3)
    np.testing.assert_allclose(p[:, 5], [0, 0.1, 0.2, 0.1], rtol=1e-12)


def test_profile_of_sid_without_price_column():
    an = Analysis()
    close = np.array([[100.0, 1.0], [110.0, 1.0]])
    an.start_analysis(close, close, {}, 3, 0.0, 0.0, 0, 1)
    an.record_date(0)
    an.record_entry(2, 0.5, 1)
    an.record_date(1)
    an.end_analysis({2: 0.5})
    assert an.col_map == {2: 0} and an.excursion[0][5] == pytest.approx(0.1)
    assert an.trades == [[2, 0, -1]]
