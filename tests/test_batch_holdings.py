"""The holdings record of Market.run (record_holdings=True) and the bar totals of every run
(traded, costs, holdings_count), worked out by hand.

Every scenario of simcase.run and of test_batch_vs_backtest also checks the record against
its value path (simcase.assert_holdings_reconcile), and the totals of a run without the
record against those of the same run with it; these pin their numbers and their plumbing.
"""

import pickle

import numpy as np
import pytest

from model.data import make_case
from simcase import COSTS, FREE, MARKET_ARGS, assert_holdings_reconcile, market, run, run_batch, signals
from mirelo.core import batch


def bar_rows(record, prefix):
    """[(sid, value), ...] of every bar, from the compressed rows `prefix`_offsets/sid/value."""
    offsets = getattr(record, f"{prefix}_offsets")
    sids, values = getattr(record, f"{prefix}_sid"), getattr(record, f"{prefix}_value")
    return [[(int(s), float(v)) for s, v in zip(sids[a:b], values[a:b])]
            for a, b in zip(offsets[:-1], offsets[1:])]


def approx_rows(rows):
    return [[(s, pytest.approx(v, rel=1e-12)) for s, v in row] for row in rows]


def test_buys_a_price_move_and_a_rebalance_with_costs():
    # Row 0 (dated bar 0) buys A and B at half each on bar 1 (fee 0.001 out of each
    # position); A rises 10% and B falls 10% on bar 2; row 1 (dated bar 2) moves everything
    # into A on bar 3: the balance 0.999 is A's target, so A buys 0.999 - 0.54945 = 0.44955
    # (fee 0.00044955, the position grows by the rest) and B is sold for 0.44955 less fee
    # and tax (0.0017982).
    prices = [[10, 20], [10, 20], [11, 18], [11, 18]]
    r = run(market(prices), [[0.5, 0.5], [1.0, 0.0]], [10, 30], [10, 30], **COSTS).record
    assert bar_rows(r, "holdings") == approx_rows([
        [], [(0, 0.4995), (1, 0.4995)], [(0, 0.54945), (1, 0.44955)], [(0, 0.99855045)]])
    assert bar_rows(r, "fills") == approx_rows([
        [], [(0, 0.4995), (1, 0.4995)], [], [(0, 0.44910045), (1, -0.44955)]])
    np.testing.assert_allclose(r.cash, [1.0, 0.0, 0.0, -0.0017982], rtol=1e-12, atol=1e-15)
    np.testing.assert_allclose(r.traded, [0.0, 0.999, 0.0, 0.89865045], rtol=1e-12)
    np.testing.assert_allclose(r.costs, [0.0, 0.001, 0.0, 0.00224775], rtol=1e-12)
    np.testing.assert_array_equal(r.holdings_count, [0, 2, 2, 1])


def test_holdings_are_valued_at_the_close_and_traded_at_the_trading_price():
    # Trading at the open (100, then 110): the position bought for 1.0 at 100 is worth
    # 1.0 x 105 / 100 at bar 1's close and 1.0 x 121 / 100 at bar 2's.
    opens = [100.0, 100.0, 110.0]
    closes = [100.0, 105.0, 121.0]
    r = run(market(opens, close=closes), [1.0], [10], [10], **FREE).record
    assert bar_rows(r, "holdings") == approx_rows([[], [(0, 1.05)], [(0, 1.21)]])
    assert bar_rows(r, "fills") == [[], [(0, 1.0)], []]


def test_a_touched_exit_leaves_no_holding_behind():
    # Bought at 100 on bar 1; bar 2 opens at 125, beyond the take-profit level 120: sold at
    # the open for 1.25. The engine keeps the stock's entry at 0 until the next rebalance;
    # the record holds nothing from bar 2 on.
    r = run(market([100, 100, 125, 125]), [1.0], [10], [10], take_profit=0.2,
            touched_exit=True, **FREE).record
    assert bar_rows(r, "holdings") == [[], [(0, 1.0)], [], []]
    assert bar_rows(r, "fills") == [[], [(0, 1.0)], [(0, -1.25)], []]
    np.testing.assert_array_equal(r.cash, [1.0, 0.0, 1.25, 1.25])
    np.testing.assert_array_equal(r.traded, [0.0, 1.0, 1.25, 0.0])


def test_an_exit_and_a_new_entry_on_one_bar_are_one_fill_net():
    # Bar 2 opens at 125, beyond the take-profit level: A is sold for 1.25 within the bar;
    # row 1 (dated bar 1) then buys it back on the same bar at half the balance (0.625).
    r = run(market([100, 100, 125, 125]), [[1.0], [0.5]], [10, 20], [10, 20],
            take_profit=0.2, touched_exit=True, stop_trading_next_period=False, **FREE).record
    assert bar_rows(r, "fills")[2] == [(0, -0.625)]
    assert r.traded[2] == 1.875
    assert bar_rows(r, "holdings")[2] == [(0, 0.625)]


