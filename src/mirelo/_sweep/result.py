"""What a sweep returns: its table, the best trial, re-runs, and the statistics
that say how much the best trial owes to the number of trials."""

from __future__ import annotations

import os
from typing import cast

import numpy as np
import pandas as pd

from mirelo._plot import PLOT_HINT

from . import overfitting
from .rows import OK, STATUS
from .setup import SweepSetup
from .trials import Trial


class SweepResult:
    """The outcome of ``mirelo.sweep``.

    ``table``: one row per trial (index: the trial number) with its key, its
    grid values, status ("ok" or "error"), error ("Type: message" or missing),
    elapsed seconds (the trial's share of its chunk's run time plus its
    statistics) and the statistics of ``Result.stats()``.
    ``returns``: float32 returns, one column per trial (missing for a failed
    one), when the sweep kept them; otherwise None.
    """

    def __init__(self, setup: SweepSetup, trials: list[Trial], grid_columns: list[str],
                 table: pd.DataFrame, returns: pd.DataFrame | None):
        self._setup = setup
        self._trials = trials
        self.grid_columns = grid_columns
        self.table = table
        self.returns = returns

    def __repr__(self) -> str:
        ok = int((self.table[STATUS] == OK).sum())
        return (f"<SweepResult: {len(self.table)} trials, {ok} ok, "
                f"{len(self.table) - ok} failed>")

    def _metric(self, metric: str) -> pd.Series:
        """The metric of the successful trials."""
        if metric not in self.table.columns or metric in self.grid_columns:
            columns = [str(c) for c in self.table.columns]
            stats = columns[columns.index("elapsed") + 1:]
            raise ValueError(f"metric: {metric!r} is not a statistic of this sweep "
                             f"(statistics: {', '.join(stats) or 'none'})")
        values = self.table.loc[self.table[STATUS] == OK, metric]
        values = pd.to_numeric(values, errors="coerce").dropna()
        if values.empty:
            raise ValueError(f"no successful trial has a value of {metric!r}")
        return values

    def best(self, metric: str = "sharpe", largest: bool = True) -> pd.Series:
        """The table row of the successful trial with the largest (or smallest)
        `metric`; the first one on ties."""
        values = self._metric(metric)
        label = cast(int, values.idxmax() if largest else values.idxmin())
        return cast(pd.Series, self.table.loc[label])

    def run(self, i: int):
        """Runs trial `i` again and returns its full Result (trades and all)."""
        if not isinstance(i, (int, np.integer)) or not 0 <= i < len(self._trials):
            raise IndexError(f"i: no trial {i!r} (the sweep has {len(self._trials)})")
        return self._setup.run_one(self._trials[int(i)])

    def deflated_sharpe(self) -> float:
        """The deflated Sharpe ratio of the best trial by "sharpe": the
        probability that its true Sharpe ratio is above what the best of this
        many trials (failed ones included) would show by luck.  Sharpe ratios
        are taken per period (the "sharpe" statistic over the square root of
        "periods_per_year"); the best trial is run again for the skewness and
        kurtosis of its returns over the period of its statistics."""
        annual = self._metric("sharpe")
        per_year = pd.to_numeric(self.table.loc[annual.index, "periods_per_year"])
        sharpe = annual / np.sqrt(per_year)
        best = self.run(int(sharpe.idxmax()))
        returns = best.returns.iloc[best.start_bar + 1:]  # the statistics' period
        return overfitting.deflated_sharpe(returns.to_numpy(dtype=np.float64),
                                           sharpe.to_numpy(), len(self.table))

    def pbo(self, splits: int = 16) -> float:
        """Probability of backtest overfitting by combinatorially symmetric
        cross-validation over the successful trials' kept returns, the time
        axis split into `splits` blocks.  The bars before any trial's value
        moves (before the first trade) are left out."""
        if self.returns is None:
            raise ValueError("pbo() needs the trials' returns: run the sweep with "
                             "keep_returns=True")
        ok = self.table.index[self.table[STATUS] == OK]
        returns = self.returns[ok].to_numpy(dtype=np.float64)
        moved = np.flatnonzero((returns != 0.0).any(axis=1))
        return overfitting.pbo(returns[moved[0] if len(moved) else 0:], splits)

    def plot(self, x: str, y: str, metric: str = "sharpe", ax=None, *,
             path: str | os.PathLike | None = None):
        """A heatmap of `metric` over two grid columns (failed trials blank) on `ax`,
        or on a new figure (``ax.figure``); every other grid column must be constant.
        Saves the figure as an image when `path` is given.  Returns the axes.
        Needs matplotlib."""
        for name, value in (("x", x), ("y", y)):
            if value not in self.grid_columns:
                raise ValueError(f"{name}: {value!r} is not a grid column "
                                 f"(grid: {', '.join(self.grid_columns)})")
        self._metric(metric)
        others = [c for c in self.grid_columns
                  if c not in (x, y) and self.table[c].nunique(dropna=False) > 1]
        if others:
            raise ValueError(f"plot needs one trial per ({x}, {y}) cell, but "
                             f"{', '.join(others)} also vary")
        values = self.table[metric].where(self.table[STATUS] == OK)
        grid = (self.table.assign(**{metric: values})
                .pivot(index=y, columns=x, values=metric).astype(float))
        if ax is None:
            # A figure of its own, without pyplot: no global state, no display backend.
            try:
                from matplotlib.figure import Figure
            except ImportError as err:
                raise ImportError(PLOT_HINT) from err
            ax = Figure(figsize=(1.0 + 0.9 * grid.shape[1], 1.0 + 0.6 * grid.shape[0])) \
                .add_subplot()
        image = ax.imshow(grid.to_numpy(), origin="lower", aspect="auto", cmap="viridis")
        ax.set_xticks(range(grid.shape[1]), [f"{v:g}" if isinstance(v, float) else str(v)
                                             for v in grid.columns])
        ax.set_yticks(range(grid.shape[0]), [f"{v:g}" if isinstance(v, float) else str(v)
                                             for v in grid.index])
        ax.set_xlabel(x)
        ax.set_ylabel(y)
        for (row, col), value in np.ndenumerate(grid.to_numpy()):
            if np.isfinite(value):
                ax.text(col, row, f"{value:.2f}", ha="center", va="center", color="white",
                        fontsize=8)
        ax.figure.colorbar(image, ax=ax, label=metric)
        if path is not None:
            ax.figure.savefig(path, dpi=100, bbox_inches="tight")
        return ax
