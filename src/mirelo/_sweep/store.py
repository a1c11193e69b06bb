"""A sweep's store: finished trials on disk, so that a killed sweep keeps its work.

The store is a directory of Parquet files (``results.parquet/part-*.parquet``),
one per chunk of finished trials, beside the fingerprint of the sweep that wrote
them (``fingerprint.json``) and a lock file (``.lock``).  Each file is written
under a temporary name and renamed into place, so a kill at any moment leaves
only complete files (and perhaps a temporary one, which the next writer
removes).  Rows go through pandas on the way in and out, so that dates, missing
values and column types come back as they were.  A store is read back file by
file, so chunks may differ in their columns (a chunk of failed trials has no
statistics).  Returns, when kept, are a list<float32> column.  When a key
appears more than once, the newest file wins.

One writer at a time: an open store holds an exclusive OS lock on its lock
file, which the system drops when the holder exits or is killed, so a killed
sweep leaves nothing blocking; opening a store that another holds fails at
once, naming it.

A store's rows hold only for the settings that produced them.  Opening a store
with a fingerprint (name -> short text) that disagrees with the recorded one on
any entry both have raises ValueError naming those entries, before anything
runs; an entry that only one side has is allowed where `may_be_absent(name)`
(the record then keeps the union), and refused otherwise.
"""

from __future__ import annotations

import json
import os
import re
import uuid
from collections.abc import Callable, Mapping
from pathlib import Path

import numpy as np
import pandas as pd
import pyarrow as pa
import pyarrow.parquet as pq
from filelock import FileLock, Timeout

from .rows import KEY, TrialRecord

RETURNS = "returns"
FINGERPRINT = "fingerprint.json"
LOCK = ".lock"
_PART = re.compile(r"part-(\d{8})-[0-9a-f]{8}\.parquet")
_TEMPORARY = re.compile(r"\.(part|fingerprint)-.*\.tmp")


def _never(name: str) -> bool:
    return False


class Store:
    def __init__(self, path: str | os.PathLike, fingerprint: Mapping[str, str],
                 may_be_absent: Callable[[str], bool] = _never):
        self.path = Path(path)
        if self.path.exists() and not self.path.is_dir():
            raise ValueError(f"store: {str(self.path)!r} is a file; a sweep store is a "
                             "directory of Parquet files")
        self.path.mkdir(parents=True, exist_ok=True)
        # Not thread-local: the workers that append run on threads of their own.
        self._lock = FileLock(self.path / LOCK, thread_local=False)
        self._open = False
        try:
            self._lock.acquire(blocking=False)
        except Timeout:
            raise RuntimeError(f"store {str(self.path)!r} is open in another sweep (a store "
                               "has one writer at a time): wait for that sweep to finish, "
                               "or use another store") from None
        self._open = True
        try:
            for leftover in self.path.iterdir():
                if _TEMPORARY.fullmatch(leftover.name):
                    leftover.unlink()
            self._adopt(dict(fingerprint), may_be_absent)
        except BaseException:
            self.close()
            raise
        self._next = 1 + max((int(m.group(1)) for m in map(_PART.fullmatch, self._names())
                              if m), default=-1)

    def close(self) -> None:
        """Lets another sweep open the store."""
        if self._open:
            self._open = False
            self._lock.release()

    def __enter__(self) -> Store:
        return self

    def __exit__(self, *exc_info) -> None:
        self.close()

    def _adopt(self, fingerprint: dict[str, str], may_be_absent: Callable[[str], bool]) -> None:
        """Checks `fingerprint` against the recorded one, and records it."""
        where = f"store {str(self.path)!r}"
        recorded = self._recorded_fingerprint()
        if recorded is None:
            if any(_PART.fullmatch(name) for name in self._names()):
                raise ValueError(f"{where} has rows but no fingerprint of the settings that "
                                 "produced them (it was written by an earlier version), so "
                                 "they cannot be checked against this sweep: use another "
                                 "store")
            recorded = {}
        else:
            differ = [name for name in fingerprint
                      if name in recorded and recorded[name] != fingerprint[name]]
            differ += [name for name in {**recorded, **fingerprint}
                       if (name in recorded) != (name in fingerprint)
                       and not may_be_absent(name)]
            if differ:
                raise ValueError(f"{where} holds rows of a sweep with other settings: "
                                 f"{', '.join(differ)} differ; run the sweep with the "
                                 "settings that wrote the store, or use another store")
        merged = {**recorded, **fingerprint}
        if merged != recorded:
            self._write_atomically(FINGERPRINT, json.dumps(merged, indent=1).encode())

    def _recorded_fingerprint(self) -> dict[str, str] | None:
        return recorded_fingerprint(self.path)

    def _write_atomically(self, name: str, data: bytes) -> None:
        stem = name.partition(".")[0]
        temporary = self.path / f".{stem}-{uuid.uuid4().hex[:8]}.tmp"
        temporary.write_bytes(data)
        _fsync(temporary)
        os.replace(temporary, self.path / name)

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
        if not self._open:
            raise RuntimeError(f"store {str(self.path)!r} is closed")
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


def recorded_fingerprint(path: Path) -> dict[str, str] | None:
    """The fingerprint the store at `path` recorded (None: none yet)."""
    try:
        text = (path / FINGERPRINT).read_text()
    except FileNotFoundError:
        return None
    try:
        recorded = json.loads(text)
    except ValueError:
        recorded = None
    if not isinstance(recorded, dict):
        raise ValueError(f"store {str(path)!r}: {FINGERPRINT} is not a fingerprint "
                         "(a JSON object); use another store")
    return recorded


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
