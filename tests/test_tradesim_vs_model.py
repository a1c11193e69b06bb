"""The compiled engine against the reference model, compared exactly.

For generated inputs both run the same backtest; value paths, trade records, excursion
profiles, the trade ledger and the stock operations must agree to the last bit (NaN equal to
NaN), and a run that fails must fail with the same exception and message in both.
"""

import importlib.util
import math

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings

from model import normalize_weight, run_backtest
from model.data import case_strategy, make_case

# Skip only while the engine module does not exist; once it does, import errors surface.
if importlib.util.find_spec("mirelo.core.tradesim") is None:
    tradesim = excursion_module = None
else:
    from mirelo.core import excursion as excursion_module
    from mirelo.core import tradesim

pytestmark = pytest.mark.skipif(not hasattr(tradesim, "backtest_"),
                                reason="mirelo.core.tradesim.backtest_ is not built yet")


def run_engine(case):
    try:
        value_path = tradesim.backtest_(**case)
    except Exception as exc:  # compared with the model's failure below
        return exc
    rows, ops = tradesim.get_trade_stocks(case["pos_columns"], case["price_index"],
                                          case.get("touched_exit", False))
    return dict(value_path=value_path, trades=list(excursion_module.trades),
                trade_positions=list(excursion_module.trade_positions),
                excursion=list(excursion_module.excursion), rows=rows,
                ops=tradesim.get_stock_operations(), ops_identity=ops)


def run_model(case):
    try:
        r = run_backtest(**case)
    except Exception as exc:
        return exc
    return dict(value_path=r.value_path, trades=r.trades, trade_positions=r.trade_positions,
                excursion=r.excursion, ops=r.stock_operations,
                rows=r.trade_rows(case["pos_columns"], case["price_index"],
                                  case.get("touched_exit", False)))


def same_number(a, b):
    a, b = float(a), float(b)
    return a == b or (math.isnan(a) and math.isnan(b))


def assert_same_weights(got, want, what):
    assert list(got) == list(want), f"{what}: keys {list(got)} != {list(want)}"
    for k in want:
        assert same_number(got[k], want[k]), f"{what}[{k}]: {got[k]!r} != {want[k]!r}"


def assert_same_run(case):
    got, want = run_engine(case), run_model(case)
    if isinstance(want, Exception):
        assert isinstance(got, Exception), f"engine succeeded where the model raised {want!r}"
        assert (type(got), str(got)) == (type(want), str(want))
        return
    if isinstance(got, Exception):
        raise AssertionError(f"engine raised {got!r}; the model did not") from got

    vp = got["value_path"]
    assert isinstance(vp, np.ndarray) and vp.dtype == np.float64 and vp.ndim == 1
    np.testing.assert_array_equal(vp, want["value_path"], err_msg="value_path")

    assert [[int(x) for x in t] for t in got["trades"]] == \
        [[int(x) for x in t] for t in want["trades"]], "trades"
    np.testing.assert_array_equal(np.array(got["trade_positions"], dtype=float),
                                  np.array(want["trade_positions"], dtype=float),
                                  err_msg="trade_positions")
    assert len(got["excursion"]) == len(want["excursion"])
    for k, (g, w) in enumerate(zip(got["excursion"], want["excursion"])):
        np.testing.assert_array_equal(g, w, err_msg=f"excursion profile {k}")

    assert len(got["rows"]) == len(want["rows"])
    for g, w in zip(got["rows"], want["rows"]):
        assert len(g) == 9 and g[0] == w[0], (g, w)
        assert [int(x) for x in g[1:5] + g[6:]] == [int(x) for x in w[1:5] + w[6:]], (g, w)
        assert same_number(g[5], w[5]), (g, w)

    ops, model_ops = got["ops"], want["ops"]
    assert got["ops_identity"] is not ops  # get_stock_operations hands out a copy
    assert list(ops) == ["actions", "weights", "next_weights", "weight_time",
                         "next_weight_time"]
    assert list(ops["actions"].items()) == list(model_ops["actions"].items()), "actions"
    assert_same_weights(ops["weights"], model_ops["weights"], "weights")
    assert_same_weights(ops["next_weights"], model_ops["next_weights"], "next_weights")
    assert (ops["weight_time"], ops["next_weight_time"]) == \
        (model_ops["weight_time"], model_ops["next_weight_time"])