def test_the_record_is_optional_in_run_and_run_many_and_pickles():
    args = dict(market([[10, 20], [11, 19], [12, 18]]),
                **signals([[0.5, -0.5]], [10], [10], ["A", "B"]))
    m = batch.Market(*(args[k] for k in MARKET_ARGS))
    job = {k: args[k] for k in ("pos_values", "pos_index", "pos_columns", "resample")}
    plain, recorded, truthy = m.run_many([job, dict(job, record_holdings=True),
                                          dict(job, record_holdings=1)])
    assert plain.holdings_offsets is None and plain.cash is None and plain.fills_value is None
    for r in (recorded, truthy, pickle.loads(pickle.dumps(recorded))):
        np.testing.assert_array_equal(r.holdings_offsets, [0, 0, 2, 4])
        np.testing.assert_array_equal(r.holdings_sid, [0, 1, 0, 1])
    again = pickle.loads(pickle.dumps(plain))
    assert again.holdings_value is None
    for r in (plain, again):  # the totals come with every run (default fee 0.001425)
        np.testing.assert_array_equal(r.holdings_count, [0, 2, 2])
        np.testing.assert_allclose(r.traded, [0.0, 0.5 * (1 - 0.001425) + 0.5, 0.0], rtol=1e-15)
        np.testing.assert_allclose(r.costs, [0.0, 0.001425, 0.0], rtol=1e-15)


def test_a_holding_whose_value_rounds_to_nothing_is_no_holding():
    # A falls from 1 to 1e-323 on bar 2: its 0.1 of the balance becomes less than the
    # smallest double, 0, which the record leaves out as it leaves out a touched exit's.
    # Without the record the run counts it as the record does (simcase.recorded_run), though
    # nothing traded on that bar.
    prices = [[1.0, 1.0], [1.0, 1.0], [1e-323, 1.0], [1e-323, 1.1]]
    r = run(market(prices), [[0.1, 0.9]], [10], [10], **FREE).record
    assert bar_rows(r, "holdings") == approx_rows([[], [(0, 0.1), (1, 0.9)], [(1, 0.9)], [(1, 0.99)]])
    np.testing.assert_array_equal(r.holdings_count, [0, 2, 1, 1])


@pytest.mark.parametrize("prices, close, counts", [
    # The close of bar 3 is infinite: the flat entry is worth 0 x inf = NaN there.
    ([100, 100, 125, 125, 125], [100, 100, 125, np.inf, 125], [0, 1, 0, 1, 0]),
    # The price ratio of bar 4 overflows: the flat entry becomes NaN, a holding from then on.
    ([100, 100, 125, 1e-300, 1e300], None, [0, 1, 0, 0, 1]),
], ids=["infinite close", "ratio overflows"])
def test_a_flat_entry_counts_where_its_value_is_not_zero(prices, close, counts):
    # Bar 2 opens at 125, beyond the take-profit level 120: A is sold within the bar and
    # its entry waits at 0 for the next rebalance, which never comes.
    r = run(market(prices, close=close), [1.0], [10], [10], take_profit=0.2,
            touched_exit=True, **FREE).record
    np.testing.assert_array_equal(r.holdings_count, counts)


def held_by_trades(r):
    """The sids each bar of RunResult `r` ends holding, by its trades: a trade holds its
    stock from its entry bar to the bar before its exit (to the last bar when open)."""
    bars = len(r.value)
    held = [set() for _ in range(bars)]
    for t in r.trades:
        for i in range(int(t["entry_bar"]), bars if t["exit_bar"] < 0 else int(t["exit_bar"])):
            held[i].add(int(t["sid"]))
    return held


@pytest.mark.parametrize("rules", [
    dict(COSTS, stop_loss=0.04, take_profit=0.06),
    dict(COSTS, touched_exit=True, stop_loss=0.03, take_profit=0.05, trail_stop=0.02),
], ids=["close exits", "touched exits"])
@pytest.mark.parametrize("wide", [False, True], ids=["narrow", "wide"])
def test_many_holdings_are_recorded_as_the_trades_hold_them(rules, wide):
    # Thirty stocks held at once over 1,100 bars, with missing prices, shorts, exits and
    # delistings: the record matches the value path, and each bar holds what the trades
    # say.  Wide: the same stocks among 1,000 columns (8.8 MB a matrix), which the walk
    # reads fetching the next bar's cells ahead.
    case = make_case(23, n_bars=1100, n_price=30, n_rows=50, shorts=True, nan_rate=0.02, delisting=True)
    delisting = case.pop("delisting_bars")
    if wide:
        matrices = {k: np.zeros((1100, 1000)) for k in MARKET_ARGS[:5]}
        for k in matrices:
            matrices[k][:, 400:430] = case[k]
        names = np.array([f"X{j}" for j in range(1000)], dtype=object)
        names[400:430] = case["price_columns"]
        case = dict(case, **matrices, price_columns=names)
    r = run_batch(case, record_holdings=True, delisting_bars=delisting, **rules)
    assert_holdings_reconcile(r)
    sids = [set(map(int, r.holdings_sid[a:b])) for a, b in zip(r.holdings_offsets[:-1], r.holdings_offsets[1:])]
    assert sids == held_by_trades(r)
    assert max(len(s) for s in sids) > 8
