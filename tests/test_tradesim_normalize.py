"""normalize_weight: gross exposure brought to at most 1, then every weight clipped."""

import numpy as np
import pytest

from mirelo.core.tradesim import normalize_weight
from simcase import last_entry


def reference(weights, limit):
    """The rule written out in Python: sum of |w| from 0.0; above 1 every value times
    1 / sum; then values beyond +-limit replaced by limit / -limit."""
    weights = dict(weights)
    total = 0.0
    for key, _ in weights.items():
        total += abs(weights[key])
    for key in weights:
        if total > 1:
            weights[key] = weights[key] * (1 / total)
    for key in weights:
        if weights[key] > limit:
            weights[key] = limit
        elif weights[key] < -limit:
            weights[key] = -limit
    return weights


@pytest.mark.parametrize("weights, limit, expected", [
    ({"a": 0.5, "b": 0.5}, 1, {"a": 0.5, "b": 0.5}),
    ({"a": 0.6, "b": 0.6, "c": -0.3}, 1, {"a": 0.4, "b": 0.4, "c": -0.2}),
    ({"a": 0.6, "b": 0.6}, 0.3, {"a": 0.3, "b": 0.3}),
    ({"a": -0.9}, 0.5, {"a": -0.5}),
    ({}, 1, {}),
    ({"a": 0.0, "b": 2.0}, 1, {"a": 0.0, "b": 1.0}),
    ({1: 0.25, 2: -0.25}, 0.1, {1: 0.1, 2: -0.1}),
])
def test_examples(weights, limit, expected):
    got = normalize_weight(dict(weights), limit)
    assert list(got) == list(expected)          # keys kept, in order
    assert got == pytest.approx(expected, abs=1e-15)
    assert got == reference(weights, limit)     # exactly the written-out rule


def test_scaling_is_times_reciprocal_of_gross_sum():
    got = normalize_weight({"a": 0.6, "b": 0.6, "c": -0.3}, 1)
    gross = 0.0 + 0.6 + 0.6 + 0.3
    assert got == {"a": 0.6 * (1 / gross), "b": 0.6 * (1 / gross), "c": -0.3 * (1 / gross)}


def test_gross_sum_exactly_one_is_left_alone():
    weights = {"a": 0.25, "b": -0.75}
    values = list(weights.values())
    got = normalize_weight(weights, 1)
    assert all(g is v for g, v in zip(got.values(), values))


def test_returns_its_argument():
    weights = {"a": 3.0, "b": 1.0}
    assert normalize_weight(weights, 0.5) is weights
    assert weights == {"a": 0.5, "b": 0.25}
    empty = {}
    assert normalize_weight(empty, 1) is empty


def test_keyword_arguments():
    weights = {"a": 2.0}
    assert normalize_weight(weights=weights, position_limit=1) is weights
    assert weights == {"a": 1}


def test_limit_object_itself_replaces_the_weight():
    limit = np.float64(0.3)
    weights = normalize_weight({"a": 0.45, "b": -0.45, "c": 0.1}, limit)   # gross exactly 1
    assert weights["a"] is limit
    assert weights["b"] == -limit and type(weights["b"]) is np.float64
    assert weights["c"] == 0.1


def test_weight_equal_to_the_limit_is_kept():
    value = 0.5
    weights = normalize_weight({"a": value}, 0.5)
    assert weights["a"] is value


@pytest.mark.parametrize("kind", [np.float64, np.float32, np.int64])
def test_numpy_scalars_keep_their_type(kind):
    weights = {"a": kind(3), "b": kind(1), "c": kind(-4)}
    want = reference(weights, 10)
    got = normalize_weight(dict(weights), 10)
    assert got == want
    assert [type(v) for v in got.values()] == [type(v) for v in want.values()]


def test_numpy_scalars_below_gross_one_untouched():
    weights = {"a": np.float32(0.25), "b": np.int64(0)}
    got = normalize_weight(weights, 1)
    assert type(got["a"]) is np.float32 and type(got["b"]) is np.int64


