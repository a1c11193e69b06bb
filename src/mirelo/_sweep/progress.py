"""The progress bar of a sweep: finished trials, failures and the running best."""

from __future__ import annotations

import math

from tqdm import tqdm

from .rows import STATUS, OK, TrialRecord


class Progress:
    def __init__(self, total: int, done: int, metric: str, enabled: bool, unit: str = "trial",
                 desc: str = "sweep"):
        self.metric = metric
        self.best = -math.inf
        self.failed = 0
        # disable=True makes tqdm print nothing at all, not even at close.
        self.bar = tqdm(total=total, initial=done, disable=not enabled, unit=unit,
                        desc=desc, dynamic_ncols=True, smoothing=0.1)

    def update(self, records: list[TrialRecord]) -> None:
        for record in records:
            if record.row[STATUS] != OK:
                self.failed += 1
                continue
            value = record.row.get(self.metric)
            if isinstance(value, (int, float)) and value > self.best:
                self.best = float(value)
        postfix = []
        if self.best > -math.inf:
            postfix.append(f"best {self.metric} {self.best:.4g}")
        if self.failed:
            postfix.append(f"{self.failed} failed")
        self.bar.set_postfix_str(", ".join(postfix), refresh=False)
        self.bar.update(len(records))

    def restored(self, count: int) -> None:
        """`count` more done without running (read back from a store)."""
        self.bar.update(count)

    def set_total(self, total: int) -> None:
        self.bar.total = total
        self.bar.refresh()

    def close(self) -> None:
        self.bar.close()
