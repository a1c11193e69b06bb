"""Finished trials as rows of the sweep's table.

`trial_record` is the one place where a trial's failure -- in the engine, in
its rules or in its statistics -- becomes a row: status "error" and the
exception's type and message, so that a failing trial never stops the others.
"""

from __future__ import annotations

import time
from dataclasses import dataclass
from typing import Any

import numpy as np
import pandas as pd

from mirelo._result import Result

KEY, STATUS, ERROR, ELAPSED = "key", "status", "error", "elapsed"
OK, FAILED = "ok", "error"

# The format of a row: raise it whenever a row's columns or what they mean change
# (a statistic added or computed otherwise), so that stores of older rows are not
# resumed as if they were this version's.
ROW_FORMAT = 4  # 4: turnover, exposure and costs exact with or without the holdings record


@dataclass
class TrialRecord:
    index: int  # the trial's position in the sweep
    row: dict  # key, grid values, status, error, elapsed, statistics
    returns: np.ndarray | None  # float32 returns per bar, when kept


def _plain(value: Any) -> Any:
    return value.item() if isinstance(value, np.generic) else value


def describe(exc: BaseException) -> str:
    return f"{type(exc).__name__}: {exc}"


def metrics(setup, trial, run_result) -> tuple[pd.Series, Result]:
    """The statistics of one run, and its Result (for the returns, when kept)."""
    result = setup.result(trial, run_result)
    return result.stats(), result


def trial_record(setup, trial, outcome: Any, run_seconds: float,
                 keep_returns: bool) -> TrialRecord:
    """One finished trial: `outcome` is its run result, or the exception that
    stopped it.  `run_seconds` is the trial's share of its chunk's run time;
    the time spent here on its statistics is added to it."""
    start = time.perf_counter()
    row = {KEY: trial.key}
    if trial.weights is not None:
        row["weights"] = trial.weights
    row.update(trial.params)
    stats: dict = {}
    returns = None
    failure = outcome if isinstance(outcome, BaseException) else None
    if failure is None:
        try:
            series, result = metrics(setup, trial, outcome)
            stats = {str(name): _plain(value) for name, value in series.items()}
            if keep_returns:
                returns = result.returns.to_numpy(dtype=np.float32)
        except Exception as exc:
            failure, stats = exc, {}
    row[STATUS] = OK if failure is None else FAILED
    row[ERROR] = None if failure is None else describe(failure)
    row[ELAPSED] = run_seconds + (time.perf_counter() - start)
    row.update(stats)
    return TrialRecord(trial.index, row, returns)


def failed_records(chunk: list, exc: BaseException) -> list[TrialRecord]:
    """Rows for a chunk that was lost as a whole (a worker that died)."""
    return [trial_record(None, trial, exc, 0.0, False) for trial in chunk]


def build_table(rows: list[dict], grid_columns: list[str]) -> pd.DataFrame:
    """The sweep's table: one row per trial, in trial order.  The statistics
    columns follow in the order of the first successful trial's."""
    leading = [KEY, *grid_columns, STATUS, ERROR, ELAPSED]
    stats: dict = {}
    for row in rows:
        if row[STATUS] == OK:
            stats.update(dict.fromkeys(k for k in row if k not in leading))
    table = pd.DataFrame.from_records(rows, columns=leading + list(stats))
    table.index = pd.RangeIndex(len(rows), name="trial")
    return table
