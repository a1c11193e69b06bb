"""The splitters' bars against hand-worked cases and their properties, and what
cross_validate refuses from a splitter."""

import numpy as np
import pandas as pd
import pytest

import mirelo
from sweepcase import CLOSE, WEIGHTS


def windows(cv, X):
    return [(list(train), [list(g) for g in test] if isinstance(test, list) else list(test))
            for train, test in cv.split(X)]


class TestWalkForward:
    @pytest.mark.parametrize("options, expected", [
        ({}, [([0, 1, 2], [3, 4]), ([2, 3, 4], [5, 6]), ([4, 5, 6], [7, 8])]),
        (dict(reduce_test=True), [([0, 1, 2], [3, 4]), ([2, 3, 4], [5, 6]),
                                  ([4, 5, 6], [7, 8]), ([6, 7, 8], [9])]),
        (dict(expand_train=True), [([0, 1, 2], [3, 4]), ([0, 1, 2, 3, 4], [5, 6]),
                                   ([0, 1, 2, 3, 4, 5, 6], [7, 8])]),
        (dict(purged_size=1), [([0, 1], [3, 4]), ([2, 3], [5, 6]), ([4, 5], [7, 8])]),
    ])
    def test_bars(self, options, expected):
        cv = mirelo.WalkForward(2, 3, **options)
        assert windows(cv, np.zeros(10)) == expected
        assert cv.get_n_splits(np.zeros(10)) == len(expected)

    def test_calendar_windows_follow_the_months(self):
        dates = pd.bdate_range("2021-01-01", "2021-06-30")
        cv = mirelo.WalkForward(1, 2, freq="ME", purged_size=2)
        months = dates.month.to_numpy()
        splits = list(cv.split(dates))
        assert len(splits) == 4  # tests on March to June
        for k, (train, test) in enumerate(splits):
            assert set(months[test]) == {3 + k}
            assert list(train) == list(np.flatnonzero((months == 1 + k) | (months == 2 + k))[:-2])

    def test_refusals(self):
        with pytest.raises(ValueError, match="test_size must be an int >= 1, got 0"):
            mirelo.WalkForward(0, 5)
        with pytest.raises(TypeError, match="freq= needs dates"):
            list(mirelo.WalkForward(1, 2, freq="ME").split(np.zeros(10)))
        with pytest.raises(ValueError, match="freq='fortnight' is not a pandas frequency"):
            list(mirelo.WalkForward(1, 2, freq="fortnight").split(CLOSE))
        with pytest.raises(ValueError, match="get_n_splits needs X"):
            mirelo.WalkForward(1, 2).get_n_splits()


class TestCombinatorialPurgedCV:
    def test_hand_worked_folds_and_paths(self):
        cv = mirelo.CombinatorialPurgedCV(n_folds=4, n_test_folds=2)
        assert (cv.n_splits, cv.n_test_paths, cv.get_n_splits()) == (6, 3, 6)
        assert [t for _, t in windows(cv, np.zeros(8))] == [
            [[0, 1], [2, 3]], [[0, 1], [4, 5]], [[0, 1], [6, 7]],
            [[2, 3], [4, 5]], [[2, 3], [6, 7]], [[4, 5], [6, 7]]]
        assert cv.get_path_ids().tolist() == [[0, 0], [1, 0], [2, 0], [1, 1], [2, 1], [2, 2]]

    def test_purge_before_and_embargo_after_each_test_fold(self):
        cv = mirelo.CombinatorialPurgedCV(n_folds=4, n_test_folds=2, purged_size=1,
                                          embargo_size=1)
        train, test = windows(cv, np.zeros(12))[4]  # folds 1 and 3: bars 3-5 and 9-11
        assert test == [[3, 4, 5], [9, 10, 11]]
        assert train == [0, 1, 7]  # 2 purged, 6 embargoed, 8 purged

    @pytest.mark.parametrize("folds, tested, purge, embargo", [(10, 2, 3, 5), (6, 3, 0, 2),
                                                               (5, 1, 4, 0)])
    def test_properties(self, folds, tested, purge, embargo):
        n = 103
        cv = mirelo.CombinatorialPurgedCV(folds, tested, purge, embargo)
        ids = cv.get_path_ids()
        covered = np.zeros((cv.n_test_paths, n), dtype=int)
        for (train, groups), path in zip(cv.split(np.zeros(n)), ids):
            test = np.concatenate(groups)
            assert not np.intersect1d(train, test).size
            for group, p in zip(groups, path):
                covered[p, group] += 1
                before = np.arange(max(0, group[0] - purge), group[0])
                after = np.arange(group[-1] + 1, min(n, group[-1] + 1 + embargo))
                assert not np.intersect1d(train, np.concatenate([before, after])).size
            untouched = np.setdiff1d(np.arange(n), np.concatenate([
                np.arange(max(0, g[0] - purge), min(n, g[-1] + 1 + embargo)) for g in groups]))
            assert np.array_equal(train, untouched)
        assert (covered == 1).all()  # every path holds every bar once


class TestSplitterOutput:
    class Yields:
        def __init__(self, *splits):
            self.splits = splits

        def split(self, X):
            yield from self.splits

    @pytest.mark.parametrize("split, message", [
        (([0, 1, 2], [3, 180]), "cv: split 1: the test set has positions outside the "
                                "calendar of 180 bars: 180"),
        (([], [3, 4]), "cv: split 1: the training set is empty"),
        (([0, 1, 2, 3], [3, 4]), "cv: split 1: the training and test sets share bars 3"),
        (([0, 1, 2], [[3, 4], [4, 5]]), "cv: split 1: its test groups overlap"),
    ])
    def test_refused_naming_the_split(self, split, message):
        cv = self.Yields((np.arange(10), np.arange(10, 20)), split)
        with pytest.raises(ValueError) as raised:
            mirelo.cross_validate(CLOSE, WEIGHTS, {"stop_loss": [0.1]}, cv, progress=False)
        assert str(raised.value) == message

    def test_overlapping_test_sets_need_path_ids(self):
        cv = self.Yields((np.arange(10), np.arange(10, 20)), (np.arange(5), np.arange(15, 25)))
        with pytest.raises(ValueError, match="test sets of splits 0 and 1 overlap"):
            mirelo.cross_validate(CLOSE, WEIGHTS, {"stop_loss": [0.1]}, cv, progress=False)

    def test_a_scikit_learn_splitter_is_taken_as_it_is(self):
        model_selection = pytest.importorskip("sklearn.model_selection")
        grid = {"stop_loss": [0.05, 0.1, 1.0]}
        theirs = mirelo.cross_validate(CLOSE, WEIGHTS, grid,
                                       model_selection.TimeSeriesSplit(n_splits=3),
                                       progress=False)
        ours = mirelo.cross_validate(CLOSE, WEIGHTS, grid,
                                     mirelo.WalkForward(45, 45, expand_train=True),
                                     progress=False)
        pd.testing.assert_frame_equal(theirs.folds, ours.folds)
        pd.testing.assert_frame_equal(theirs.paths, ours.paths)
