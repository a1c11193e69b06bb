"""The last run's trade ledger (get_trade_stocks), its stock operations
(get_stock_operations) and the guard on the prices the engine trades at.

The runs go through both engines; the ledger and the module's dictionary are backtest_'s."""

import types

import numpy as np
import pytest

from mirelo.core import tradesim
from mirelo.core.tradesim import backtest_, get_stock_operations, get_trade_stocks
from simcase import (FREE, RaisingBool, arrays, last_entry, market, recorded_trades, run_case,
                     trade_rows, traceback_names)

# Ten bars dated 100, 200, ..., 1000; one stock "A" rising by 0.1 a bar.
DATES = [100 * (k + 1) for k in range(10)]
PRICES = [1.0 + 0.1 * k for k in range(10)]


def run_a(weights, pos_dates, resample):
    """Runs stock A on both engines; returns the case's arrays."""
    case = arrays(market(PRICES, dates=DATES), weights, pos_dates, resample)
    run_case(case, **FREE)
    return case


def plain(row):
    """A trade row with NumPy scalars turned into Python numbers, types kept apart."""
    out = []
    for x in row:
        if isinstance(x, np.integer):
            out.append(("np", int(x)))
        elif isinstance(x, np.floating):
            out.append(("np", float(x)))
        else:
            out.append((type(x).__name__, x))
    return out


def np_(x):
    return ("np", x)


M1 = ("int", -1)   # the marker for a date that does not exist


# --- rows from runs -----------------------------------------------------------------------------
#
# Weight 0.5 of a balance of 1.0 with no fee: every trade's position is exactly 0.5.  A bar
# flagged by a rebalance date trades on the next bar.

def test_closed_trade():
    # Row 0 (weight 0.5) from date 100, row 1 (weight 0) from 600; bars 2 and 6 flagged:
    # bought on bar 3, sold on bar 7.
    case = run_a([[0.5], [0.0]], [100, 600], [300, 700])
    assert recorded_trades() == [[0, 3, 7]]
    assert [plain(r) for r in trade_rows(case, False)] == [[
        ("str", "A"), np_(400), np_(800), np_(500), np_(900), np_(0.5), np_(4), np_(3),
        ("int", 7)]]
    # With touched exits the exit is executed on its signal bar.
    assert [plain(r) for r in trade_rows(case, True)] == [[
        ("str", "A"), np_(400), np_(800), np_(500), np_(800), np_(0.5), np_(4), np_(3),
        ("int", 7)]]


def test_open_trade():
    case = run_a([[0.5]], [100], [300])
    assert recorded_trades() == [[0, 3, -1]]
    for touched in (False, True):
        assert [plain(r) for r in trade_rows(case, touched)] == [[
            ("str", "A"), np_(400), M1, np_(500), M1, np_(0.5), np_(7), np_(3), M1]]


def test_entry_on_the_last_bar():
    # Bar 8 flagged: bought on bar 9, the last; its execution date would be bar 10.
    case = run_a([[0.5]], [100], [900])
    assert recorded_trades() == [[0, 9, -1]]
    for touched in (False, True):
        assert [plain(r) for r in trade_rows(case, touched)] == [[
            ("str", "A"), np_(1000), M1, M1, M1, np_(0.5), np_(1), np_(9), M1]]


def test_exit_on_the_last_bar():
    case = run_a([[0.5], [0.0]], [100, 600], [300, 900])
    assert recorded_trades() == [[0, 3, 9]]
    assert [plain(r) for r in trade_rows(case, False)] == [[
        ("str", "A"), np_(400), np_(1000), np_(500), M1, np_(0.5), np_(6), np_(3), ("int", 9)]]
    assert [plain(r) for r in trade_rows(case, True)] == [[
        ("str", "A"), np_(400), np_(1000), np_(500), np_(1000), np_(0.5), np_(6), np_(3),
        ("int", 9)]]


def test_rows_follow_the_trade_order():
    # A and B bought on bar 3; on bar 7 A is sold and B resized (its trade closes and a new
    # one opens); closed trades come first, in the order they closed, then the open one.
    r = run_case(arrays(market([[p, 2 * p] for p in PRICES], dates=DATES),
                      [[0.5, 0.5], [0.0, 0.5]], [100, 600], [300, 700]), **FREE)
    assert r.trades == [[0, 3, 7], [1, 3, 7], [1, 7, -1]]
    assert r.rows == [["A", 400, 800, 500, 900, 0.5, 4, 3, 7],
                      ["B", 400, 800, 500, 900, 0.5, 4, 3, 7],
                      ["B", 800, -1, 900, -1, 0.5, 3, 7, -1]]


