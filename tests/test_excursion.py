"""Analysis runs of mirelo.core.excursion, driven through its bound entry points."""

import math
import traceback

import numpy as np
import pytest

from excursion_twin import Twin
from mirelo.core import excursion

PRICE = np.array([[10.0, 20.0, 5.0], [11.0, 19.0, 5.5], [12.0, 18.0, 6.0], [9.0, 21.0, 6.5],
                  [10.0, 22.0, 6.0]])
CLOSE = PRICE * 1.01
COL_MAP = {0: 0, 1: 1, 2: 2}
FEE, TAX = 0.001425, 0.003


def start(probe, price=PRICE, close=CLOSE, col_map=COL_MAP, stock_count=3, window=3, step=1):
    probe.start_analysis(price, close, col_map, stock_count, FEE, TAX, window, step)


def entry_point_names(exc):
    return [f.name for f in traceback.extract_tb(exc.__traceback__)
            if f.name.startswith("mirelo.core.excursion.")]


def test_run_records_trades_positions_and_profiles(probe):
    twin = Twin(probe)
    twin.start_analysis(PRICE, CLOSE, COL_MAP, 3, FEE, TAX, 3, 1)
    twin.record_date(0)
    twin.record_entry(0, 1000.0, 1)
    twin.record_entry(1, -500.0, 1)
    twin.record_date(2)
    twin.record_exit(0, 0)  # a rebalance split: no exit costs
    twin.record_entry(0, 800.0, 0)  # re-entry without entry commission
    twin.record_date(4)
    twin.record_exit(1, 1)
    assert twin.end_analysis({0: 800.0, 1: 0.0, 2: 0.0}) is None

    assert excursion.trades == [[0, 0, 2], [1, 0, 4], [0, 2, -1]]
    assert [type(x) for x in excursion.trades[0]] == [int, np.int64, int]
    assert excursion.trade_positions == [1000.0, -500.0, 800.0]
    assert all(type(p) is np.float64 for p in excursion.trade_positions)
    twin.assert_same_results()


def test_second_run_empties_and_refills_the_same_lists(probe):
    start(probe)
    probe.record_date(1)
    probe.record_entry(2, 1.0, 1)
    probe.record_exit(2, 1)
    lists = (excursion.trades, excursion.trade_positions, excursion.excursion)
    assert [len(x) for x in lists] == [1, 1, 1]

    start(probe)
    assert [len(x) for x in lists] == [0, 0, 0]
    probe.record_date(3)
    probe.record_entry(1, -2.0, 1)
    probe.record_exit(1, 1)
    assert excursion.trades is lists[0] and excursion.trade_positions is lists[1]
    assert excursion.excursion is lists[2]
    assert lists[0] == [[1, 3, 3]] and lists[1] == [-2.0]


def test_exit_without_new_entry_analyses_the_old_entry_again(probe):
    start(probe)
    probe.record_date(1)
    probe.record_entry(0, 1.0, 1)
    probe.record_date(2)
    probe.record_exit(0, 1)
    probe.record_date(3)
    probe.record_exit(0, 1)
    assert excursion.trades == [[0, 1, 2], [0, 1, 3]]


def test_end_analysis_with_nothing_open_appends_nothing(probe):
    start(probe)
    probe.record_date(1)
    probe.record_entry(0, 1.0, 1)
    probe.record_exit(0, 1)
    before = [list(x) for x in (excursion.trades, excursion.trade_positions)]
    assert probe.end_analysis({}) is None
    assert probe.end_analysis({0: 0.0, 1: -0.0, 2: 0.0}) is None
    assert [excursion.trades, excursion.trade_positions] == before
    assert len(excursion.excursion) == 1


def test_end_analysis_lists_open_trades_in_sid_order(probe):
    twin = Twin(probe)
    twin.start_analysis(PRICE, CLOSE, COL_MAP, 3, FEE, TAX, 3, 1)
    twin.record_date(1)
    twin.record_entry(2, 5.0, 1)
    twin.record_date(3)
    # sid 0 never entered in this run: entry bar 0, position 0.0 (a short);
    # a NaN holding is not 0.0.
    twin.end_analysis({2: 1.0, 1: 0.0, 0: math.nan})
    assert excursion.trades == [[0, 0, -1], [2, 1, -1]]
    assert excursion.trade_positions == [0.0, 5.0]
    twin.assert_same_results()


class Halved(np.ndarray):
    """Indexing gives half the stored value."""

    def __getitem__(self, key):
        return super().__getitem__(key) / 2


def test_a_matrix_with_its_own_indexing_is_read_through_it(probe):
    close = CLOSE.view(Halved)
    twin = Twin(probe)
    twin.start_analysis(PRICE, close, COL_MAP, 3, FEE, TAX, 3, 1)
    twin.record_date(1)
    twin.record_entry(0, 1.0, 1)
    twin.record_date(3)
    twin.record_exit(0, 1)
    twin.assert_same_results()
    assert excursion.excursion[0][5] < -0.4  # closes at half the trade price


# ---- failures ---------------------------------------------------------------

