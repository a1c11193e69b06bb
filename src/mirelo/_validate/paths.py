"""Out-of-sample paths: the chosen trials' returns on the test groups, stitched in
date order, one path per path id.

A piece of a path is one test group of one split: its bars and the returns
the split's chosen trial made on them -- from the run over the whole calendar
(slice) or from the fresh run of the test window that holds the group.
`covered` marks the bars that the run's statistics cover (after its start bar:
before the first weights date in slice mode, the flat first bar of a fresh
window); statistics of a path leave the others out, as ``Result.stats()`` does.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np
import numpy.typing as npt
import pandas as pd

from mirelo._sweep.trials import Trial

Bars = npt.NDArray[np.intp]


@dataclass(frozen=True)
class Piece:
    path: int
    split: int
    group: int
    bars: Bars  # positions in the calendar
    returns: npt.NDArray[np.float64]  # the chosen trial's, on `bars` (NaN: none)
    covered: npt.NDArray[np.bool_]
    run: Trial | None  # the run the returns come from (None: nothing was chosen)
    offset: int  # calendar position of the run's first bar (0, or a fresh window's first)
    fresh: bool


def stitch(pieces: list[Piece], calendar: pd.DatetimeIndex) -> pd.DataFrame:
    """Dates x paths of returns, over the bars of any path (NaN where a path has none)."""
    count = 1 + max(p.path for p in pieces)
    bars = np.unique(np.concatenate([p.bars for p in pieces]))
    values = np.full((len(bars), count), np.nan)
    for piece in pieces:
        values[np.searchsorted(bars, piece.bars), piece.path] = piece.returns
    return pd.DataFrame(values, index=calendar[bars],
                        columns=pd.RangeIndex(count, name="path"))


def path_pieces(pieces: list[Piece], path: int) -> list[Piece]:
    """The pieces of `path` in date order."""
    return sorted((p for p in pieces if p.path == path), key=lambda p: int(p.bars[0]))


def covered_returns(pieces: list[Piece]) -> tuple[Bars, npt.NDArray[np.float64]]:
    """The calendar bars and returns of the pieces that statistics cover."""
    keep = [p.covered & ~np.isnan(p.returns) for p in pieces]
    bars = np.concatenate([p.bars[k] for p, k in zip(pieces, keep)])
    returns = np.concatenate([p.returns[k] for p, k in zip(pieces, keep)])
    return bars, returns