def test_no_trades():
    case = run_a([[0.0]], [100], [300])
    assert trade_rows(case) == []


# --- rows from a ledger of our own --------------------------------------------------------------

@pytest.fixture
def ledger(monkeypatch):
    """Replaces the excursion module the engine reads its trades from."""
    fake = types.SimpleNamespace(trades=[], trade_positions=[])
    monkeypatch.setattr(tradesim, "excursion", fake)
    return fake


NAMES = np.array(["A", "B"], dtype=object)
INDEX = np.array(DATES, dtype=np.int64)


@pytest.mark.parametrize("trade, touched, expected", [
    ([1, 3, 7], False, ["B", 400, 800, 500, 900, 0.25, 4, 3, 7]),
    ([1, 3, 7], True, ["B", 400, 800, 500, 800, 0.25, 4, 3, 7]),
    ([0, 3, -1], False, ["A", 400, -1, 500, -1, 0.25, 7, 3, -1]),
    ([0, 3, -1], True, ["A", 400, -1, 500, -1, 0.25, 7, 3, -1]),
    ([0, 9, -1], False, ["A", 1000, -1, -1, -1, 0.25, 1, 9, -1]),
    ([0, 3, 9], False, ["A", 400, 1000, 500, -1, 0.25, 6, 3, 9]),
    ([0, 3, 9], True, ["A", 400, 1000, 500, 1000, 0.25, 6, 3, 9]),
    ([0, 9, 9], False, ["A", 1000, 1000, -1, -1, 0.25, 0, 9, 9]),
    ([0, 0, 0], True, ["A", 100, 100, 200, 100, 0.25, 0, 0, 0]),
])
def test_row_elements(ledger, trade, touched, expected):
    ledger.trades.append(trade)
    ledger.trade_positions.append(0.25)
    got = get_trade_stocks(NAMES, INDEX, touched)[0]
    assert got == [expected]
    row = got[0]
    assert len(row) == 9
    # Dates are the array's own int64 scalars; the -1 markers are Python ints.
    for k in (1, 2, 3, 4):
        if row[k] == -1:
            assert type(row[k]) is int
        else:
            assert type(row[k]) is np.int64


def test_rows_use_the_ledger_at_each_call(ledger):
    ledger.trades.extend([(0, 1, 2), np.array([1, 2, -1])])
    ledger.trade_positions.extend([-0.5, np.float64(0.75)])
    got = get_trade_stocks(NAMES, INDEX, 0)[0]
    assert got == [["A", 200, 300, 300, 400, -0.5, 1, 1, 2],
                   ["B", 300, -1, 400, -1, 0.75, 8, 2, -1]]
    assert got[0][5] is ledger.trade_positions[0]
    ledger.trades.clear()
    assert get_trade_stocks(NAMES, INDEX, 0)[0] == []


@pytest.mark.parametrize("truthy, plain_value", [
    (np.bool_(True), True), (1, True), ("x", True), (None, False), ([], False), (0.0, False)])
def test_touched_exit_by_truth_value(ledger, truthy, plain_value):
    ledger.trades.append([0, 3, 7])
    ledger.trade_positions.append(0.25)
    assert get_trade_stocks(NAMES, INDEX, truthy) == get_trade_stocks(NAMES, INDEX, plain_value)


def test_touched_exit_truth_error(ledger):
    with pytest.raises(ZeroDivisionError) as exc:
        get_trade_stocks(NAMES, INDEX, RaisingBool())
    assert "mirelo.core.tradesim.get_trade_stocks" in traceback_names(exc.value)


@pytest.mark.parametrize("trade", [[0, 10, -1], [0, 3, 10], [2, 3, 7]])
def test_index_outside_the_arrays(ledger, trade):
    # A signal date or a stock past the end of the arrays given is an error, not a marker.
    ledger.trades.extend([[0, 1, 2], trade])
    ledger.trade_positions.extend([0.5, 0.5])
    with pytest.raises(IndexError) as exc:
        get_trade_stocks(NAMES, INDEX, False)
    assert str(exc.value) == "Out of bounds on buffer access (axis 0)"
    assert last_entry(exc.value).name == "mirelo.core.tradesim.get_trade_stocks"
    assert last_entry(exc.value).filename.startswith("mirelo/core/tradesim/")