@pytest.mark.parametrize("price, close, message", [
    (PRICE[0], CLOSE, "Buffer has wrong number of dimensions (expected 2, got 1)"),
    (PRICE, CLOSE[None], "Buffer has wrong number of dimensions (expected 2, got 3)"),
    (PRICE.astype(np.int64), CLOSE, "Buffer dtype mismatch, expected 'float64_t' but got 'long'"),
    (PRICE, CLOSE.astype(np.float32), "Buffer dtype mismatch, expected 'float64_t' but got 'float'"),
])
def test_start_analysis_checks_the_matrices(probe, price, close, message):
    start(probe)
    probe.record_date(0)
    probe.record_entry(0, 1.0, 1)
    probe.record_exit(0, 1)
    with pytest.raises(ValueError) as exc:
        start(probe, price=price, close=close)
    assert str(exc.value) == message
    assert entry_point_names(exc.value) == ["mirelo.core.excursion.start_analysis"]
    assert len(excursion.trades) == 1  # nothing of the new run happened


def test_record_entry_beyond_the_arrays(probe):
    start(probe, stock_count=0)
    with pytest.raises(IndexError) as exc:
        probe.record_entry(0, 1.0, 1)
    assert str(exc.value) == "index 0 is out of bounds for axis 0 with size 0"
    frame = traceback.extract_tb(exc.value.__traceback__)[-1]
    assert frame.name == "mirelo.core.excursion.record_entry"
    assert frame.filename.replace("\\", "/").startswith("mirelo/core/excursion")
    assert frame.lineno > 0


def with_zero(matrix, row):
    out = matrix.copy()
    out[row, 0] = 0.0
    return out


# (setup, exception, message): each analysis fails inside the profile
# computation; the trade and its position are already recorded by then.
ANALYSIS_FAILURES = [
    (dict(price=with_zero(PRICE, 1), entry=1), ZeroDivisionError, "float division"),
    (dict(close=with_zero(CLOSE, 1), entry=1), ZeroDivisionError, "float division"),
    # The exit is re-priced on bar 4, the end of the window, past the exit on bar 2.
    (dict(close=with_zero(CLOSE, 4), window=4), ZeroDivisionError, "float division"),
    (dict(step=0), ZeroDivisionError, "integer division or modulo by zero"),
    (dict(window=-2147483647, step=-1), OverflowError, "value too large to perform division"),
    (dict(window=-1, entry=3, exit=2), UnboundLocalError,
     "local variable 'ith' referenced before assignment"),
    (dict(window=-3, entry=4, exit=2), OverflowError, "can't convert negative value to size_t"),
    (dict(window=-1), IndexError, "Out of bounds on buffer access (axis 0)"),
    (dict(window=-1, step=2), IndexError, "Out of bounds on buffer access (axis 0)"),
    (dict(window=-2), ValueError, "negative dimensions are not allowed"),
    (dict(entry=5, exit=5), IndexError, "index 5 is out of bounds for axis 0 with size 5"),
    (dict(col_map={0: 3}), IndexError, "index 3 is out of bounds for axis 1 with size 3"),
    (dict(close=PRICE[:2]), IndexError, "index 2 is out of bounds for axis 0 with size 2"),
    (dict(price=None), AttributeError, "'NoneType' object has no attribute 'shape'"),
    (dict(close=None), TypeError, "'NoneType' object is not subscriptable"),
]


@pytest.mark.parametrize("setup, error, message", ANALYSIS_FAILURES)
def test_analysis_failures(probe, setup, error, message):
    start(probe, price=setup.get("price", PRICE), close=setup.get("close", CLOSE),
          col_map=setup.get("col_map", COL_MAP), window=setup.get("window", 3),
          step=setup.get("step", 1))
    probe.record_date(setup.get("entry", 0))
    probe.record_entry(0, 1.0, 1)
    probe.record_date(setup.get("exit", 2))
    with pytest.raises(error) as exc:
        probe.record_exit(0, 1)
    assert str(exc.value) == message
    assert entry_point_names(exc.value) == ["mirelo.core.excursion.record_exit",
                                            "mirelo.core.excursion.excursion_analysis"]
    assert len(excursion.trades) == 1 and len(excursion.trade_positions) == 1
    assert excursion.excursion == []


def test_negative_indices_count_from_the_end(probe):
    start(probe, col_map={0: -1}, window=0)
    probe.record_date(-2)
    probe.record_entry(0, 1.0, 1)
    probe.record_exit(0, 1)
    assert excursion.trades == [[0, -2, -2]]
    # Entry bar -2 is bar 3 of 5; the span runs to the current date, -2.
    r = (1 - FEE) * (CLOSE[3, 2] / PRICE[3, 2])
    assert excursion.excursion[0][5] == r * ((1 - FEE) - TAX) - 1


def test_end_analysis_failure_returns_null_with_its_traceback(probe):
    start(probe, price=None)
    with pytest.raises(AttributeError) as exc:
        probe.end_analysis({1: 2.0})
    assert entry_point_names(exc.value) == ["mirelo.core.excursion.end_analysis",
                                            "mirelo.core.excursion.excursion_analysis"]


def test_result_lists_are_looked_up_by_name(probe):
    start(probe)
    probe.record_date(1)
    probe.record_entry(0, 1.0, 1)
    saved = excursion.trade_positions
    del excursion.trade_positions
    try:
        with pytest.raises(NameError) as exc:
            probe.record_exit(0, 1)
        assert str(exc.value) == "name 'trade_positions' is not defined"
        assert entry_point_names(exc.value) == ["mirelo.core.excursion.record_exit"]
        excursion.trade_positions = rebound = []
        probe.record_exit(0, 1)
        assert rebound == [1.0]
    finally:
        excursion.trade_positions = saved
