"""The choice of each split and the table of folds.

On each split the trial with the best score on the training bars is chosen
(or the one a callable `select` picks from the training table), and every
trial is scored on each test group, so that the chosen trial's test score can
be ranked among them.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np
import pandas as pd

from mirelo._sweep.rows import ERROR, KEY, OK, STATUS

from .plan import Plan
from .scores import SCORES, Matrix, Scorer, Selection
from .splits import Split

FOLD_COLUMNS = ["split", "group", "path", "train_start", "train_end", "train_bars",
                "test_start", "test_end", "test_bars", "trial"]


@dataclass
class Choice:
    """What one split chose and how every trial scored on its windows."""

    chosen: int | None  # the grid trial, None when no trial has a training score
    train_scores: Matrix  # per grid trial
    test_scores: list[Matrix]  # per test group, per grid trial (slice runs)


def training_table(plan: Plan, runs_table: pd.DataFrame, scorer: Scorer,
                   split: Split) -> pd.DataFrame:
    """What a callable `select` picks from: one row per grid trial (key, grid
    values, status, error) with its statistics on the split's training bars."""
    columns = plan.columns(split)
    base = runs_table.iloc[columns][[KEY, *plan.grid_columns, STATUS, ERROR]]
    table = base.reset_index(drop=True).rename_axis("trial")
    for name in SCORES:
        table[name] = scorer.window(name, columns, split.train)
    return table


def _picked(selection: Selection, table: pd.DataFrame, split: Split) -> int:
    assert selection.pick is not None
    label = selection.pick(table)
    if label not in table.index:
        raise ValueError(f"select returned {label!r} for split {split.number}, which is not "
                         f"a trial of its table (0 to {len(table) - 1})")
    if table.loc[label, STATUS] != OK:
        raise ValueError(f"select chose trial {label!r} for split {split.number}, which "
                         f"failed: {table.loc[label, ERROR]}")
    return int(label)


def choose(plan: Plan, runs_table: pd.DataFrame, scorer: Scorer, selection: Selection,
           split: Split) -> Choice:
    columns = plan.columns(split)
    train = scorer.window(selection.name, columns, split.train)
    if selection.pick is not None:
        chosen: int | None = _picked(selection, training_table(plan, runs_table, scorer, split),
                                     split)
    else:
        chosen = selection.best(train)
    tests = [scorer.window(selection.name, columns, group) for group in split.groups]
    return Choice(chosen, train, tests)


def folds_table(plan: Plan, splits: list[Split], choices: list[Choice],
                test_scores: list[list[float]], selection: Selection,
                calendar: pd.DatetimeIndex, slice_scores: bool) -> pd.DataFrame:
    """One row per split and test group.  `test_scores`: the chosen trial's score
    on each group (from its fresh run in fresh mode); `slice_scores` adds the
    slice run's as "slice_test_score"."""
    rows = []
    for split, choice, scores in zip(splits, choices, test_scores):
        trial = plan.grid[choice.chosen] if choice.chosen is not None else None
        for g, group in enumerate(split.groups):
            tests = choice.test_scores[g]
            row = dict(zip(FOLD_COLUMNS, (
                split.number, g, split.paths[g], calendar[split.train[0]],
                calendar[split.train[-1]], len(split.train), calendar[group[0]],
                calendar[group[-1]], len(group),
                choice.chosen if choice.chosen is not None else pd.NA)))
            if trial is not None and trial.weights is not None:
                row["weights"] = trial.weights
            row.update(trial.params if trial is not None else {})
            chosen = choice.chosen
            row["train_score"] = choice.train_scores[chosen] if chosen is not None else np.nan
            row["test_score"] = scores[g]
            if slice_scores:
                row["slice_test_score"] = tests[chosen] if chosen is not None else np.nan
            row["test_rank"] = (selection.ranks(tests)[chosen] if chosen is not None
                                else np.nan)
            row["ranked"] = int(np.count_nonzero(~np.isnan(tests)))
            rows.append(row)
    columns = FOLD_COLUMNS + [c for c in plan.grid_columns] + ["train_score", "test_score"] \
        + (["slice_test_score"] if slice_scores else []) + ["test_rank", "ranked"]
    table = pd.DataFrame.from_records(rows, columns=columns)
    table["trial"] = table["trial"].astype("Int64")
    table.index = pd.RangeIndex(len(table), name="fold")
    return table
