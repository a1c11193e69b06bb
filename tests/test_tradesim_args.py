"""backtest_ as a function object, and the conversion and checking of its 25 arguments.

Runs whose arguments both engines take go through both (simcase.run_case).  The rest is
backtest_'s alone: its signature and argument errors (a market checks its arrays when it is
made), its module state, delisting bars read per position column (a market keeps one per
price column) and stop_trading_next_period asked at each rebalance (a market asks once).
"""

import functools
import inspect
import math
import pydoc
import sys

import numpy as np
import pytest

from mirelo.core import tradesim
from mirelo.core.tradesim import backtest_
from simcase import (FREE, RaisingBool, arrays, backtest_run, last_entry, market,
                     recorded_trades, run_case, traceback_names)

PARAMETERS = [
    "price_values", "close_values", "high_values", "low_values", "open_values", "price_index",
    "price_columns", "pos_values", "pos_index", "pos_columns", "resample", "fee_ratio",
    "tax_ratio", "stop_loss", "take_profit", "trail_stop", "trail_stop_activation",
    "touched_exit", "position_limit", "retain_cost_when_rebalance", "stop_trading_next_period",
    "excursion_window", "excursion_window_step", "periodically_rebalance", "delisting_bars",
]
ARRAYS = PARAMETERS[:11]
INF = float("inf")
DEFAULTS = (0.001425, 0.003, 1.0, INF, INF, 0.0, False, 1.0, False, True, 0, 1, True, None)


def small_case():
    # One stock bought on bar 1 (the bar after the flagged bar 0) and held to the end.
    return arrays(market([1.0, 2.0, 4.0, 8.0]), [1.0], [0], [10])


# --- the function object ---------------------------------------------------------------------

def test_defaults_exactly():
    defaults = backtest_.__defaults__
    assert type(defaults) is tuple and len(defaults) == 14
    assert defaults == DEFAULTS
    assert [type(d) for d in defaults] == [type(d) for d in DEFAULTS]
    assert math.isinf(defaults[3]) and defaults[3] > 0
    assert math.isinf(defaults[4]) and defaults[4] > 0


def test_names_and_module():
    assert backtest_.__name__ == "backtest_"
    assert backtest_.__qualname__ == "backtest_"
    assert backtest_.__module__ == "mirelo.core.tradesim"
    assert tradesim.backtest_ is backtest_


def test_docstring_mentions_every_parameter():
    doc = backtest_.__doc__
    assert isinstance(doc, str)
    missing = [p for p in PARAMETERS if p not in doc]
    assert missing == []


def test_inspect_signature():
    sig = inspect.signature(backtest_)
    assert list(sig.parameters) == PARAMETERS
    for p in sig.parameters.values():
        assert p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
    assert [p.default for p in list(sig.parameters.values())[:11]] == [inspect.Parameter.empty] * 11
    assert tuple(p.default for p in list(sig.parameters.values())[11:]) == DEFAULTS


def test_full_argspec():
    argspec = inspect.getfullargspec(backtest_)
    assert argspec.args == PARAMETERS
    assert argspec.defaults == DEFAULTS


def test_help_shows_signature():
    # Newer pydoc puts a long signature one parameter per line: compare without whitespace.
    def squeezed(text):
        return "".join(text.split())

    text = pydoc.render_doc(backtest_, renderer=pydoc.plaintext)
    assert squeezed(
        "backtest_(price_values, close_values, high_values, low_values, open_values, "
        "price_index, price_columns, pos_values, pos_index, pos_columns, resample, "
        "fee_ratio=0.001425, tax_ratio=0.003, stop_loss=1.0, take_profit=inf, "
        "trail_stop=inf, trail_stop_activation=0.0, touched_exit=False, position_limit=1.0, "
        "retain_cost_when_rebalance=False, stop_trading_next_period=True, "
        "excursion_window=0, excursion_window_step=1, periodically_rebalance=True, "
        "delisting_bars=None)") in squeezed(text)
    module_text = pydoc.render_doc(tradesim, renderer=pydoc.plaintext)
    assert squeezed("backtest_(price_values, close_values") in squeezed(module_text)
    # The whole docstring, not only the signature.
    for words in ("Simulate a portfolio of target weights", "get_trade_stocks() and"):
        assert words in text and words in module_text


