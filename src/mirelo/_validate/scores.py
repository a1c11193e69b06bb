"""Statistics of ``Result.stats()`` on a window of bars, from returns alone.

A validation scores every trial on the bars of each training and test window
from the returns it kept, one column per trial at once.  The statistics that
returns determine can be scored so: the same empyrical-reloaded functions as
``Result.stats()``, with the same conventions (risk-free rate 0, required
return 0), on the window's returns taken together.  Trade figures, turnover
and exposure need the trades and are not scores.
"""

from __future__ import annotations

from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt
from scipy import stats

from mirelo._stats import STAT_LABELS

Matrix = npt.NDArray[np.float64]


def _empyrical() -> Any:
    import empyrical  # takes a second to import: loaded when first scored

    return empyrical


def _calmar(returns: Matrix, per_year: float) -> Matrix:
    # empyrical's calmar_ratio takes one series at a time.
    calmar = _empyrical().calmar_ratio
    return np.array([calmar(returns[:, k], annualization=per_year)
                     for k in range(returns.shape[1])], dtype=np.float64)


SCORES: dict[str, Callable[[Matrix, float], Any]] = {
    "total_return": lambda r, y: _empyrical().cum_returns_final(r),
    "annual_return": lambda r, y: _empyrical().annual_return(r, annualization=y),
    "annual_volatility": lambda r, y: _empyrical().annual_volatility(r, annualization=y),
    "sharpe": lambda r, y: _empyrical().sharpe_ratio(r, risk_free=0, annualization=y),
    "sortino": lambda r, y: _empyrical().sortino_ratio(r, required_return=0, annualization=y),
    "max_drawdown": lambda r, y: _empyrical().max_drawdown(r),
    "calmar": _calmar,
}

DEFAULT_SCORE = "sharpe"


def score(name: str, returns: Matrix, per_year: float) -> Matrix:
    """`name` of each column of `returns` (bars x trials); NaN for a failed trial's
    column (missing throughout) and for every column of an empty window."""
    out = np.full(returns.shape[1], np.nan)
    if returns.shape[0] == 0:
        return out
    ok = ~np.isnan(returns[0])
    if ok.any():
        with np.errstate(divide="ignore", invalid="ignore"):
            out[ok] = np.asarray(SCORES[name](returns[:, ok], per_year), dtype=np.float64)
    return out


@dataclass(frozen=True)
class Selection:
    """How the chosen trial of a split is found: the statistic scored on every
    window (`name`), whether larger is better, and a callable that picks from the
    training table instead of the largest score (None: the best score)."""

    name: str
    largest: bool
    pick: Callable[[Any], Any] | None = None

    def best(self, scores: Matrix) -> int | None:
        """Position of the best score (the first on ties); None when none has one."""
        finite = ~np.isnan(scores)
        if not finite.any():
            return None
        masked = np.where(finite, scores, -np.inf if self.largest else np.inf)
        return int(np.argmax(masked) if self.largest else np.argmin(masked))

    def ranks(self, scores: Matrix) -> Matrix:
        """Rank of each score among those present: 1 = the best, ties averaged; NaN
        for a missing one."""
        present = ~np.isnan(scores)
        ranks = np.full(len(scores), np.nan)
        ascending = stats.rankdata(scores[present])  # 1 = the smallest
        ranks[present] = present.sum() + 1 - ascending if self.largest else ascending
        return ranks


def selection(select: Any) -> Selection:
    """`select`: a statistic to maximise ("-name" minimises), or a callable
    ``(table) -> trial label`` (the scores are then Sharpe ratios)."""
    if callable(select):
        return Selection(DEFAULT_SCORE, True, select)
    if not isinstance(select, str):
        raise TypeError(f"select must be a statistic name or a callable, not "
                        f"{type(select).__name__}")
    name = select[1:] if select.startswith("-") else select
    if name not in SCORES:
        known = ", ".join(SCORES)
        if name in STAT_LABELS:
            raise ValueError(f"select: {name!r} needs the trades of each window and cannot be "
                             f"scored from returns; available: {known}")
        raise ValueError(f"select: unknown statistic {name!r}; available: {known}")
    return Selection(name, not select.startswith("-"))


class Scorer:
    """Scores of runs on windows of bars, from their kept returns.

    `returns`: bars x runs (float32, as a sweep keeps them; missing for a failed
    run); `starts`: per run, the bar its statistics start after, as
    ``Result.start_bar``: the bars up to it are left out of every window, as
    ``Result.stats()`` leaves them out of its period.
    """

    def __init__(self, returns: npt.NDArray[np.float32], starts: npt.NDArray[np.intp],
                 per_year: float):
        self.returns = returns
        self.starts = starts
        self.per_year = per_year
        self._known: dict[tuple, Matrix] = {}  # test groups recur across splits

    def _window(self, bars: npt.NDArray[np.intp], runs: npt.NDArray[np.intp]) -> Matrix:
        """returns[bars][:, runs] as float64, slicing what is contiguous."""
        rows: Any = bars
        if len(bars) and bars[-1] - bars[0] == len(bars) - 1:
            rows = slice(int(bars[0]), int(bars[-1]) + 1)
        cols: Any = runs
        if len(runs) and runs[-1] - runs[0] == len(runs) - 1:
            cols = slice(int(runs[0]), int(runs[-1]) + 1)
            return self.returns[rows, cols].astype(np.float64)
        return self.returns[rows][:, cols].astype(np.float64)

    def window(self, name: str, runs: npt.NDArray[np.intp], bars: npt.NDArray[np.intp]
               ) -> Matrix:
        """`name` of each of `runs` (ascending) on `bars` (ascending)."""
        key = (name, runs.tobytes(), bars.tobytes())
        if key in self._known:
            return self._known[key]
        out = np.full(len(runs), np.nan)
        starts = self.starts[runs]
        for start in np.unique(starts):
            which = np.flatnonzero(starts == start)
            covered = bars[bars > start]
            out[which] = score(name, self._window(covered, runs[which]), self.per_year)
        self._known[key] = out
        return out