def test_shorter_price_index_gives_markers(ledger):
    # The same trade read against only the first eight dates: its exit signal (bar 7) is the
    # last date there, so its execution date does not exist.
    ledger.trades.append([0, 3, 7])
    ledger.trade_positions.append(0.25)
    assert get_trade_stocks(NAMES, INDEX[:8], False)[0] == \
        [["A", 400, 800, 500, -1, 0.25, 4, 3, 7]]


def test_none_arrays_without_trades(ledger):
    assert get_trade_stocks(None, None, False) == ([], get_trade_stocks(NAMES, INDEX, 0)[1])


# --- argument checks ------------------------------------------------------------------------------

@pytest.mark.parametrize("args, kwargs, message", [
    ((), {}, "get_trade_stocks() takes exactly 3 positional arguments (0 given)"),
    ((NAMES, INDEX), {}, "get_trade_stocks() takes exactly 3 positional arguments (2 given)"),
    ((NAMES, INDEX, 0, 0), {},
     "get_trade_stocks() takes exactly 3 positional arguments (4 given)"),
    ((NAMES,), {"price_index": INDEX},
     "get_trade_stocks() takes exactly 3 positional arguments (2 given)"),
    ((NAMES, INDEX, 0), {"pos_columns": NAMES},
     "get_trade_stocks() got multiple values for keyword argument 'pos_columns'"),
    ((NAMES, INDEX, 0), {"touched": 0},
     "get_trade_stocks() got an unexpected keyword argument 'touched'"),
])
def test_argument_count_and_keywords(args, kwargs, message):
    with pytest.raises(TypeError) as exc:
        get_trade_stocks(*args, **kwargs)
    assert str(exc.value) == message
    assert last_entry(exc.value).name == "mirelo.core.tradesim.get_trade_stocks"


def test_keyword_arguments():
    assert get_trade_stocks(pos_columns=NAMES, price_index=INDEX, touched_exit=False) == \
        get_trade_stocks(NAMES, INDEX, False)


@pytest.mark.parametrize("pos_columns, price_index, message", [
    (["A"], INDEX, "Argument 'pos_columns' has incorrect type (expected numpy.ndarray, got list)"),
    ("A", INDEX, "Argument 'pos_columns' has incorrect type (expected numpy.ndarray, got str)"),
    (NAMES, DATES,
     "Argument 'price_index' has incorrect type (expected numpy.ndarray, got list)"),
    (NAMES, 100, "Argument 'price_index' has incorrect type (expected numpy.ndarray, got int)"),
    ([], [], "Argument 'pos_columns' has incorrect type (expected numpy.ndarray, got list)"),
])
def test_arguments_must_be_arrays(pos_columns, price_index, message):
    with pytest.raises(TypeError) as exc:
        get_trade_stocks(pos_columns, price_index, False)
    assert str(exc.value) == message
    assert last_entry(exc.value).name == "mirelo.core.tradesim.get_trade_stocks"


@pytest.mark.parametrize("pos_columns, price_index, message", [
    (NAMES, INDEX.astype(np.float64),
     "Buffer dtype mismatch, expected 'int64_t' but got 'double'"),
    (NAMES, INDEX.reshape(2, 5), "Buffer has wrong number of dimensions (expected 1, got 2)"),
    (NAMES.reshape(1, 2), INDEX, "Buffer has wrong number of dimensions (expected 1, got 2)"),
    (np.array([1.0, 2.0]), INDEX,
     "Buffer dtype mismatch, expected 'unicode object' but got 'double'"),
])
def test_buffer_checks(pos_columns, price_index, message):
    with pytest.raises(ValueError) as exc:
        get_trade_stocks(pos_columns, price_index, False)
    assert str(exc.value) == message


def test_get_stock_operations_takes_no_arguments():
    with pytest.raises(TypeError) as exc:
        get_stock_operations(1)
    assert str(exc.value).endswith("get_stock_operations() takes no arguments (1 given)")


# --- stock operations: the module's dictionary and copies of it ---------------------------------

def module_operations():
    return get_trade_stocks(NAMES, INDEX, False)[1]


def test_get_trade_stocks_returns_the_module_dictionary():
    run_a([[0.5]], [100], [300])
    ops = module_operations()
    assert type(ops) is dict
    assert module_operations() is ops
    assert list(ops) == ["actions", "weights", "next_weights", "weight_time", "next_weight_time"]
    ops["added by test"] = 1       # the module's own dictionary: later copies show it
    assert get_stock_operations()["added by test"] == 1