CONFIGS = {
    "defaults": dict(fee_ratio=0.001425, tax_ratio=0.003),
    "close_stops": dict(stop_loss=0.05, take_profit=0.1),
    "touched_stops": dict(touched_exit=True, stop_loss=0.05, take_profit=0.1),
    "trailing_close": dict(trail_stop=0.05, trail_stop_activation=0.05, shorts=True),
    "trailing_touched": dict(touched_exit=True, trail_stop=0.05, trail_stop_activation=0.05,
                             shorts=True, odd_ranges=True),
    "retain_cost": dict(retain_cost_when_rebalance=True, stop_loss=0.08, shorts=True),
    "keep_trading": dict(stop_trading_next_period=False, stop_loss=0.05, take_profit=0.1),
    "keep_trading_touched": dict(stop_trading_next_period=False, stop_loss=0.05,
                                 touched_exit=True),
    "not_periodic": dict(periodically_rebalance=False, stop_loss=0.05),
    "delisting": dict(delisting=True, touched_exit=True, stop_loss=0.1),
    "position_limit": dict(position_limit=0.3, gross=1.7, shorts=True),
    "window": dict(excursion_window=10, excursion_window_step=3, late_positions=True),
    "nan_prices": dict(nan_rate=0.15, trade_at="open", stop_loss=0.05, touched_exit=True),
    "nan_prices_close": dict(nan_rate=0.15, trade_at="mid", take_profit=0.1,
                             nan_weight=True),
    "shared_and_unpriced": dict(shared_column=True, unpriced_column=True, n_pos=5,
                                resample_mode="unsorted"),
}


@pytest.mark.parametrize("seed", range(4))
@pytest.mark.parametrize("config", list(CONFIGS))
def test_fixed_cases(config, seed):
    assert_same_run(make_case(seed, n_bars=40, n_price=6, **CONFIGS[config]))


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(case=case_strategy())
def test_generated_cases(case):
    assert_same_run(case)


def one_column_case(prices, weights, pos_dates, **options):
    """One stock "A" on bars dated 10, 20, ...; rebalance dates flag every bar."""
    price = np.array(prices, dtype=np.float64).reshape(len(prices), -1)
    names = np.array([chr(ord("A") + k) for k in range(price.shape[1])], dtype=object)
    dates = np.arange(1, len(price) + 1, dtype=np.int64) * 10
    return dict(price_values=price, close_values=price.copy(), high_values=price.copy(),
                low_values=price.copy(), open_values=price.copy(), price_index=dates,
                price_columns=names, pos_values=np.array(weights, dtype=np.float64),
                pos_index=np.array(pos_dates, dtype=np.int64), pos_columns=names,
                resample=dates, fee_ratio=0.0, tax_ratio=0.0, **options)


def test_cash_of_minus_one_is_not_an_error():
    # B doubles; the new row buys A for 1.0 before selling B, so cash is exactly -1.0 between.
    assert_same_run(one_column_case([[100, 100], [100, 100], [100, 200], [100, 200]],
                                    [[0.0, 1.0], [0.5, 0.5]], [10, 25]))


def test_ruined_portfolio_only_closes():
    # Short 1.0 at 100; at 400 the book is worth -2, so the rebalance on bar 2 only closes.
    assert_same_run(one_column_case([100, 100, 400, 400, 200], [[-1.0], [0.5]], [10, 25],
                                    stop_loss=5.0))


def test_failures_match():
    # A weighted stock without prices, and an invalid trading price of a held stock.
    assert_same_run(make_case(1, unpriced_column=True, unpriced_weighted=True))
    case = make_case(2, n_bars=20, n_price=3)
    case["price_values"][-1, :] = 0.0
    assert isinstance(run_model(case), ValueError)
    assert_same_run(case)
    assert_same_run(make_case(3, position_limit=-0.5))


def test_normalize_weight_matches():
    rng = np.random.default_rng(7)
    for n in range(8):
        for limit in (1.0, 0.3, 0.05):
            weights = {k: float(v) for k, v in enumerate(rng.normal(0, 0.4, size=n))}
            got = tradesim.normalize_weight(dict(weights), limit)
            assert_same_weights(got, normalize_weight(dict(weights), limit), "weights")