def test_required_arrays_only_use_the_defaults():
    case = small_case()
    path = backtest_(*[case[k] for k in ARRAYS])
    assert isinstance(path, np.ndarray) and path.dtype == np.float64 and path.ndim == 1
    assert len(path) == len(case["price_index"])
    explicit = backtest_(*[case[k] for k in ARRAYS], *DEFAULTS)
    assert path.tolist() == explicit.tolist()
    assert backtest_(**case).tolist() == path.tolist()
    assert backtest_(**case) is not backtest_(**case)  # a new array per run


def test_positional_and_keyword_mix():
    case = small_case()
    want = backtest_(**case, **FREE).tolist()
    positional = [case[k] for k in ARRAYS[:10]]
    assert backtest_(*positional, resample=case["resample"], **FREE).tolist() == want
    assert backtest_(*[case[k] for k in ARRAYS], 0.0, 0.0).tolist() == want
    # Keyword names built at run time are not interned.
    built = {"".join(["fee", "_ratio"]): 0.0, "".join(["tax", "_", "ratio"]): 0.0}
    assert backtest_(**case, **built).tolist() == want


# --- argument count and keywords --------------------------------------------------------------

@pytest.mark.parametrize("args, kwargs, message", [
    ((), {}, "backtest_() takes at least 11 positional arguments (0 given)"),
    ((0,) * 10, {}, "backtest_() takes at least 11 positional arguments (10 given)"),
    ((0,) * 26, {}, "backtest_() takes at most 25 positional arguments (26 given)"),
    ((0,) * 30, {"bogus": 1}, "backtest_() takes at most 25 positional arguments (30 given)"),
    ((0,) * 11, {"bogus": 1}, "backtest_() got an unexpected keyword argument 'bogus'"),
    ((0,) * 11, {"price_values": 1},
     "backtest_() got multiple values for keyword argument 'price_values'"),
    ((0,) * 12, {"fee_ratio": 1},
     "backtest_() got multiple values for keyword argument 'fee_ratio'"),
    ((0,) * 3, {"resample": 1}, "backtest_() takes at least 11 positional arguments (3 given)"),
])
def test_argument_count_and_keyword_errors(args, kwargs, message):
    with pytest.raises(TypeError) as exc:
        backtest_(*args, **kwargs)
    assert str(exc.value) == message
    assert last_entry(exc.value).name == "mirelo.core.tradesim.backtest_"


# --- arrays -------------------------------------------------------------------------------------

@pytest.mark.parametrize("name", ARRAYS)
def test_array_parameter_must_be_an_ndarray(name):
    case = small_case()
    case[name] = case[name].tolist()
    with pytest.raises(TypeError) as exc:
        backtest_(**case)
    assert str(exc.value) == \
        f"Argument '{name}' has incorrect type (expected numpy.ndarray, got list)"
    assert last_entry(exc.value).name == "mirelo.core.tradesim.backtest_"


@pytest.mark.parametrize("value, got", [
    (1.0, "float"), (memoryview(b"ab"), "memoryview"), ("10", "str"), ((10, 20), "tuple")])
def test_non_array_for_price_index(value, got):
    case = small_case()
    case["price_index"] = value
    with pytest.raises(TypeError) as exc:
        backtest_(**case)
    assert str(exc.value) == \
        f"Argument 'price_index' has incorrect type (expected numpy.ndarray, got {got})"


def test_ndarray_subclass_accepted():
    class Tagged(np.ndarray):
        pass

    case = small_case()
    want = backtest_(**case).tolist()
    tagged = {k: (v.view(Tagged) if k in ARRAYS else v) for k, v in case.items()}
    assert backtest_(**tagged).tolist() == want