def test_python_ints():
    assert normalize_weight({"a": 1, "b": 1}, 1) == {"a": 0.5, "b": 0.5}
    unchanged = normalize_weight({"a": 1}, 2)
    assert unchanged == {"a": 1} and type(unchanged["a"]) is int


def test_nan_weight():
    # A NaN gross sum is not above 1 and NaN compares false with the limit.
    got = normalize_weight({"a": float("nan"), "b": 2.0}, 1)
    assert np.isnan(got["a"]) and got["b"] == 1


def test_none_has_no_items():
    with pytest.raises(AttributeError) as exc:
        normalize_weight(None, 1)
    assert str(exc.value) == "'NoneType' object has no attribute 'items'"
    assert last_entry(exc.value).name == "mirelo.core.tradesim.normalize_weight"
    assert last_entry(exc.value).filename.startswith("mirelo/core/glue/")


def test_failure_leaves_earlier_changes():
    weights = {"a": 1.0, "b": 1j}      # gross 2.0; scaling works, the comparison does not
    with pytest.raises(TypeError) as exc:
        normalize_weight(weights, 1)
    assert weights == {"a": 0.5, "b": 0.5j}
    assert last_entry(exc.value).name == "mirelo.core.tradesim.normalize_weight"


def test_unusable_value_fails_before_any_change():
    weights = {"a": 2.0, "b": "x"}
    with pytest.raises(TypeError) as exc:
        normalize_weight(weights, 1)
    assert str(exc.value) == "bad operand type for abs(): 'str'"
    assert weights == {"a": 2.0, "b": "x"}


def test_mapping_subscripts_are_used():
    class Doubling(dict):
        def __getitem__(self, key):
            return 2 * dict.__getitem__(self, key)

    # Stored 0.4 and 0.4, read as 0.8 and 0.8: the gross sum of what is read is 1.6, so
    # each value becomes 0.8 * (1 / 1.6); read back doubled it is 1.0, not above the limit.
    weights = Doubling(a=0.4, b=0.4)
    assert normalize_weight(weights, 1) is weights
    assert dict(weights) == {"a": 0.8 * (1 / 1.6), "b": 0.8 * (1 / 1.6)}


@pytest.mark.parametrize("args, kwargs, message", [
    ((), {}, "normalize_weight() takes exactly 2 positional arguments (0 given)"),
    (({},), {}, "normalize_weight() takes exactly 2 positional arguments (1 given)"),
    (({}, 1, 2), {}, "normalize_weight() takes exactly 2 positional arguments (3 given)"),
    (({}, 1), {"weights": {}},
     "normalize_weight() got multiple values for keyword argument 'weights'"),
    (({},), {"limit": 1}, "normalize_weight() got an unexpected keyword argument 'limit'"),
])
def test_argument_errors(args, kwargs, message):
    with pytest.raises(TypeError) as exc:
        normalize_weight(*args, **kwargs)
    assert str(exc.value) == message
    assert last_entry(exc.value).name == "mirelo.core.tradesim.normalize_weight"


class OddItems(dict):
    """A mapping whose items() yields what it is told to."""

    def __init__(self, items):
        super().__init__(a=1.0)
        self.odd = items

    def items(self):
        return self.odd


def python_unpacking_error(item):
    try:
        for _key, _value in [item]:
            pass
    except (TypeError, ValueError) as exc:
        return type(exc), str(exc)
    raise AssertionError("unpacked")


@pytest.mark.parametrize("item", [("a",), ("a", 1.0, 2.0), ()])
def test_items_that_are_not_pairs(item):
    kind, message = python_unpacking_error(item)
    with pytest.raises(kind) as exc:
        normalize_weight(OddItems([item]), 1)
    assert str(exc.value) == message
    assert last_entry(exc.value).name == "mirelo.core.tradesim.normalize_weight"


def test_item_that_is_not_iterable():
    with pytest.raises(TypeError):
        normalize_weight(OddItems([5]), 1)


def test_items_are_unpacked_not_read():
    # Only the key of each pair is used; the values are read by subscript.
    weights = OddItems([("a", "ignored")])
    assert normalize_weight(weights, 0.5) is weights
    assert dict(weights) == {"a": 0.5}
