"""Gathers a sweep's finished trials: the rows and returns it keeps, the store it
appends to and the progress it advances.  Engines hand it one chunk at a time,
from one thread at a time."""

from __future__ import annotations

import numpy as np
import pandas as pd

from .progress import Progress
from .rows import KEY, OK, STATUS, TrialRecord, build_table
from .store import Store
from .trials import WEIGHTS_COLUMN, Trial


def _identity(trial: Trial) -> dict:
    row = {KEY: trial.key}
    if trial.weights is not None:
        row[WEIGHTS_COLUMN] = trial.weights
    row.update(trial.params)
    return row


def _restored(trial: Trial, stored: TrialRecord) -> TrialRecord:
    """A stored trial as a record of this sweep: its grid values as this sweep
    names them, and what the store has from the status on (status, error,
    elapsed and the statistics, in the order they were written)."""
    names = list(stored.row)
    outcome = {k: stored.row[k] for k in names[names.index(STATUS):]}
    return TrialRecord(trial.index, {**_identity(trial), **outcome}, stored.returns)


class Collector:
    def __init__(self, trials: list[Trial], store: Store | None, keep_returns: bool,
                 progress_enabled: bool, metric: str, progress: Progress | None = None):
        """`progress`: a bar shared with other collectors (the trials read from the
        store count as done on it); by default one of this collector's own."""
        self.trials = trials
        self.store = store
        self.records: dict[int, TrialRecord] = {}
        stored = store.load() if store is not None else {}
        for trial in trials:
            record = stored.get(trial.key)
            if record is not None and (record.returns is not None or not keep_returns
                                       or record.row[STATUS] != OK):
                self.records[trial.index] = _restored(trial, record)
        if progress is None:
            progress = Progress(len(trials), len(self.records), metric, progress_enabled)
        else:
            progress.restored(len(self.records))
        self.progress = progress

    def pending(self) -> list[Trial]:
        return [t for t in self.trials if t.index not in self.records]

    def add(self, records: list[TrialRecord]) -> None:
        if self.store is not None:
            self.store.append(records)
        for record in records:
            self.records[record.index] = record
        self.progress.update(records)

    def close(self) -> None:
        self.progress.close()

    def table(self, grid_columns: list[str]) -> pd.DataFrame:
        return build_table([self.records[t.index].row for t in self.trials], grid_columns)

    def returns(self, index: pd.Index) -> pd.DataFrame:
        """float32 returns, one column per trial (all missing for a failed one)."""
        matrix = np.full((len(index), len(self.trials)), np.nan, dtype=np.float32)
        for trial in self.trials:
            kept = self.records[trial.index].returns
            if kept is not None:
                if len(kept) != len(index):
                    raise ValueError(f"trial {trial.index} kept {len(kept)} returns for "
                                     f"{len(index)} bars")
                matrix[:, trial.index] = kept
        return pd.DataFrame(matrix, index=index,
                            columns=pd.RangeIndex(len(self.trials), name="trial"))
