"""``mirelo.cross_validate``: out-of-sample validation of a grid of backtests."""

from __future__ import annotations

import contextlib
from dataclasses import dataclass
from typing import Any

import numpy as np
import pandas as pd

from mirelo._frames import check_frame
from mirelo._stats import check_periods_per_year, infer_periods_per_year
from mirelo._sweep.api import PROGRESS_METRIC, check_engine, open_store, run_pending
from mirelo._sweep.collect import Collector
from mirelo._sweep.progress import Progress
from mirelo._sweep.setup import SweepSetup
from mirelo._sweep.trials import Trial

from .folds import Choice, choose, folds_table
from .fresh import Window, plan_windows
from .paths import Piece
from .plan import Plan, make_plan
from .result import CVResult
from .scores import Scorer, Selection, score, selection
from .splits import Split, check_splits

MODES = ("slice", "fresh")
# In the store's fingerprint: how fresh windows are built.  Raise it whenever that
# changes, so that a store of fresh runs built otherwise is not resumed.
WINDOWS_ENTRY, WINDOWS_FORMAT = "validation windows", "1"
MARKET_ARGS = ("open", "high", "low", "trade_at", "rebalance", "delisted")


def cross_validate(close: pd.DataFrame, weights: Any, grid: Any, cv: Any, *,
                   select: Any = "sharpe", mode: str = "slice", engine: str = "threads",
                   workers: int | None = None, progress: bool = True, store: Any = None,
                   ray_address: str | None = None, periods_per_year: float | None = None,
                   **backtest_and_fixed_rules: Any) -> CVResult:
    """Chooses a trial of `grid` on the training bars of each split of `cv` and
    measures it on the split's test bars.

    weights: a frame; a mapping name -> frame (one more grid axis, as in
        ``sweep``); or a callable ``weights(train_dates) -> DataFrame`` called
        once per split with the split's training dates, which builds the
        weights of that split (a model fitted on them).  It may use data up to
        the end of its training window; the frame it returns may hold only
        stocks of `close` and dates of its calendar.
    cv: ``mirelo.WalkForward``, ``mirelo.CombinatorialPurgedCV``, or any object
        whose ``split(close)`` yields ``(train, test)`` arrays of bar positions.
    select: a statistic of ``Result.stats()`` that returns determine (sharpe,
        sortino, total_return, annual_return, annual_volatility, max_drawdown,
        calmar), maximised on the training bars ("-name" minimises); or a
        callable ``(table) -> trial`` picking from the training table (one row
        per trial with those statistics on the training bars), the scores then
        being Sharpe ratios.
    mode: "slice" scores every trial on the bars of each window of its run over
        the whole calendar; "fresh" also runs each split's chosen trial again
        on each of its contiguous test windows alone, from a flat start, and
        takes its test score from there.
    engine, workers, progress, store, ray_address, periods_per_year: as for
        ``sweep``; one progress bar counts every run, and a store keeps every
        run, so that a validation started again with it resumes.  Every window
        is annualised with the periods a year of the whole calendar.
    backtest_and_fixed_rules: the market arguments of ``mirelo.backtest`` (open,
        high, low, trade_at, rebalance, delisted) and rules every trial shares.
    """
    if mode not in MODES:
        raise ValueError(f"mode must be 'slice' or 'fresh', got {mode!r}")
    workers = check_engine(engine, workers, ray_address)
    given_per_year = check_periods_per_year(periods_per_year)
    chooser = selection(select)
    market = {k: backtest_and_fixed_rules.pop(k) for k in MARKET_ARGS
              if k in backtest_and_fixed_rules}
    calendar = check_frame(close, "close")
    splits = check_splits(cv, close, len(calendar))
    plan = make_plan(close, weights, grid, splits, market, backtest_and_fixed_rules)
    per_year = given_per_year or infer_periods_per_year(calendar)
    plan.setup.periods_per_year = given_per_year
    windows_count = sum(len(s.windows()) for s in splits) if mode == "fresh" else 0
    fingerprint = {WINDOWS_ENTRY: WINDOWS_FORMAT}
    with open_store(store, plan.setup, market.get("trade_at", "close"),
                    backtest_and_fixed_rules, fingerprint) as opened, \
            contextlib.closing(Progress(len(plan.runs) + windows_count, 0, PROGRESS_METRIC,
                                        bool(progress), unit="run", desc="validate")) as bar:
        runner = _Runner(engine, workers, ray_address, opened, bar)
        runs = runner.collect(plan.setup, plan.runs)
        runs_table = runs.table(plan.run_columns)
        scorer = Scorer(runs.returns(calendar).to_numpy(), plan.start_bars(), per_year)
        choices = [choose(plan, runs_table, scorer, chooser, s) for s in splits]
        fresh_setup: SweepSetup | None = None
        windows: list[Window] = []
        fresh_table = None
        if mode == "fresh":
            fresh_setup, windows = plan_windows(plan, close, market, splits,
                                                [c.chosen for c in choices])
            fresh_setup.periods_per_year = per_year  # not a short window's own
            trials = list({w.trial.key: w.trial for w in windows}.values())
            bar.set_total(len(plan.runs) + len(trials))
            fresh = runner.collect(fresh_setup, trials)
            fresh_table = fresh.table(["weights", *[c for c in plan.grid_columns
                                                   if c != "weights"]])
    if fresh_setup is None:
        pieces = _slice_pieces(plan, scorer, splits, choices)
    else:
        pieces = _fresh_pieces(fresh, fresh_setup, windows, splits, choices)
    tests = _chosen_test_scores(pieces, splits, chooser, scorer.per_year)
    folds = folds_table(plan, splits, choices, tests, chooser, calendar, mode == "fresh")
    return CVResult(mode=mode, selection=chooser, splits=splits, calendar=calendar, plan=plan,
                    scorer=scorer, folds=folds, pieces=pieces, table=runs_table,
                    fresh_setup=fresh_setup, windows=windows, fresh_table=fresh_table)


