"""The runs of a validation: which backtests the sweep engines run, and where each
trial's returns are for each split.

With one weights frame, or a mapping of them (a grid axis, as in ``sweep``),
every trial of the grid runs once over the whole calendar, whatever the number
of splits.  With a callable, each split has weights of its own, built from its
training dates, and every trial runs once per split on them: the runs are the
grid with the splits as its outer weights axis.

Trial keys are those of ``sweep``; a split's weights are named "split N" in the
table, and their key also covers the split's training bars (what the callable
saw), so that a store is not resumed across different splits.
"""

from __future__ import annotations

import dataclasses
import hashlib
from collections.abc import Callable, Mapping
from dataclasses import dataclass
from typing import Any, cast

import numpy as np
import pandas as pd

from mirelo._inputs import RULE_DEFAULTS
from mirelo._labels import some
from mirelo._sweep.setup import SweepSetup
from mirelo._sweep.trials import Trial, expand_grid, trial_key

from .splits import Split


def split_name(split: Split) -> str:
    return f"split {split.number}"


def _digest(bars: np.ndarray) -> str:
    return hashlib.sha256(np.ascontiguousarray(bars, dtype=np.int64).tobytes()).hexdigest()[:12]


def split_weights(weights: Callable[[pd.DatetimeIndex], Any], split: Split,
                  close: pd.DataFrame) -> pd.DataFrame:
    """The frame `weights` builds from the split's training dates, checked for what
    the split cannot trade: stocks without prices and dates outside the calendar."""
    where = f"weights(train_dates) of split {split.number}"
    frame = weights(cast(pd.DatetimeIndex, close.index)[split.train])
    if not isinstance(frame, pd.DataFrame):
        raise TypeError(f"{where} returned {type(frame).__name__}, not a DataFrame")
    unknown = frame.columns.difference(close.columns, sort=False)
    if len(unknown):
        raise ValueError(f"{where} has stocks that are not in close: {some(unknown)}")
    if isinstance(frame.index, pd.DatetimeIndex) and len(frame.index):
        calendar = close.index
        outside = frame.index[(frame.index < calendar[0]) | (frame.index > calendar[-1])]
        if len(outside):
            raise ValueError(f"{where} has rows dated outside the calendar "
                             f"({calendar[0]:%Y-%m-%d} to {calendar[-1]:%Y-%m-%d}): "
                             f"{some(outside.strftime('%Y-%m-%d'))}")
    return frame


@dataclass
class Plan:
    setup: SweepSetup  # the slice runs' inputs and markets
    frames: dict[str | None, pd.DataFrame]  # weights frame by name in the setup
    grid: list[Trial]  # the grid's trials, as the folds name them
    grid_columns: list[str]  # their table columns (the weights axis first)
    runs: list[Trial]  # the slice runs, in table order
    run_columns: list[str]  # the runs' table columns
    per_split: bool  # a callable's weights: the grid runs once per split
    source_keys: dict[str | None, str]  # weights name -> what its trial keys cover

    def run(self, split: Split, trial: int) -> Trial:
        """The run that holds `trial`'s returns for `split`."""
        return self.runs[self.columns(split)[trial]]

    def columns(self, split: Split) -> np.ndarray:
        """The run (column of the kept returns) of each grid trial, for `split`."""
        offset = split.number * len(self.grid) if self.per_split else 0
        return offset + np.arange(len(self.grid))

    def start_bars(self) -> np.ndarray:
        """Per run: the bar its statistics start after (its first weights date's)."""
        starts = {}
        for name, inputs in self.setup.inputs.items():
            first = inputs.targets.pos_index[0]
            starts[name] = int(np.searchsorted(inputs.market.price_index, first))
        return np.array([starts[run.weights] for run in self.runs], dtype=np.intp)


def make_plan(close: pd.DataFrame, weights: Any, grid: Any, splits: list[Split],
              market: dict, fixed_rules: dict) -> Plan:
    if callable(weights) and not isinstance(weights, (pd.DataFrame, Mapping)):
        return _plan_per_split(close, weights, grid, splits, market, fixed_rules)
    setup, names = SweepSetup.prepare(close, weights, **market)
    frames: dict[str | None, pd.DataFrame] = (
        {str(k): v for k, v in weights.items()} if isinstance(weights, Mapping)
        else {None: weights})
    trials, columns = expand_grid(grid, names, fixed_rules, RULE_DEFAULTS)
    keys = {name: "" if name is None else name for name in frames}
    return Plan(setup, frames, trials, columns, trials, columns, False, keys)


def _plan_per_split(close: pd.DataFrame, weights: Callable[[pd.DatetimeIndex], Any],
                    grid: Any, splits: list[Split], market: dict, fixed_rules: dict) -> Plan:
    frames: dict[str | None, pd.DataFrame] = {
        split_name(s): split_weights(weights, s, close) for s in splits}
    setup, _ = SweepSetup.prepare(close, frames, **market)
    trials, columns = expand_grid(grid, None, fixed_rules, RULE_DEFAULTS)
    names = [split_name(s) for s in splits]
    runs, run_columns = expand_grid(grid, names, fixed_rules, RULE_DEFAULTS)
    keys: dict[str | None, str] = {
        split_name(s): f"{split_name(s)} train {_digest(s.train)}" for s in splits}
    runs = [dataclasses.replace(r, key=trial_key(r.rules, keys[r.weights])) for r in runs]
    return Plan(setup, frames, trials, columns, runs, run_columns, True, keys)
