"""What backtest_ sets up before its first bar: the published settings, the rebalance
schedule, the absolute exit thresholds and the position columns handed to the analysis."""

import ctypes

import numpy as np
import pytest

from mirelo.core import excursion, tradesim
from mirelo.core.tradesim import backtest_
from simcase import (FREE, RaisingBool, arrays, market, recorded_trades, run, run_case,
                     traceback_names)


# --- published settings ------------------------------------------------------------------------

@pytest.mark.parametrize("retain, periodic", [(True, False), (False, True), (True, True),
                                              (False, False)])
def test_settings_published(retain, periodic):
    backtest_(**arrays(market([1.0, 2.0]), [1.0], [0], [10]), retain_cost_when_rebalance=retain,
              periodically_rebalance=periodic)
    assert tradesim.RETAIN_COST_WHEN_REBALANCE is retain
    assert tradesim.RESAMPLE is periodic


@pytest.mark.parametrize("retain, periodic", [(np.bool_(True), 0), ("", [0])])
def test_settings_published_as_bools(retain, periodic):
    backtest_(**arrays(market([1.0, 2.0]), [1.0], [0], []), retain_cost_when_rebalance=retain,
              periodically_rebalance=periodic)
    assert tradesim.RETAIN_COST_WHEN_REBALANCE is bool(retain)
    assert tradesim.RESAMPLE is bool(periodic)


def test_settings_kept_after_a_failure_inside_the_run(monkeypatch):
    monkeypatch.setattr(tradesim, "RESAMPLE", None)
    monkeypatch.setattr(tradesim, "RETAIN_COST_WHEN_REBALANCE", None)
    held = arrays(market([1.0, 0.0, 1.0]), [1.0], [0], [10])   # the held stock's price becomes 0
    with pytest.raises(ValueError):
        backtest_(**held, retain_cost_when_rebalance=True, periodically_rebalance=False)
    assert tradesim.RETAIN_COST_WHEN_REBALANCE is True
    assert tradesim.RESAMPLE is False


def test_failure_inside_the_run_keeps_previous_stock_operations():
    held = arrays(market([1.0, 2.0, 4.0]), [1.0], [0], [10])
    backtest_(**held)
    ops = tradesim.get_trade_stocks(held["pos_columns"], held["price_index"], False)[1]
    with pytest.raises(ZeroDivisionError):
        backtest_(**held, stop_trading_next_period=RaisingBool())
    assert tradesim.get_trade_stocks(held["pos_columns"], held["price_index"], False)[1] is ops


# --- rebalance schedule ------------------------------------------------------------------------
#
# Bars are dated 10, 20, 30, 40 and a new row of weight 1.0 is dated with every bar, so every
# flagged bar triggers a rebalance on the bar after it.  Each rebalance of a held position
# closes its trade and opens a new one (settings published as periodic, cost not retained),
# so the entry bars of the trades are the rebalance bars; a flag on the last bar shows as
# the action the next run would take.

def flagged_bars(resample):
    r = run(market([1.0, 2.0, 4.0, 8.0]), [[1.0]] * 4, [10, 20, 30, 40], resample, **FREE)
    flags = sorted({entry - 1 for _, entry, _ in r.trades})
    if r.ops["actions"]:       # "enter" or "hold", due on the bar after the last
        assert list(r.ops["actions"]) == [0]
        flags.append(3)
    return flags, r


@pytest.mark.parametrize("resample, flags", [
    ([20, 35], [1, 2]),
    ([5], [0]),
    ([100], [3]),
    ([25, 26, 29], [1]),
    ([30, 20], [2]),
    ([], []),
    ([10], [0]),
    ([10, 20, 30, 40], [0, 1, 2, 3]),
    ([-2**63, 2**63 - 1], [0, 3]),
    ([40, 10], [3]),
])
def test_rebalance_flags(resample, flags):
    assert flagged_bars(resample)[0] == flags


def test_flagged_bars_shape_the_value_path():
    # [20, 35]: bought at 4 on bar 2, resized on bar 3 (at 8) with no fee.
    _, r = flagged_bars([20, 35])
    assert (r.value_path.tolist(), r.trades) == ([1.0, 1.0, 1.0, 2.0], [[0, 2, 3], [0, 3, -1]])
    # [5]: bought at 2 on bar 1.
    _, r = flagged_bars([5])
    assert (r.value_path.tolist(), r.trades) == ([1.0, 1.0, 2.0, 4.0], [[0, 1, -1]])


def test_empty_price_calendar_flags_nothing():
    # backtest_ alone: a market refuses a price row without a date.
    path = backtest_(**arrays(market([[1.0]], dates=[]), [1.0], [0], [5, 100]))
    assert path.dtype == np.float64 and path.shape == (0,)
    assert excursion.trades == []
    assert tradesim.get_stock_operations()["actions"] == {}


def test_bars_before_the_first_position_date_are_one():
    # Bars 0 and 1 precede the first row (dated 25); bar 2 is flagged, so bar 3 buys at 8.
    r = run(market([1.0, 2.0, 4.0, 8.0, 16.0]), [1.0], [25], [30], **FREE)
    assert r.value_path.tolist() == [1.0, 1.0, 1.0, 1.0, 2.0]
    assert r.trades == [[0, 3, -1]]


def test_flag_on_a_bar_before_the_first_position_date_is_not_acted_on():
    r = run(market([1.0, 2.0, 4.0, 8.0, 16.0]), [1.0], [25], [5], **FREE)
    assert r.value_path.tolist() == [1.0] * 5
    assert r.trades == []


# --- absolute thresholds -----------------------------------------------------------------------