@pytest.mark.parametrize("name, value, message", [
    ("price_values", np.ones(4), "Buffer has wrong number of dimensions (expected 2, got 1)"),
    ("price_values", np.ones((4, 1, 1)),
     "Buffer has wrong number of dimensions (expected 2, got 3)"),
    ("price_values", np.ones((4, 1), dtype=np.int64),
     "Buffer dtype mismatch, expected 'float64_t' but got 'long'"),
    ("price_values", np.ones((4, 1), dtype=np.float32),
     "Buffer dtype mismatch, expected 'float64_t' but got 'float'"),
    ("price_values", np.ones((4, 1), dtype=object),
     "Buffer dtype mismatch, expected 'float64_t' but got Python object"),
    ("open_values", np.ones(4), "Buffer has wrong number of dimensions (expected 2, got 1)"),
    ("pos_values", np.ones((1, 1), dtype=np.int64),
     "Buffer dtype mismatch, expected 'float64_t' but got 'long'"),
    ("price_index", np.array([10.0, 20.0, 30.0, 40.0]),
     "Buffer dtype mismatch, expected 'int64_t' but got 'double'"),
    ("price_index", np.array([10, 20, 30, 40], dtype=np.int32),
     "Buffer dtype mismatch, expected 'int64_t' but got 'int'"),
    ("price_index", np.array([[10, 20, 30, 40]], dtype=np.int64),
     "Buffer has wrong number of dimensions (expected 1, got 2)"),
    ("pos_index", np.array(0, dtype=np.int64),
     "Buffer has wrong number of dimensions (expected 1, got 0)"),
    ("resample", np.array([10.0]), "Buffer dtype mismatch, expected 'int64_t' but got 'double'"),
    ("pos_columns", np.array([["A"]], dtype=object),
     "Buffer has wrong number of dimensions (expected 1, got 2)"),
])
def test_buffer_checks(name, value, message):
    case = small_case()
    case[name] = value
    with pytest.raises(ValueError) as exc:
        backtest_(**case)
    assert str(exc.value) == message
    assert last_entry(exc.value).name == "mirelo.core.tradesim.backtest_"


@pytest.mark.parametrize("name, value", [
    ("price_columns", np.array(["A"])),           # NumPy str array, not objects
    ("pos_columns", np.array([b"A"])),
    ("price_columns", np.array([1.0])),
    ("price_values", np.ones((4, 1), dtype=">f8")),  # non-native byte order
])
def test_buffer_dtype_mismatch_for_other_element_types(name, value):
    case = small_case()
    case[name] = value
    expected = "'unicode object'" if "columns" in name else "'float64_t'"
    with pytest.raises(ValueError) as exc:
        backtest_(**case)
    assert str(exc.value).startswith(f"Buffer dtype mismatch, expected {expected} but got ")


def test_type_check_of_all_arrays_precedes_buffer_checks():
    case = small_case()
    case["price_values"] = np.ones(4)          # a buffer error ...
    case["resample"] = [10]                    # ... but the type check of a later array wins
    with pytest.raises(TypeError, match="Argument 'resample' has incorrect type"):
        backtest_(**case)


@pytest.mark.parametrize("scalar, error, message", [
    ({"fee_ratio": "0.1"}, TypeError, "must be real number, not str"),
    ({"position_limit": None}, TypeError, "must be real number, not NoneType"),
    ({"touched_exit": RaisingBool()}, ZeroDivisionError, "truth test refused"),
    ({"excursion_window_step": 2**31}, OverflowError, "value too large to convert to int"),
    ({"delisting_bars": [0]}, TypeError, "a bytes-like object is required, not 'list'"),
])
def test_scalars_are_converted_before_arrays_are_checked(scalar, error, message):
    case = small_case()
    case["price_values"] = [[1.0]]
    with pytest.raises(error) as exc:
        backtest_(**case, **scalar)
    assert str(exc.value) == message


