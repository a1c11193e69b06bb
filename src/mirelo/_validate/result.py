"""What a validation returns: the folds, the out-of-sample paths, their statistics
and a summary of how the choice on training bars held up on test bars."""

from __future__ import annotations

import math
from functools import cached_property
from typing import TYPE_CHECKING, Any

import numpy as np
import pandas as pd
from scipy import stats as scipy_stats

from mirelo._result import Result
from mirelo._sweep import overfitting
from mirelo._sweep.setup import SweepSetup

from .fresh import Window
from .paths import Piece, covered_returns, path_pieces, stitch
from .pathstats import path_stats
from .plan import Plan
from .scores import Scorer, Selection
from .splits import Split

if TYPE_CHECKING:
    from matplotlib.figure import Figure

SUMMARY_LABELS = ("paths", "sharpe_mean", "sharpe_std", "train_score_mean",
                  "test_score_mean", "degradation", "rank_correlation", "pbo",
                  "deflated_sharpe")


class CVResult:
    """The outcome of ``mirelo.cross_validate``.

    - ``folds``: one row per split and test group: training and test date ranges
      and bar counts, the chosen trial (its number in the grid, its grid values),
      its training and test scores, and ``test_rank``, the rank of its test
      score among the ``ranked`` trials scored on that group (1 = the best);
    - ``paths``: dates x paths of the out-of-sample returns;
    - ``table``: one row per run over the whole calendar, as ``SweepResult.table``
      (failed runs included); ``fresh_table``: the fresh runs' rows, or None;
    - ``stats()``, ``summary()``, ``plot()``, ``run(split)``.
    """

    def __init__(self, *, mode: str, selection: Selection, splits: list[Split],
                 calendar: pd.DatetimeIndex, plan: Plan, scorer: Scorer,
                 folds: pd.DataFrame, pieces: list[Piece], table: pd.DataFrame,
                 fresh_setup: SweepSetup | None, windows: list[Window],
                 fresh_table: pd.DataFrame | None):
        self.mode = mode
        self.selection = selection
        self.splits = splits
        self.calendar = calendar
        self.folds = folds
        self.table = table
        self.fresh_table = fresh_table
        self._plan = plan
        self._scorer = scorer
        self._pieces = pieces
        self._fresh_setup = fresh_setup
        self._windows = windows
        self._results: dict[tuple[bool, str], Result] = {}
        self.paths = stitch(pieces, calendar)

    def __repr__(self) -> str:
        return (f"<CVResult: {self.mode} mode, {len(self.splits)} splits, "
                f"{self.paths.shape[1]} paths, {len(self._plan.grid)} trials>")

    @property
    def n_paths(self) -> int:
        return int(self.paths.shape[1])

    # ------------------------------------------------------------------ runs

    def _result(self, piece_run: Any, fresh: bool) -> Result:
        key = (fresh, piece_run.key)
        if key not in self._results:
            setup = self._fresh_setup if fresh else self._plan.setup
            assert setup is not None
            self._results[key] = setup.run_one(piece_run)
        return self._results[key]

    def run(self, split: int, window: int | None = None) -> Result:
        """The chosen trial of `split` run again, as a full Result: over the whole
        calendar in slice mode; in fresh mode, on the split's test window (number
        `window`, from 0, when the split's test bars make several)."""
        if not isinstance(split, (int, np.integer)) or not 0 <= split < len(self.splits):
            raise IndexError(f"split: no split {split!r} (there are {len(self.splits)})")
        rows = self.folds[self.folds["split"] == split]
        if rows["trial"].isna().all():
            raise ValueError(f"split {split} has no chosen trial: no trial has a training "
                             "score")
        chosen = int(rows["trial"].iloc[0])
        if self.mode == "slice":
            if window is not None:
                raise ValueError('window is for mode="fresh" runs; a slice run covers the '
                                 "whole calendar")
            return self._result(self._plan.run(self.splits[split], chosen), False)
        windows = [w for w in self._windows if w.split == split]
        if window is None and len(windows) == 1:
            window = 0
        if window is None or not 0 <= window < len(windows):
            raise ValueError(f"window: split {split} has {len(windows)} test windows; pass "
                             f"window=0 to {len(windows) - 1}")
        return self._result(windows[window].trial, True)

    # ------------------------------------------------------------ statistics

    @cached_property
    def _stats(self) -> pd.DataFrame:
        columns = {}
        for path in range(self.n_paths):
            columns[path] = path_stats(path_pieces(self._pieces, path), self.calendar,
                                       self._scorer.per_year,
                                       lambda p: self._result(p.run, p.fresh))
        frame = pd.DataFrame(columns, dtype=object)
        frame.columns = pd.RangeIndex(self.n_paths, name="path")
        return frame

    def stats(self) -> pd.DataFrame:
        """Per path (columns), the statistics of ``Result.stats()`` (rows).  Trade
        figures, exposure, turnover and costs come from running the chosen trials
        again (once each)."""
        return self._stats.copy()

    def _path_sharpe(self, path: int) -> tuple[float, np.ndarray]:
        import empyrical

        returns = covered_returns(path_pieces(self._pieces, path))[1]
        sharpe = empyrical.sharpe_ratio(returns, risk_free=0,
                                        annualization=self._scorer.per_year)
        return float(sharpe), returns

    def _grid_sharpes(self, path: int) -> np.ndarray:
        """Per-period Sharpe ratio of every grid trial on the path's bars, from its
        own runs (each trial as if chosen on every split)."""
        import empyrical

        parts = []
        for piece in path_pieces(self._pieces, path):
            runs = self._plan.columns(self.splits[piece.split])
            part = self._scorer.returns[np.ix_(piece.bars, runs)].astype(np.float64)
            part[piece.bars[:, None] <= self._scorer.starts[runs][None, :]] = np.nan
            parts.append(part)
        matrix = np.concatenate(parts)
        with np.errstate(divide="ignore", invalid="ignore"):
            sharpes = np.asarray(empyrical.sharpe_ratio(matrix, risk_free=0, annualization=1))
        return sharpes

    def _deflated_sharpe(self, path: int) -> float:
        annual, returns = self._path_sharpe(path)
        sharpes = self._grid_sharpes(path)
        sharpes = sharpes[np.isfinite(sharpes)]
        if len(sharpes) < 2 or len(returns) < 2 or not math.isfinite(annual):
            return math.nan
        return overfitting.deflated_sharpe_ratio(
            annual / math.sqrt(self._scorer.per_year), float(sharpes.var(ddof=1)),
            len(self._plan.grid), len(returns), float(scipy_stats.skew(returns)),
            float(scipy_stats.kurtosis(returns, fisher=False)))

    def summary(self) -> pd.Series:
        """How the selection held up out of sample:

        - ``paths``; ``sharpe_mean`` and ``sharpe_std``: mean and standard deviation
          (ddof 1) of the paths' Sharpe ratios;
        - ``train_score_mean``, ``test_score_mean`` over the folds, ``degradation``
          (the first minus the second) and ``rank_correlation`` (Spearman) of the
          folds' training and test scores;
        - ``pbo``: the share of folds whose chosen trial ranks no better than the
          median of the trials on the test bars (the logit convention of
          ``SweepResult.pbo``);
        - ``deflated_sharpe``: the deflated Sharpe ratio of the path (the mean over
          paths for several), with the whole grid as the number of trials and the
          variance of the grid's Sharpe ratios on the path's bars.
        """
        sharpes = np.array([self._path_sharpe(p)[0] for p in range(self.n_paths)])
        folds = self.folds
        pair = folds[["train_score", "test_score"]].astype(float).dropna()
        correlation = math.nan
        if len(pair) >= 2 and pair.nunique().min() > 1:
            correlation = float(scipy_stats.spearmanr(pair["train_score"],
                                                      pair["test_score"]).statistic)
        ranked = folds.dropna(subset=["test_rank"])
        from_worst = ranked["ranked"] + 1 - ranked["test_rank"]
        overfit = overfitting.overfit_rank(from_worst.to_numpy(), ranked["ranked"].to_numpy())
        train_mean = float(pair["train_score"].mean()) if len(pair) else math.nan
        test_mean = float(pair["test_score"].mean()) if len(pair) else math.nan
        deflated = [self._deflated_sharpe(p) for p in range(self.n_paths)]
        values = [
            self.n_paths,
            float(np.mean(sharpes)),
            float(np.std(sharpes, ddof=1)) if len(sharpes) > 1 else math.nan,
            train_mean,
            test_mean,
            train_mean - test_mean,
            correlation,
            float(overfit.mean()) if len(ranked) else math.nan,
            float(np.nanmean(deflated)) if not np.isnan(deflated).all() else math.nan,
        ]
        return pd.Series(values, index=pd.Index(SUMMARY_LABELS), dtype=object, name="summary")

    # ------------------------------------------------------------------ plot

    def in_sample_best(self) -> pd.Series:
        """The returns, on the paths' dates, of the run with the best score over all
        bars (the trial a sweep would pick); named by its row of ``table``."""
        scorer = self._scorer
        runs = np.arange(scorer.returns.shape[1])
        scores = scorer.window(self.selection.name, runs, np.arange(len(self.calendar)))
        best = self.selection.best(scores)
        if best is None:
            raise ValueError("no run has a score over the whole calendar")
        bars = self.calendar.get_indexer(self.paths.index)
        return pd.Series(scorer.returns[bars, best].astype(np.float64), index=self.paths.index,
                         name=best)

    def plot(self, path: str | None = None, *, title: str | None = None) -> Figure:
        """A matplotlib Figure: the out-of-sample value paths over the in-sample
        best run's value on the same dates, and training against test score per
        fold; saved as an image when `path` is given.  Needs matplotlib."""
        from .plot import plot_validation

        return plot_validation(self, path, title)