# Bought at 1.0 on bar 1; 1.25 on bar 2, then down to 0.85.
STOP_PRICES = [1.0, 1.0, 1.25, 1.1, 0.85, 0.85, 0.85]


def stop_run(**rules):
    return run(market(STOP_PRICES), [1.0], [0], [10], **rules)


@pytest.mark.parametrize("name, value", [
    ("stop_loss", 0.1), ("take_profit", 0.2), ("trail_stop", 0.1),
    ("trail_stop_activation", 0.2), ("stop_loss", np.inf), ("take_profit", 0.0)])
@pytest.mark.parametrize("touched", [False, True])
def test_negative_thresholds_act_as_their_absolute_value(name, value, touched):
    options = dict(touched_exit=touched)
    if name == "trail_stop_activation":
        options["trail_stop"] = 0.1
    positive = stop_run(**options, **{name: value}).summary()
    negative = stop_run(**options, **{name: -value}).summary()
    assert negative == positive


@pytest.mark.parametrize("touched", [False, True])
def test_threshold_cases_do_exit(touched):
    # The comparisons above are not vacuous: each of these closes the trade early.
    for options in [dict(stop_loss=-0.1), dict(take_profit=-0.2),
                    dict(trail_stop=-0.1, trail_stop_activation=-0.2)]:
        assert stop_run(touched_exit=touched, **options).trades[0][2] != -1, options


def test_negative_infinity_take_profit_means_never():
    soaring = arrays(market([1.0, 1.0, 100.0, 100.0]), [1.0], [0], [10])
    never = run_case(soaring, take_profit=-np.inf)
    assert never.summary() == run_case(soaring).summary()
    assert never.trades == [[0, 1, -1]]


# --- position columns without prices -----------------------------------------------------------

def exported_array(name):
    """The array that the excursion module's exported variable `name` holds now."""
    get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
    get_pointer.restype = ctypes.c_void_p
    get_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
    address = get_pointer(excursion.__pyx_capi__[name], b"PyArrayObject *")
    return ctypes.cast(address, ctypes.POINTER(ctypes.py_object))[0]


def test_position_columns_without_prices():
    # "X" and "Y" have no price column; with weight 0 they never trade.
    r = run(market([[1.0, 5.0], [2.0, 5.0], [4.0, 5.0]]), [0.0, 1.0, 0.0], [0], [10],
            pos_columns=["X", "A", "Y"], **FREE)
    assert r.value_path.tolist() == [1.0, 1.0, 2.0]
    assert r.trades == [[1, 1, -1]]
    # The analysis run of backtest_ is sized for all three position columns.
    assert len(exported_array("entry")) == 3
    assert len(exported_array("position")) == 3
    assert exported_array("entry").tolist() == [0, 1, 0]
    assert exported_array("position").tolist() == [0.0, 1.0, 0.0]


# --- NumPy calls of the setup, through the module global org_np ----------------------------------

class RecordingNumpy:
    """Stands in for the engine's org_np: records empty() and ones(), delegates the rest."""

    def __init__(self):
        self.calls = []
        self.empty_result = None

    def __getattr__(self, name):
        return getattr(np, name)

    def empty(self, *args, **kwargs):
        self.calls.append(("empty", args, kwargs))
        self.empty_result = np.empty(*args, **kwargs)
        return self.empty_result

    def ones(self, *args, **kwargs):
        self.calls.append(("ones", args, kwargs))
        return np.ones(*args, **kwargs)


def setup_case():
    return arrays(market([[1.0, 1.0], [2.0, 2.0], [4.0, 4.0]]), [1.0], [0], [10], ["B"])


def test_value_path_and_work_arrays_come_from_org_np(monkeypatch):
    fake = RecordingNumpy()
    monkeypatch.setattr(tradesim, "org_np", fake)
    path = backtest_(**setup_case(), **FREE)
    assert path is fake.empty_result
    assert path.tolist() == [1.0, 1.0, 2.0]
    # empty(bars, dtype=float64); ones three times per position column, once per price column.
    assert fake.calls == [("empty", (3,), {"dtype": np.float64}), ("ones", (1,), {}),
                          ("ones", (1,), {}), ("ones", (1,), {}), ("ones", (2,), {})]


@pytest.mark.parametrize("which, result, error, message", [
    ("empty", lambda n, **k: [0.0] * n, TypeError, "Cannot convert list to numpy.ndarray"),
    ("empty", lambda n, **k: np.zeros(n, dtype=np.int64), ValueError,
     "Buffer dtype mismatch, expected 'float64_t' but got 'long'"),
    ("ones", lambda n: np.ones((n, 1)), ValueError,
     "Buffer has wrong number of dimensions (expected 1, got 2)"),
    ("ones", lambda n: (1.0,) * n, TypeError, "Cannot convert tuple to numpy.ndarray"),
])
def test_unusable_numpy_results(monkeypatch, which, result, error, message):
    backtest_(**arrays(market([1.0, 2.0]), [1.0], [0], [10]))   # a run with one trade
    before = recorded_trades()
    fake = RecordingNumpy()
    setattr(fake, which, result)
    monkeypatch.setattr(tradesim, "org_np", fake)
    with pytest.raises(error) as exc:
        backtest_(**setup_case())
    assert str(exc.value) == message
    assert traceback_names(exc.value)[-1] == "mirelo.core.tradesim.backtest_"
    assert recorded_trades() == before   # no analysis run was opened


def test_empty_position_matrix_fails():
    no_rows = dict(arrays(market([1.0, 2.0]), [1.0], [0], []), pos_values=np.zeros((0, 1)))
    with pytest.raises(IndexError):
        run_case(no_rows)
