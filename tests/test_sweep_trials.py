"""Grid expansion, trial keys and chunks."""

import hashlib

import numpy as np
import pytest

from mirelo._sweep.chunks import CHUNK_SECONDS, Chunker
from mirelo._sweep.trials import expand_grid, trial_key

RULES = ("stop_loss", "take_profit", "touched_exit", "excursion_window", "fee_ratio")
# The documented canonical text of {stop_loss: 0.1, excursion_window: 20, touched_exit: True}
# with no weights name: stores written by earlier versions must keep resuming.
KEY = hashlib.sha256(b"excursion_window=20.0;stop_loss=0.1;touched_exit=true;weights=")
KEY = KEY.hexdigest()[:16]


def expand(grid, weights=None, **fixed):
    return expand_grid(grid, weights, fixed, RULES)


class TestKeys:
    def test_same_trial_same_key_whatever_the_spelling(self):
        key = trial_key({"stop_loss": 0.1, "excursion_window": 20, "touched_exit": True}, None)
        assert trial_key({"touched_exit": np.True_, "excursion_window": 20.0,
                          "stop_loss": np.float64(0.1)}, None) == key
        assert key == KEY

    @pytest.mark.parametrize("rules, weights", [
        ({"stop_loss": 0.1000001, "excursion_window": 20, "touched_exit": True}, None),
        ({"stop_loss": 0.1, "excursion_window": 20, "touched_exit": False}, None),
        ({"stop_loss": 0.1, "excursion_window": 20, "touched_exit": True}, "momentum"),
        ({"stop_loss": 0.1, "excursion_window": 20}, None),
    ])
    def test_any_difference_changes_the_key(self, rules, weights):
        assert trial_key(rules, weights) != KEY

    def test_values_must_be_numbers_or_bools(self):
        with pytest.raises(TypeError, match="rule 'stop_loss' must be a number or a bool, got str"):
            trial_key({"stop_loss": "0.1"}, None)


class TestExpansion:
    def test_product_varies_the_last_rule_fastest_inside_the_weights_axis(self):
        trials, columns = expand({"stop_loss": [0.1, 0.2], "touched_exit": [False, True]},
                                 ["a", "b"], fee_ratio=0.0)
        assert columns == ["weights", "stop_loss", "touched_exit"]
        assert [(t.weights, t.params["stop_loss"], t.params["touched_exit"]) for t in trials] == [
            ("a", 0.1, False), ("a", 0.1, True), ("a", 0.2, False), ("a", 0.2, True),
            ("b", 0.1, False), ("b", 0.1, True), ("b", 0.2, False), ("b", 0.2, True)]
        assert [t.index for t in trials] == list(range(8))
        assert all(t.rules == {"fee_ratio": 0.0, **t.params} for t in trials)
        assert len({t.key for t in trials}) == 8

    def test_list_of_mappings_keeps_its_order_and_unites_the_columns(self):
        trials, columns = expand([{"take_profit": 0.3}, {"stop_loss": np.float64(0.1)}, {}])
        assert columns == ["take_profit", "stop_loss"]
        assert [t.params for t in trials] == [{"take_profit": 0.3}, {"stop_loss": 0.1}, {}]
        assert type(trials[1].params["stop_loss"]) is float

    @pytest.mark.parametrize("grid, fixed, error, message", [
        ({"stop_los": [0.1]}, {}, TypeError, "grid: unknown rule(s) 'stop_los'"),
        ({"stop_loss": [0.1]}, {"fees": 1}, TypeError, "fixed rules: unknown rule(s) 'fees'"),
        ({"stop_loss": 0.1}, {}, TypeError, "grid['stop_loss'] must be a list of values, got float"),
        ({"stop_loss": []}, {}, ValueError, "grid['stop_loss'] has no values"),
        ([{"stop_loss": 0.1}, 0.2], {}, TypeError, "grid[1] must be a mapping of rule -> value, got float"),
        ({"stop_loss": [0.1]}, {"stop_loss": 0.2}, TypeError,
         "rule(s) 'stop_loss' given both in grid and as fixed rules"),
        ([{"stop_loss": 0.1}, {"stop_loss": 0.1}], {}, ValueError,
         "grid lists the same trial twice (trials 0 and 1: {'stop_loss': 0.1})"),
    ])
    def test_refused_grids(self, grid, fixed, error, message):
        with pytest.raises(error) as raised:
            expand(grid, **fixed)
        assert str(raised.value) == message


def test_chunks_last_about_chunk_seconds_and_keep_to_one_weights_frame():
    trials, _ = expand({"stop_loss": list(np.linspace(0.01, 0.5, 50))}, ["a", "b"])
    chunker = Chunker(trials, workers=2)  # 100 trials: at most 13 per chunk
    sizes = [chunker.size(None), chunker.size(CHUNK_SECONDS / 5), chunker.size(1e-6),
             chunker.size(0.0), chunker.size(10 * CHUNK_SECONDS)]
    assert sizes == [1, 5, 13, 13, 1]
    taken = [chunker.take(CHUNK_SECONDS / 20) for _ in range(6)]
    assert [len(c) for c in taken] == [13, 13, 13, 11, 13, 13]  # "a" ends after 50
    assert {t.weights for t in taken[3]} == {"a"} and taken[4][0].weights == "b"
    assert [t.index for c in taken for t in c] == list(range(76))