@pytest.mark.parametrize("layout", ["fortran", "reversed_copy", "strided", "read_only"])
def test_any_stride_and_read_only_arrays(layout):
    case = arrays(market([[1.0, 1.0], [2.0, 3.0], [4.0, 9.0], [8.0, 27.0]]), [0.5, 0.5], [0], [10])
    want = run_case(case).summary()
    changed = {}
    for k, v in case.items():
        if layout == "fortran":
            v = np.asfortranarray(v)
        elif layout == "reversed_copy":   # negative strides, same element order
            v = v[::-1].copy()[::-1]
        elif layout == "strided":
            big = np.zeros(tuple(2 * s for s in v.shape), dtype=v.dtype)
            big[(slice(None, None, 2),) * v.ndim] = v
            v = big[(slice(None, None, 2),) * v.ndim]
        else:
            v = v.copy()
            v.flags.writeable = False
        changed[k] = v
    assert run_case(changed).summary() == want


# --- scalars -----------------------------------------------------------------------------------

@pytest.mark.parametrize("name", ["fee_ratio", "tax_ratio", "stop_loss", "take_profit",
                                  "trail_stop", "trail_stop_activation", "position_limit"])
def test_doubles_reject_str(name):
    with pytest.raises(TypeError) as exc:
        run_case(small_case(), **{name: "0.5"})
    assert str(exc.value) == "must be real number, not str"
    assert last_entry(exc.value).name == "mirelo.core.tradesim.backtest_"


@pytest.mark.parametrize("value", [0, np.int64(0), np.float32(0.0), np.float64(0.0), False])
def test_doubles_accept_numbers(value):
    case = small_case()
    want = run_case(case, **FREE).summary()
    assert run_case(case, fee_ratio=value, tax_ratio=value).summary() == want


def test_doubles_accept_objects_with_float_or_index():
    class AsFloat:
        def __float__(self):
            return 0.0

    class AsIndex:
        def __index__(self):
            return 0

    case = small_case()
    want = run_case(case, **FREE).summary()
    assert run_case(case, fee_ratio=AsFloat(), tax_ratio=AsIndex()).summary() == want


@pytest.mark.parametrize("value", [2**31, -2**31 - 1, 2**64, -2**70])
@pytest.mark.parametrize("name", ["excursion_window", "excursion_window_step"])
def test_window_outside_int32(name, value):
    with pytest.raises(OverflowError) as exc:
        run_case(small_case(), **{name: value})
    assert str(exc.value) == "value too large to convert to int"
    assert last_entry(exc.value).name == "mirelo.core.tradesim.backtest_"


@pytest.mark.parametrize("value", [2**31 - 1, -2**31, np.int64(3), True])
@pytest.mark.parametrize("name", ["excursion_window", "excursion_window_step"])
def test_window_inside_int32_accepted(name, value):
    # No trade, so no excursion profile is computed with these windows.  backtest_ takes
    # any 32-bit int; Market.run refuses a window below its range (test_batch).
    case = arrays(market([1.0, 2.0]), [1.0], [0], [])
    in_range = value >= (0 if name == "excursion_window" else 1)
    runner = run_case if in_range else backtest_run
    assert len(runner(case, **{name: value}).value_path) == 2


@pytest.mark.parametrize("value", [1.0, "1", None])
def test_window_rejects_non_integers(value):
    with pytest.raises(TypeError):
        run_case(small_case(), excursion_window=value)


@pytest.mark.parametrize("name", ["touched_exit", "retain_cost_when_rebalance",
                                  "periodically_rebalance"])
def test_bools_by_truth_value(name):
    case = small_case()
    for truthy, plain in [(np.bool_(True), True), ("yes", True), ([], False), (0.0, False)]:
        assert run_case(case, **{name: truthy}).summary() == \
            run_case(case, **{name: plain}).summary()


@pytest.mark.parametrize("name", ["touched_exit", "retain_cost_when_rebalance",
                                  "periodically_rebalance"])
def test_bool_truth_failure_is_an_argument_error(monkeypatch, name):
    monkeypatch.setattr(tradesim, "RESAMPLE", "untouched")
    with pytest.raises(ZeroDivisionError, match="truth test refused"):
        run_case(small_case(), **{name: RaisingBool()})
    assert tradesim.RESAMPLE == "untouched"


