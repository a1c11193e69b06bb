"""borrow_rate: the yearly fee on the shorts' money value, accrued by calendar day.

Bars are business days from Monday 2024-01-01 (framecase): bar 4 is a Friday, bar 5 the
Monday after it.
"""

import math

import numpy as np
import pandas as pd
import pytest

import mirelo
from framecase import FREE, frame, random_market, weights
from mirelo.core import tradesim
from simcase import assert_holdings_reconcile
from sweepcase import CLOSE, WEIGHTS
from sweepcase import run as sweep

# A is sold short and B bought on Friday (the row of Thursday), A covered on Tuesday (the
# row of Monday); A falls from 10 to 8 on Monday.
CLOSE_AB = frame([[10, 10]] * 5 + [[8, 10]] * 3)
SHORT_AND_LONG = weights([[-0.5, 0.5], [0.0, 0.5]], [3, 5])


def test_a_short_pays_from_the_bar_after_its_entry_through_its_exit_by_calendar_days():
    r = mirelo.backtest(CLOSE_AB, SHORT_AND_LONG, borrow_rate=0.365, **FREE)
    # Monday: three days on the 0.5 short at Friday's close, 0.365 x 0.5 x 3 / 365; Tuesday:
    # one day on the 0.4 it was worth at Monday's close, then it is covered.  The long pays
    # nothing.
    fees = [0, 0, 0, 0, 0, 0.0015, 0.0004, 0]
    np.testing.assert_allclose(r.run_result.costs, fees, rtol=1e-14, atol=0)
    np.testing.assert_allclose(r.value, [1, 1, 1, 1, 1, 1.0985, 1.0981, 1.0981], rtol=1e-14)
    np.testing.assert_allclose(r.costs, np.array(fees) / r.value.shift(fill_value=1.0),
                               rtol=1e-14)
    # Tuesday's cash: less the fee and the 0.4 cover, and the 0.04905 that brings B to half
    # of the value, 1.0981.
    np.testing.assert_allclose(r.run_result.cash, [1, 1, 1, 1, 1, 0.9985, 0.54905, 0.54905],
                               rtol=1e-14)
    assert_holdings_reconcile(r.run_result)  # cash + holdings is the value, bit for bit
    # The fee is one of the bar's costs: the contributions still add up to the returns.
    np.testing.assert_allclose(r.contribution().sum(axis=1), r.returns, rtol=0, atol=1e-15)


def test_longs_and_a_zero_rate_pay_nothing():
    longs = weights([[0.5, 0.5], [0.0, 0.5]], [3, 5])
    for w, rate in ((longs, 0.365), (SHORT_AND_LONG, 0.0)):
        charged = mirelo.backtest(CLOSE_AB, w, borrow_rate=rate, **FREE).run_result
        plain = mirelo.backtest(CLOSE_AB, w, **FREE).run_result
        for name in ("value", "cash", "costs", "holdings_value"):
            assert getattr(charged, name).tobytes() == getattr(plain, name).tobytes(), name


@pytest.mark.parametrize("rules", [dict(), dict(touched_exit=True, stop_loss=0.03,
                                                take_profit=0.05)], ids=["close", "touched"])
def test_without_the_record_a_run_pays_and_counts_the_same(rules):
    # Longs and shorts over 160 bars with exits and rebalances: the record reconciles with
    # the fee among the costs, and the run without it has the same value path and totals.
    prices, w = random_market(seed=4)
    w = w - w.shift(axis=1, fill_value=0.0)  # half of each row short
    args = dict(open=prices["open"], high=prices["high"], low=prices["low"], borrow_rate=0.2,
                **rules)
    recorded = mirelo.backtest(prices["close"], w, **args).run_result
    plain = mirelo.backtest(prices["close"], w, holdings=False, **args).run_result
    assert_holdings_reconcile(recorded)
    free = mirelo.backtest(prices["close"], w, **{**args, "borrow_rate": 0.0}).run_result
    assert recorded.costs.sum() > free.costs.sum()
    for name in ("value", "traded", "costs", "holdings_count"):
        assert getattr(plain, name).tobytes() == getattr(recorded, name).tobytes(), name


def test_a_sweep_over_the_rate_loses_more_the_higher_the_rate():
    rates = [0.0, 0.05, 0.2, 1.0]
    table = sweep({"borrow_rate": rates}, weights=-WEIGHTS).table
    assert list(table.borrow_rate) == rates and (table.status == "ok").all()
    assert table.total_return.is_monotonic_decreasing and table.total_return.is_unique
    assert table.costs.is_monotonic_increasing
    alone = mirelo.backtest(CLOSE, -WEIGHTS).stats()
    assert table.loc[0, "total_return"] == alone["total_return"]


@pytest.mark.parametrize("rate", [-0.01, math.nan, math.inf])
def test_a_rate_out_of_range_is_refused_and_backtest_takes_none(rate):
    with pytest.raises(ValueError, match=rf"^borrow_rate must be >= 0 and finite \(got {rate}\)$"):
        mirelo.backtest(CLOSE_AB, SHORT_AND_LONG, borrow_rate=rate)
    table = sweep({"borrow_rate": [rate]}).table
    assert table.error[0] == f"ValueError: borrow_rate must be >= 0 and finite (got {rate})"
    with pytest.raises(TypeError, match="borrow_rate"):
        tradesim.backtest_(*[None] * 11, borrow_rate=0.1)


def test_calendar_time_is_that_of_the_dates_not_of_the_bars():
    # The same short over the same bars, dated a week apart: seven times the fee a bar.
    weekly = pd.date_range("2024-01-05", periods=8, freq="7D")
    close = CLOSE_AB.set_axis(weekly)
    w = SHORT_AND_LONG.set_axis(weekly[[3, 5]])
    r = mirelo.backtest(close, w, borrow_rate=0.365, **FREE).run_result
    np.testing.assert_allclose(r.costs[5:7], [0.5 * 0.007, 0.4 * 0.007], rtol=1e-14)
