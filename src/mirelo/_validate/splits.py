"""What a splitter yields, checked against the calendar: the splits of a validation,
the out-of-sample paths their test groups form, and their contiguous test windows.

Any object whose ``split(X)`` yields ``(train, test)`` works: `test` is an
array of bar positions or, for a combinatorial splitter, a list of them (the
test groups).  A splitter with ``get_path_ids()`` says which path each test
group belongs to; otherwise the test sets make one path, and must not overlap.
"""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt

from mirelo._labels import some

Bars = npt.NDArray[np.intp]


@dataclass(frozen=True)
class Split:
    number: int
    train: Bars  # ascending bar positions
    groups: list[Bars]  # the test groups, each ascending
    paths: list[int]  # the path of each test group

    @property
    def test(self) -> Bars:
        return np.sort(np.concatenate(self.groups))

    def windows(self) -> list[Bars]:
        """The test bars cut where they are not consecutive: the stretches of
        time a fresh run trades through."""
        test = self.test
        cuts = np.flatnonzero(np.diff(test) != 1) + 1
        return np.split(test, cuts)


def _bars(values: Any, n: int, what: str) -> Bars:
    array = np.asarray(values)
    if array.ndim != 1 or (array.size and array.dtype.kind not in "iu"):
        raise ValueError(f"{what} must be a 1-D array of bar positions (integers), got "
                         f"{array.dtype} of shape {array.shape}")
    array = array.astype(np.intp)
    if array.size == 0:
        raise ValueError(f"{what} is empty")
    outside = array[(array < 0) | (array >= n)]
    if outside.size:
        raise ValueError(f"{what} has positions outside the calendar of {n} bars: "
                         f"{some(outside.tolist())}")
    steps = np.diff(array)
    if (steps <= 0).any():  # splitters yield ascending bars: sort only when they do not
        array = np.sort(array)
        repeated = array[1:][array[1:] == array[:-1]]
        if repeated.size:
            raise ValueError(f"{what} repeats bars {some(np.unique(repeated).tolist())}")
    return array


def _test_groups(test: Any) -> list[Any]:
    if isinstance(test, np.ndarray):
        return list(test) if test.ndim == 2 else [test]
    if isinstance(test, Sequence) and len(test) and all(np.ndim(g) == 1 for g in test):
        return list(test)
    return [test]


def _check_split(number: int, item: Any, n: int) -> tuple[Bars, list[Bars]]:
    where = f"cv: split {number}"
    try:
        train, test = item
    except (TypeError, ValueError):
        raise ValueError(f"{where} is not a (train, test) pair") from None
    train = _bars(train, n, f"{where}: the training set")
    raw = _test_groups(test)
    groups = [_bars(g, n, f"{where}: the test set" if len(raw) == 1 else
                    f"{where}: test group {k}") for k, g in enumerate(raw)]
    if not groups:
        raise ValueError(f"{where}: the test set is empty")
    tested = np.zeros(n, dtype=np.int8)
    for group in groups:
        tested[group] += 1
    if (tested > 1).any():
        raise ValueError(f"{where}: its test groups overlap")
    shared = train[tested[train] > 0]
    if shared.size:
        raise ValueError(f"{where}: the training and test sets share bars "
                         f"{some(shared.tolist())}")
    return train, groups


def _path_ids(cv: Any, sizes: list[int]) -> list[list[int]]:
    ids = np.asarray(cv.get_path_ids())
    if ids.ndim != 2 or ids.shape[0] != len(sizes) or any(size != ids.shape[1]
                                                           for size in sizes):
        raise ValueError(f"cv: get_path_ids() has shape {ids.shape}, not one row per split "
                         f"and one column per test group")
    return [[int(p) for p in row] for row in ids]


def _one_path(checked: list[tuple[Bars, list[Bars]]], n: int) -> list[list[int]]:
    """Path 0 for every test group; the test sets must not overlap."""
    owner = np.full(n, -1, dtype=np.intp)
    for number, (_, groups) in enumerate(checked):
        for group in groups:
            taken = owner[group]
            if (taken >= 0).any():
                raise ValueError(f"cv: the test sets of splits {int(taken[taken >= 0][0])} and "
                                 f"{number} overlap, and cv has no get_path_ids() to sort "
                                 "them into paths")
            owner[group] = number
    return [[0] * len(groups) for _, groups in checked]


def check_splits(cv: Any, X: Any, n: int) -> list[Split]:
    """The splits of `cv` over `n` bars; ValueError naming the split at fault."""
    if not callable(getattr(cv, "split", None)):
        raise TypeError("cv must be a splitter with a split(X) method (such as "
                        f"mirelo.WalkForward), not {type(cv).__name__}")
    checked = [_check_split(number, item, n) for number, item in enumerate(cv.split(X))]
    if not checked:
        raise ValueError(f"cv yielded no splits over {n} bars")
    if callable(getattr(cv, "get_path_ids", None)):
        paths = _path_ids(cv, [len(groups) for _, groups in checked])
    else:
        paths = _one_path(checked, n)
    return [Split(number, train, groups, path)
            for number, ((train, groups), path) in enumerate(zip(checked, paths))]