def test_stop_trading_next_period_is_tested_only_where_used(monkeypatch):
    # No position columns and no rebalance date: the run never asks.
    case = arrays(market([1.0, 2.0]), np.zeros((1, 0)), [0], [], [])
    flag = RaisingBool()
    assert backtest_(**case, stop_trading_next_period=flag).tolist() == [1.0, 1.0]
    assert flag.asked == 0

    # A rebalance asks; the error fails the run, after the settings were published.
    monkeypatch.setattr(tradesim, "RESAMPLE", "untouched")
    flag = RaisingBool()
    with pytest.raises(ZeroDivisionError, match="truth test refused") as exc:
        backtest_(**small_case(), stop_trading_next_period=flag, periodically_rebalance=False)
    assert flag.asked >= 1
    assert "mirelo.core.tradesim.backtest_" in traceback_names(exc.value)
    assert tradesim.RESAMPLE is False


def test_stop_trading_next_period_any_truthy_object():
    # Bought on bar 1, stopped out on the close of bar 2, sold on bar 3; bar 3 is flagged and
    # a new row is due, so bar 4 rebalances: the stopped stock sits out only when the flag
    # is true.
    case = arrays(market([1.0, 1.0, 0.8, 0.8, 0.8, 0.8]), [[1.0], [1.0]], [0, 35], [10, 40])

    def summary(flag):
        return run_case(case, stop_loss=0.1, stop_trading_next_period=flag).summary()

    sits_out, re_enters = summary(True), summary(False)
    assert sits_out["trades"] == [[0, 1, 3]]
    assert re_enters["trades"] == [[0, 1, 3], [0, 4, -1]]
    assert summary([1]) == summary(np.bool_(True)) == sits_out
    assert summary("") == summary(None) == re_enters


# --- delisting_bars ------------------------------------------------------------------------------

def two_stock_case():
    # A and B bought on bar 1 and held.
    return arrays(market([[1.0, 1.0], [1.0, 1.0], [2.0, 1.0], [2.0, 1.0]]), [0.5, 0.5], [0], [10])


def test_delisting_closes_on_its_bar():
    case = two_stock_case()
    assert run_case(case, delisting_bars=np.array([2, -1], dtype=np.int64)).trades == \
        [[0, 1, 2], [1, 1, -1]]
    assert run_case(case).trades == [[0, 1, -1], [1, 1, -1]]


@pytest.mark.parametrize("view", [
    np.array([2, 7, -1, 7], dtype=np.int64)[::2],                       # strided
    np.array([-1, 7, 2, 7], dtype=np.int64)[2::-2],                     # negative stride
    np.frombuffer(np.array([2, -1], dtype=np.int64).tobytes(), dtype=np.int64),  # read-only
], ids=["strided", "negative_stride", "read_only"])
def test_delisting_bars_views(view):
    assert view.tolist() == [2, -1]
    assert run_case(two_stock_case(), delisting_bars=view).trades == [[0, 1, 2], [1, 1, -1]]


@pytest.mark.parametrize("value, error, message", [
    ([2, -1], TypeError, "a bytes-like object is required, not 'list'"),
    (7, TypeError, "a bytes-like object is required, not 'int'"),
    (np.array([2, -1], dtype=np.int32), ValueError,
     "Buffer dtype mismatch, expected 'int64_t' but got 'int'"),
    (np.array([2.0, -1.0]), ValueError,
     "Buffer dtype mismatch, expected 'int64_t' but got 'double'"),
    (np.array([[2, -1]], dtype=np.int64), ValueError,
     "Buffer has wrong number of dimensions (expected 1, got 2)"),
])
def test_delisting_bars_rejected(monkeypatch, value, error, message):
    monkeypatch.setattr(tradesim, "RESAMPLE", "untouched")
    with pytest.raises(error) as exc:
        backtest_(**two_stock_case(), delisting_bars=value)
    assert str(exc.value) == message
    assert tradesim.RESAMPLE == "untouched"


