"""Splitters of a calendar of bars into training and test windows.

``WalkForward``: train on a window, test on the one after it, roll forward by
the test window.  ``CombinatorialPurgedCV``: cut the bars into `n_folds`
consecutive folds and test on every choice of `n_test_folds` of them, training
on the rest; the test folds of all the choices form ``n_test_paths`` complete
out-of-sample paths.

Both yield arrays of bar positions, like any splitter with ``split(X)``; X is
anything with a length (for calendar windows, a DatetimeIndex or a frame
indexed by one).
"""

from __future__ import annotations

import itertools
import math
from collections.abc import Iterator
from typing import Any

import numpy as np
import numpy.typing as npt
import pandas as pd

from mirelo._inputs import _period_last_bars

Indices = npt.NDArray[np.intp]


def _count(value: Any, name: str, least: int) -> int:
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)) or value < least:
        raise ValueError(f"{name} must be an int >= {least}, got {value!r}")
    return int(value)


def _length(X: Any) -> int:
    shape = getattr(X, "shape", None)
    return int(shape[0]) if shape is not None else len(X)


def _calendar(X: Any) -> pd.DatetimeIndex:
    index = X if isinstance(X, pd.Index) else getattr(X, "index", None)
    if not isinstance(index, pd.DatetimeIndex):
        raise TypeError("WalkForward with freq= needs dates: pass a DatetimeIndex or a frame "
                        f"indexed by one, not {type(X).__name__}")
    return index


class WalkForward:
    """Rolling (or expanding) training windows, each followed by a test window.

    Sizes are in bars, or with `freq` (a pandas alias such as "ME" or "W") in
    periods of that frequency: ``WalkForward(6, 36, freq="ME")`` trains on 36
    months and tests on the 6 that follow.  The first training window starts
    at the first bar; the next split moves on by `test_size`, so that the test
    windows follow each other without gap or overlap.

    - `expand_train`: every training window starts at the first bar;
    - `reduce_test`: a last, shorter test window with the bars left over;
    - `purged_size`: bars (whatever `freq`) taken off the end of each training
      window, a gap between it and its test window; the test windows stay.
    """

    def __init__(self, test_size: int, train_size: int, *, expand_train: bool = False,
                 reduce_test: bool = False, purged_size: int = 0, freq: str | None = None):
        self.test_size = _count(test_size, "test_size", 1)
        self.train_size = _count(train_size, "train_size", 1)
        self.purged_size = _count(purged_size, "purged_size", 0)
        if freq is not None and not isinstance(freq, str):
            raise TypeError(f"freq must be a pandas frequency alias such as 'ME', got {freq!r}")
        self.expand_train = bool(expand_train)
        self.reduce_test = bool(reduce_test)
        self.freq = freq

    def __repr__(self) -> str:
        return (f"WalkForward(test_size={self.test_size}, train_size={self.train_size}, "
                f"expand_train={self.expand_train}, reduce_test={self.reduce_test}, "
                f"purged_size={self.purged_size}, freq={self.freq!r})")

    def _period_starts(self, X: Any) -> npt.NDArray[np.intp]:
        """First bar of every period (or of every bar without `freq`), then the end."""
        if self.freq is None:
            return np.arange(_length(X) + 1)
        calendar = _calendar(X)
        if len(calendar) == 0:
            return np.zeros(1, dtype=np.intp)
        try:
            last = _period_last_bars(calendar, self.freq)
        except ValueError as err:  # its message speaks of rebalance=
            raise ValueError(f"WalkForward: freq={self.freq!r} is not a pandas frequency "
                             "alias with a multiple of 1 or more (such as 'ME', 'W' or "
                             "'2W')") from err
        return np.concatenate(([0], last + 1)).astype(np.intp)

    def split(self, X: Any, y: Any = None, groups: Any = None) -> Iterator[tuple[Indices,
                                                                                 Indices]]:
        starts = self._period_starts(X)
        periods = len(starts) - 1
        first_test = self.train_size
        while first_test < periods:
            last_test = first_test + self.test_size
            if last_test > periods:
                if not self.reduce_test:
                    return
                last_test = periods
            train_from = 0 if self.expand_train else first_test - self.train_size
            test_start = int(starts[first_test])
            train = np.arange(int(starts[train_from]), max(0, test_start - self.purged_size))
            yield train, np.arange(test_start, int(starts[last_test]))
            first_test = last_test

    def get_n_splits(self, X: Any = None, y: Any = None, groups: Any = None) -> int:
        if X is None:
            raise ValueError("WalkForward.get_n_splits needs X: the number of splits depends "
                             "on its length")
        return sum(1 for _ in self.split(X))


class CombinatorialPurgedCV:
    """Every choice of `n_test_folds` test folds among `n_folds` consecutive ones.

    ``split(X)`` yields ``(train, [test_fold, ...])`` for each of the
    ``n_splits`` choices, in lexicographic order of the folds.  From training
    are left out the `purged_size` bars before each test fold and the
    `embargo_size` bars after it.  Each fold is tested in ``n_test_paths``
    splits; ``get_path_ids()`` numbers them, so that path p takes, for every
    fold, its p-th test (in split order): each path covers every bar once.
    """

    def __init__(self, n_folds: int = 10, n_test_folds: int = 2, purged_size: int = 0,
                 embargo_size: int = 0):
        self.n_folds = _count(n_folds, "n_folds", 2)
        self.n_test_folds = _count(n_test_folds, "n_test_folds", 1)
        if self.n_test_folds >= self.n_folds:
            raise ValueError(f"n_test_folds must be smaller than n_folds ({self.n_folds}), got "
                             f"{n_test_folds}")
        self.purged_size = _count(purged_size, "purged_size", 0)
        self.embargo_size = _count(embargo_size, "embargo_size", 0)

    def __repr__(self) -> str:
        return (f"CombinatorialPurgedCV(n_folds={self.n_folds}, n_test_folds="
                f"{self.n_test_folds}, purged_size={self.purged_size}, "
                f"embargo_size={self.embargo_size})")

    @property
    def n_splits(self) -> int:
        return math.comb(self.n_folds, self.n_test_folds)

    @property
    def n_test_paths(self) -> int:
        return math.comb(self.n_folds - 1, self.n_test_folds - 1)

    def get_n_splits(self, X: Any = None, y: Any = None, groups: Any = None) -> int:
        return self.n_splits

    def _choices(self) -> Iterator[tuple[int, ...]]:
        return itertools.combinations(range(self.n_folds), self.n_test_folds)

    def split(self, X: Any, y: Any = None, groups: Any = None) -> Iterator[tuple[Indices,
                                                                                 list[Indices]]]:
        n = _length(X)
        if n < self.n_folds:
            raise ValueError(f"CombinatorialPurgedCV: {n} bars cannot make {self.n_folds} folds")
        folds = np.array_split(np.arange(n), self.n_folds)
        for choice in self._choices():
            train = np.ones(n, dtype=bool)
            for f in choice:
                first, last = int(folds[f][0]), int(folds[f][-1])
                train[max(0, first - self.purged_size):last + 1 + self.embargo_size] = False
            yield np.flatnonzero(train), [folds[f] for f in choice]

    def get_path_ids(self) -> npt.NDArray[np.intp]:
        """(n_splits, n_test_folds): the path of each test fold of each split."""
        seen = np.zeros(self.n_folds, dtype=np.intp)
        ids = np.empty((self.n_splits, self.n_test_folds), dtype=np.intp)
        for s, choice in enumerate(self._choices()):
            for g, f in enumerate(choice):
                ids[s, g] = seen[f]
                seen[f] += 1
        return ids
