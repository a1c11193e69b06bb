"""batch.Market.run against tradesim.backtest_ on generated scenarios, compared exactly.

Every rule is drawn (fees, stops, take-profit, trailing stop, touched exits, caps, retained
cost, stop-trading, excursion windows, delistings, shorts, NaN prices, unpriced and shared
columns, late and unsorted dates): the value path, the trades, their profiles and the
final operations must be the same to the last bit, and a run that fails must fail with the
same exception and message. The holdings record of every successful run is checked against
its value path (simcase.assert_holdings_reconcile).
"""

from hypothesis import HealthCheck, given, settings

from model.data import case_strategy
from simcase import MARKET_ARGS, outcome

ARRAYS = MARKET_ARGS + ("pos_values", "pos_index", "pos_columns", "resample")


@settings(max_examples=2000, derandomize=True, deadline=None,
          suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
@given(case_strategy())
def test_batch_equals_backtest(case):
    args = {k: case[k] for k in ARRAYS}
    rules = {k: v for k, v in case.items() if k not in ARRAYS}
    delisting = rules.get("delisting_bars")
    if delisting is not None:
        # The market keeps one delisting bar per stock (run_batch takes the last one given
        # for a name): backtest_ gets that bar for every position column of the stock.
        by_name = dict(zip(args["pos_columns"], delisting))
        rules["delisting_bars"] = delisting.copy()
        rules["delisting_bars"][:] = [by_name[n] for n in args["pos_columns"]]
    outcome(args, **rules)      # checks that both engines agree, or fail alike