@pytest.mark.parametrize("bars", [np.array([-1], dtype=np.int64), np.array([], dtype=np.int64),
                                  np.array([-5, -1], dtype=np.int64)])
def test_only_negative_delisting_bars_disable_delisting(bars):
    # Were delisting on, the short array would be read at sid 1 and fail.
    assert run_case(two_stock_case(), delisting_bars=bars).trades == [[0, 1, -1], [1, 1, -1]]


def test_one_valid_delisting_bar_enables_delisting():
    # Bar 0 is a valid bar index, so delisting is on and the one-element array is read at
    # sid 1, out of its bounds (backtest_ alone: a market holds a bar per price column).
    with pytest.raises(IndexError) as exc:
        backtest_(**two_stock_case(), delisting_bars=np.array([0], dtype=np.int64))
    assert str(exc.value) == "Out of bounds on buffer access (axis 0)"


# --- nothing changes on an argument error ------------------------------------------------------

def bad_calls():
    case = small_case()
    yield "too_many", tuple(case[k] for k in ARRAYS) + DEFAULTS + (None,), {}
    yield "unknown_keyword", (), case | {"bogus": 1}
    yield "missing_required", (), {k: case[k] for k in ARRAYS[1:]}
    yield "list", (), case | {"price_values": case["price_values"].tolist()}
    yield "ndim", (), case | {"price_values": np.ones(4)}
    yield "dtype", (), case | {"price_values": np.ones((4, 1), dtype=np.int64)}
    yield "fee", (), case | {"fee_ratio": "x"}
    yield "window", (), case | {"excursion_window": 2**31}
    yield "window_step", (), case | {"excursion_window_step": -2**31 - 1}
    yield "delisting", (), case | {"delisting_bars": [1]}
    yield "negative_limit", (), case | {"position_limit": -0.5}
    yield "tiny_negative_limit", (), case | {"position_limit": -5e-324}


@pytest.mark.parametrize("label, args, kwargs", list(bad_calls()),
                         ids=[c[0] for c in bad_calls()])
def test_argument_errors_change_no_module_state(monkeypatch, label, args, kwargs):
    # A finished run to compare against: one open trade, its stock operations.
    backtest_(**arrays(market([1.0, 2.0, 4.0]), [1.0], [0], [10]))
    before_trades = recorded_trades()
    ops_before = tradesim.get_trade_stocks(np.array(["A"], dtype=object),
                                           np.array([10, 20, 30], dtype=np.int64), False)[1]
    retain, resample = object(), object()
    monkeypatch.setattr(tradesim, "RETAIN_COST_WHEN_REBALANCE", retain)
    monkeypatch.setattr(tradesim, "RESAMPLE", resample)

    with pytest.raises((TypeError, ValueError, OverflowError)):
        backtest_(*args, **kwargs, retain_cost_when_rebalance=True, periodically_rebalance=False)

    assert tradesim.RETAIN_COST_WHEN_REBALANCE is retain
    assert tradesim.RESAMPLE is resample
    assert recorded_trades() == before_trades
    assert tradesim.get_trade_stocks(np.array(["A"], dtype=object),
                                     np.array([10, 20, 30], dtype=np.int64), False)[1] is ops_before


def test_negative_position_limit_message():
    with pytest.raises(ValueError) as exc:
        run_case(small_case(), position_limit=-1.0)
    assert str(exc.value) == "position_limit must not be negative"
    assert last_entry(exc.value).name == "mirelo.core.tradesim.backtest_"
    assert last_entry(exc.value).filename == "mirelo/core/tradesim/backtest.cpp"
    assert last_entry(exc.value).lineno > 0


def test_nan_position_limit_is_refused_before_any_state_changes():
    before = tradesim.RESAMPLE
    with pytest.raises(ValueError) as exc:
        backtest_(**small_case(), position_limit=float("nan"), periodically_rebalance=before is None)
    assert str(exc.value) == "position_limit must not be NaN"
    assert tradesim.RESAMPLE is before
    # Checked as the limit is converted, before the arrays are taken.
    with pytest.raises(ValueError, match="^position_limit must not be NaN$"):
        backtest_(**dict(small_case(), price_values=np.zeros(3)), position_limit=np.float32("nan"))