@dataclass
class _Runner:
    """Runs trials on the engine, recording them in the store and on the one bar."""

    engine: str
    workers: int | None
    ray_address: str | None
    store: Any  # an open Store, or None
    bar: Progress

    def collect(self, setup: SweepSetup, trials: list[Trial]) -> Collector:
        """The trials' records: the store's, and the others run now."""
        collector = Collector(trials, self.store, True, False, PROGRESS_METRIC,
                              progress=self.bar)
        run_pending(self.engine, setup, collector, workers=self.workers, keep_returns=True,
                    ray_address=self.ray_address)
        return collector


def _empty_piece(split: Split, g: int, fresh: bool) -> Piece:
    bars = split.groups[g]
    return Piece(split.paths[g], split.number, g, bars, np.full(len(bars), np.nan),
                 np.zeros(len(bars), dtype=bool), None, 0, fresh)


def _slice_pieces(plan: Plan, scorer: Scorer, splits: list[Split],
                  choices: list[Choice]) -> list[Piece]:
    pieces = []
    for split, choice in zip(splits, choices):
        for g, bars in enumerate(split.groups):
            if choice.chosen is None:
                pieces.append(_empty_piece(split, g, False))
                continue
            run = int(plan.columns(split)[choice.chosen])
            pieces.append(Piece(split.paths[g], split.number, g, bars,
                                scorer.returns[bars, run].astype(np.float64),
                                bars > scorer.starts[run], plan.runs[run], 0, False))
    return pieces


def _fresh_pieces(fresh: Collector, setup: SweepSetup, windows: list[Window],
                  splits: list[Split], choices: list[Choice]) -> list[Piece]:
    starts = {}
    for name, inputs in setup.inputs.items():
        first = inputs.targets.pos_index[0]
        starts[name] = int(np.searchsorted(inputs.market.price_index, first))
    pieces = []
    for split, choice in zip(splits, choices):
        for g, bars in enumerate(split.groups):
            window = next((w for w in windows if w.split == split.number
                           and w.first <= bars[0] <= w.last), None)
            if choice.chosen is None or window is None:
                pieces.append(_empty_piece(split, g, True))
                continue
            kept = fresh.records[window.trial.index].returns
            local = bars - window.first
            returns = (np.full(len(bars), np.nan) if kept is None
                       else kept[local].astype(np.float64))
            pieces.append(Piece(split.paths[g], split.number, g, bars, returns,
                                local > starts[window.trial.weights], window.trial,
                                window.first, True))
    return pieces


def _chosen_test_scores(pieces: list[Piece], splits: list[Split], chooser: Selection,
                        per_year: float) -> list[list[float]]:
    """The chosen trial's score on each test group, from the piece's returns."""
    scores: list[list[float]] = [[np.nan] * len(s.groups) for s in splits]
    for piece in pieces:
        returns = piece.returns[piece.covered][:, None]
        scores[piece.split][piece.group] = float(score(chooser.name, returns, per_year)[0])
    return scores
