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
from simcase import MARKET_ARGS, Run, assert_engines_agree, recorded_run, run_batch
from tradesim_cases import excursion, tradesim

ARRAYS = MARKET_ARGS + ("pos_values", "pos_index", "pos_columns", "resample")


def outcome(call):
    try:
        return call()
    except Exception as exc:  # compared between the engines below
        return exc


def backtest_run(args, rules):
    value_path = tradesim.backtest_(**args, **rules)
    return Run(value_path=value_path,
               trades=[[int(x) for x in t] for t in excursion.trades],
               positions=[float(p) for p in excursion.trade_positions],
               profiles=list(excursion.excursion), rows=[],
               ops=tradesim.get_stock_operations())


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
    got = outcome(lambda: run_batch(args, **rules))
    want = outcome(lambda: backtest_run(args, rules))
    if isinstance(want, Exception):
        assert isinstance(got, Exception), f"batch succeeded where backtest_ raised {want!r}"
        assert (type(got), str(got)) == (type(want), str(want))
        return
    assert not isinstance(got, Exception), f"batch raised {got!r}; backtest_ did not"
    assert_engines_agree(got, want)
    recorded_run(args, got, **rules)