@pytest.mark.parametrize("name, dates, message", [
    ("price_index", [10, 30, 20, 40], "price_index must be in ascending order"),
    ("pos_index", [10, 5], "pos_index must be in ascending order"),
    ("price_index", [40, 30, 20, 10], "price_index must be in ascending order"),
])
def test_dates_that_step_back_are_refused(name, dates, message):
    case = small_case()
    case[name] = np.array(dates, dtype=np.int64)
    if name == "pos_index":
        case["pos_values"] = np.ones((len(dates), 1))
        case["price_index"] = case["price_index"][::-1].copy()   # both wrong: prices first
        message = "price_index must be in ascending order"
    before = tradesim.RESAMPLE
    with pytest.raises(ValueError) as exc:
        backtest_(**case, periodically_rebalance=before is None)
    assert str(exc.value) == message
    assert tradesim.RESAMPLE is before
    if name == "pos_index":
        case["price_index"] = case["price_index"][::-1].copy()
        with pytest.raises(ValueError, match="^pos_index must be in ascending order$"):
            backtest_(**case)


def test_equal_neighbouring_dates_are_accepted():
    case = small_case()
    case["price_index"] = np.array([10, 10, 30, 40], dtype=np.int64)
    case["pos_index"] = np.array([10, 10], dtype=np.int64)
    case["pos_values"] = np.ones((2, 1))
    assert len(run_case(case).value_path) == 4


@pytest.mark.parametrize("limit", [0.0, -0.0])
def test_zero_position_limit_accepted(limit):
    # Every target capped to 0: nothing is bought.
    assert run_case(small_case(), position_limit=limit).trades == []


# --- None for an array -----------------------------------------------------------------------

@pytest.mark.parametrize("name", ["price_values", "close_values", "price_index", "price_columns",
                                  "pos_values", "pos_index", "pos_columns", "resample"])
def test_none_array_fails_the_run(name):
    case = small_case()
    case[name] = None
    with pytest.raises((TypeError, IndexError)) as exc:
        backtest_(**case)
    assert last_entry(exc.value).name.startswith("mirelo.core.tradesim.")


@pytest.mark.parametrize("name", ["high_values", "low_values", "open_values"])
def test_none_for_an_array_never_read_is_accepted(name):
    # Close mode never reads high, low or open prices.
    case = small_case()
    case[name] = None
    assert len(backtest_(**case)) == 4


# --- buffers are released ----------------------------------------------------------------------

def refcounts(case):
    return {k: sys.getrefcount(v) for k, v in case.items()}


@pytest.mark.parametrize("label, change", [
    ("success", {}),
    ("late_buffer_error", {"resample": np.array([10.0])}),
    ("late_type_error", {"resample": [10]}),
    ("negative_limit", {"position_limit": -1.0}),
    ("map_columns_error", {"pos_columns": np.array([5], dtype=object)}),
    ("truth_error_in_the_run", {"stop_trading_next_period": RaisingBool()}),
    ("overflow", {"excursion_window": 2**40}),
])
def test_no_array_reference_is_kept(label, change):
    case = arrays(market([[1.0, 1.0], [2.0, 2.0], [4.0, 4.0]]), [1.0], [0], [10], ["A"])
    backtest_(**case)        # the excursion module keeps the last run's price matrices
    before = refcounts(case)
    try:
        backtest_(**(case | change))
    except (TypeError, ValueError, AttributeError, ZeroDivisionError, OverflowError):
        pass
    assert refcounts(case) == before


def test_value_path_has_no_other_owner():
    path = backtest_(**small_case())
    assert sys.getrefcount(path) == 2       # the local name and the call's argument
    assert path.flags.owndata and path.flags.writeable


def test_other_call_paths():
    case = small_case()
    want = backtest_(**case).tolist()
    assert type(backtest_).__call__(backtest_, **case).tolist() == want
    assert functools.partial(backtest_, **case)().tolist() == want
