"""Module state after a failed run: argument errors change nothing; later failures leave the
published RESAMPLE / RETAIN_COST_WHEN_REBALANCE of the failed run, keep the previous run's
stock operations (the same dictionary), and the next valid run is exactly as before."""

import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import hostile_cases as hc
from mirelo.core import excursion, tradesim

TESTS_DIR = Path(__file__).resolve().parent


def good_case():
    # Published as RETAIN_COST_WHEN_REBALANCE = False, RESAMPLE = True.
    return hc.with_(hc.base_case(), retain_cost_when_rebalance=False, periodically_rebalance=True)


def ends_with_open_trades_only():
    # One rebalance and no stop: every trade is still open when the last bar is done, so the
    # first excursion analysis is that of end_analysis.
    return hc.with_(hc.base_case(), resample=np.array([10], dtype=np.int64), stop_loss=1.0,
                    delisting_bars=None)


def poisoned_held_price():
    case = hc.base_case()
    case["price_values"] = case["price_values"].copy()
    case["price_values"][2, 0] = 0.0  # A, held since bar 1
    return case


# name -> (arguments of the failing run, exception, whether its flags get published, whether
# the excursion module's analysis run was opened)
FAILURES = {
    "argument-conversion": (
        lambda: hc.with_(hc.base_case(), excursion_window=2**31), OverflowError, False, False),
    "buffer-check": (
        lambda: hc.with_(hc.base_case(), pos_index=np.array([10, 35], dtype=np.int32)),
        ValueError, False, False),
    "column-mapping": (
        hc.CASES["pos_columns-encode-raises"][2], RuntimeError, True, False),
    "run-setup": (lambda: hc.with_(hc.base_case(), pos_values=np.zeros((0, 3))),
                  IndexError, True, False),
    "bar-loop-price-guard": (poisoned_held_price, ValueError, True, True),
    "rebalance": (hc.CASES["pos-columns-shorter-weighted"][2], IndexError, True, True),
    "excursion-during-run": (
        lambda: hc.with_(hc.base_case(), excursion_window_step=0), ZeroDivisionError, True, True),
    "excursion-at-end": (
        lambda: hc.with_(ends_with_open_trades_only(), excursion_window_step=0),
        ZeroDivisionError, True, True),
}


@pytest.mark.parametrize("name", list(FAILURES))
def test_state_after_a_failed_run(name):
    build, error, publishes, opens_analysis = FAILURES[name]
    first = hc.run_full(good_case())
    ops = tradesim.get_trade_stocks(good_case()["pos_columns"], good_case()["price_index"],
                                    False)[1]
    lists = (excursion.trades, excursion.trade_positions, excursion.excursion)
    trades_before = hc.canon(list(excursion.trades))
    assert (tradesim.RETAIN_COST_WHEN_REBALANCE, tradesim.RESAMPLE) == (False, True)

    failing = hc.with_(build(), retain_cost_when_rebalance=True, periodically_rebalance=False)
    with pytest.raises(error):
        tradesim.backtest_(**failing)

    flags = (tradesim.RETAIN_COST_WHEN_REBALANCE, tradesim.RESAMPLE)
    assert flags == ((True, False) if publishes else (False, True))
    # The previous run's operations, as the same dictionary.
    assert tradesim.get_trade_stocks(good_case()["pos_columns"], good_case()["price_index"],
                                     False)[1] is ops
    assert hc.canon(tradesim.get_stock_operations()) == first["ops"]
    # The result lists are never replaced; without an analysis run they keep the old trades.
    assert (excursion.trades, excursion.trade_positions, excursion.excursion) == lists
    assert all(a is b for a, b in zip(
        (excursion.trades, excursion.trade_positions, excursion.excursion), lists))
    if not opens_analysis:
        assert hc.canon(list(excursion.trades)) == trades_before

    assert hc.run_full(good_case()) == first


def test_end_of_run_failure_after_a_run_of_other_shape():
    # The run before the failure had other stocks and bars; the one after must not see them.
    first = hc.run_full(good_case())
    small = hc.run_full(hc._small_case())
    assert small["ops"] != first["ops"]
    with pytest.raises(ZeroDivisionError):
        tradesim.backtest_(**hc.with_(ends_with_open_trades_only(), excursion_window_step=0))
    assert hc.canon(tradesim.get_stock_operations()) == small["ops"]
    assert hc.run_full(good_case()) == first


CHILD = f"""
import sys
sys.path.insert(0, {str(TESTS_DIR)!r})
import hostile_cases as hc
from mirelo.core import tradesim
args = hc.CASES[sys.argv[1]][2]()
try:
    tradesim.backtest_(**args)
except Exception as exc:
    print(type(exc).__name__)
print(tradesim.RETAIN_COST_WHEN_REBALANCE, tradesim.RESAMPLE, tradesim.get_stock_operations())
"""


@pytest.mark.parametrize("case, expected", [
    # An argument error changes nothing: the import-time values stay.
    ("window-2**31", "OverflowError\nFalse None {}"),
    # A failure in the bar loop has published the flags, but no operations exist yet.
    ("held-price-0.0", "ValueError\nFalse True {}"),
])
def test_first_run_of_the_process_fails(case, expected):
    done = subprocess.run([sys.executable, "-c", CHILD, case], capture_output=True, text=True,
                          timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == expected