def test_get_stock_operations_is_a_shallow_copy():
    run_a([[0.5]], [100], [300])
    ops = module_operations()
    copy = get_stock_operations()
    assert copy is not ops and copy == ops
    assert get_stock_operations() is not copy
    for key in ("actions", "weights", "next_weights"):
        assert copy[key] is ops[key]
    copy["actions"][42] = "enter"          # inner dictionaries are shared
    assert get_stock_operations()["actions"][42] == "enter"
    copy["outer"] = 1                       # the outer one is not
    assert "outer" not in get_stock_operations()
    assert "outer" not in module_operations()


def test_each_run_replaces_the_dictionary():
    run_a([[0.5]], [100], [300])
    first = module_operations()
    run_a([[0.5]], [100], [300])
    second = module_operations()
    assert second is not first and second == first
    assert second["actions"] is not first["actions"]


def test_stock_operations_of_a_run():
    run_a([[0.5]], [100], [300])
    assert get_stock_operations() == {"actions": {}, "weights": {0: 0.5},
                                      "next_weights": {0: 0.5}, "weight_time": 0,
                                      "next_weight_time": 0}


# --- prices the engine trades at ----------------------------------------------------------------

def price_failure(bad, row=2, name="A"):
    prices = [1.0, 1.0, 1.0, 1.0]
    prices[row] = bad
    with pytest.raises(ValueError) as exc:
        run_case(arrays(market(prices), [1.0], [0], [10], [name]))
    return exc.value


@pytest.mark.parametrize("bad, text", [(0.0, "0.0"), (-3.2, "-3.2"), (np.inf, "inf"),
                                       (-np.inf, "-inf"), (-0.0, "-0.0"), (-5e-324, "-5e-324")])
def test_invalid_trading_price(bad, text):
    error = price_failure(bad)
    assert str(error) == (f"Invalid trading price for A at price row 2: {text}. "
                          "Expected a positive finite price; check the trading-price dataset.")
    names = traceback_names(error)
    assert names[-1] == "mirelo.core.tradesim.validate_trade_price"
    assert "mirelo.core.tradesim.backtest_" in names
    assert last_entry(error).filename.startswith("mirelo/core/glue/")


def test_invalid_price_on_the_entry_bar_and_later_rows():
    # Bought on bar 1: its price is checked when the bar is valued.
    assert "at price row 1: 0.0." in str(price_failure(0.0, row=1))
    assert "at price row 3: -3.2." in str(price_failure(-3.2, row=3))


def test_stock_text_is_formatted_like_an_f_string():
    class Ticker(str):
        def __format__(self, format_spec):
            return f"<{str(self)}>"

    error = price_failure(0.0, name=Ticker("A"))
    assert str(error).startswith("Invalid trading price for <A> at price row 2: 0.0. ")


@pytest.mark.parametrize("price", [np.nan, 5e-324, 1e-310, 1e308])
def test_accepted_prices(price):
    assert len(run_case(arrays(market([1.0, 1.0, price, 1.0]), [1.0], [0], [10])).value_path) == 4


def test_prices_of_stocks_not_held_are_not_checked():
    r = run_case(arrays(market([[1.0, 0.0], [1.0, -np.inf], [1.0, 0.0]]), [1.0, 0.0], [0], [10]),
                 **FREE)
    assert r.value_path.tolist() == [1.0, 1.0, 1.0]


def test_strided_name_arrays():
    # Names read through views with steps: the message names the right stock.
    case = arrays(market([[1.0, 9.0], [1.0, 9.0], [0.0, 9.0], [1.0, 9.0]]), [1.0, 0.0], [0], [10])
    case["pos_columns"] = np.array(["zz", "A", "yy", "B"], dtype=object)[1::2]
    case["price_columns"] = np.array(["B", "x", "A"], dtype=object)[::-2]
    with pytest.raises(ValueError, match="^Invalid trading price for A at price row 2: 0.0. "):
        run_case(case)


def test_strided_ledger_arguments(ledger):
    ledger.trades.append([1, 3, 7])
    ledger.trade_positions.append(0.25)
    dates = np.zeros(20, dtype=np.int64)
    dates[::2] = INDEX
    names = np.array(["B", "-", "A"], dtype=object)[::-2]      # ["A", "B"], negative step
    assert get_trade_stocks(names, dates[::2], False) == get_trade_stocks(NAMES, INDEX, False)
