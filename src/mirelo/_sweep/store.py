"""A sweep's store: finished trials on disk, so that a killed sweep keeps its work.

The store is a directory of Parquet files (``results.parquet/part-*.parquet``),
one per chunk of finished trials.  Each file is written under a temporary name
and renamed into place, so a kill at any moment leaves only complete files
(and perhaps a temporary one, which is removed the next time the store is
opened).  Rows go through pandas on the way in and out, so that dates, missing
values and column types come back as they were.  A store is read back file by
file, so chunks may differ in their columns (a chunk of failed trials has no
statistics).  Returns, when kept, are
a list<float32> column.  When a key appears more than once, the newest file
wins.
"""

from __future__ import annotations

import os
import re
import uuid
from pathlib import Path

import numpy as np
import pandas as pd
import pyarrow as pa
import pyarrow.parquet as pq

from .rows import KEY, TrialRecord

RETURNS = "returns"
_PART = re.compile(r"part-(\d{8})-[0-9a-f]{8}\.parquet")
_TEMPORARY = re.compile(r"\.part-.*\.tmp")


class Store:
    def __init__(self, path: str | os.PathLike):
        self.path = Path(path)
        if self.path.exists() and not self.path.is_dir():
            raise ValueError(f"store: {str(self.path)!r} is a file; a sweep store is a "
                             "directory of Parquet files")
        self.path.mkdir(parents=True, exist_ok=True)
        for leftover in self.path.iterdir():
            if _TEMPORARY.fullmatch(leftover.name):
                leftover.unlink()
        self._next = 1 + max((int(m.group(1)) for m in map(_PART.fullmatch, self._names())
                              if m), default=-1)

    def _names(self) -> list[str]:
        return sorted(p.name for p in self.path.iterdir())

    def load(self) -> dict[str, TrialRecord]:
        """Every stored trial by key; a record's index is -1 (not yet placed)."""
        records: dict[str, TrialRecord] = {}
        for name in self._names():
            if not _PART.fullmatch(name):
                continue
            table = pq.read_table(self.path / name)
            returns = _returns(table)
            if RETURNS in table.column_names:
                table = table.drop_columns([RETURNS])
            for row, rets in zip(table.to_pandas().to_dict("records"), returns):
                records[row[KEY]] = TrialRecord(-1, row, rets)
        return records

    def append(self, records: list[TrialRecord]) -> None:
        if not records:
            return
        frame = pd.DataFrame.from_records([r.row for r in records])
        table = pa.Table.from_pandas(frame, preserve_index=False)
        if any(r.returns is not None for r in records):
            values = [None if r.returns is None else r.returns for r in records]
            table = table.append_column(RETURNS, pa.array(values, type=pa.list_(pa.float32())))
        tag = uuid.uuid4().hex[:8]
        final = self.path / f"part-{self._next:08d}-{tag}.parquet"
        temporary = self.path / f".part-{self._next:08d}-{tag}.tmp"
        self._next += 1
        pq.write_table(table, temporary)
        _fsync(temporary)
        os.replace(temporary, final)


def _fsync(path: Path) -> None:
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def _returns(table: pa.Table) -> list[np.ndarray | None]:
    if RETURNS not in table.column_names:
        return [None] * table.num_rows
    column = table.column(RETURNS).combine_chunks()
    values = column.values.to_numpy(zero_copy_only=False)
    offsets = column.offsets.to_numpy()
    valid = column.is_valid().to_numpy(zero_copy_only=False)
    return [values[offsets[i]:offsets[i + 1]].copy() if valid[i] else None
            for i in range(len(column))]
