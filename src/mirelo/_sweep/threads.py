"""The threads engine: one market per process, trials run in chunks with
``Market.run_many`` on native threads.

The main thread only runs chunks (run_many releases the GIL, so Ctrl-C
cancels its pending jobs and raises at once); a second thread turns each
finished chunk into rows -- statistics, store, progress -- while the main
thread runs the next one.  A bounded queue between the two keeps at most a few
chunks of run results alive.  When the sweep stops, by Ctrl-C or an error,
the chunks that finished are still recorded before the exception goes on.
"""

from __future__ import annotations

import os
import queue
import threading
import time

from .collect import Collector
from .rows import trial_record
from .setup import SweepSetup
from .trials import Trial

# Chunks waiting for their statistics while the next one runs.
_QUEUE_DEPTH = 2
_POLL_SECONDS = 0.1


def chunk_size(n_trials: int, parallel: int) -> int:
    """Several trials per thread, so run_many keeps every thread busy, but
    small enough that progress and the store advance a few times a second and
    that a sweep splits into at least a few chunks to overlap."""
    return max(1, min(4 * parallel, -(-n_trials // 4)))


def plan_chunks(trials: list[Trial], size: int) -> list[list[Trial]]:
    """Consecutive trials, at most `size` per chunk, one weights frame per chunk."""
    chunks: list[list[Trial]] = []
    for trial in trials:
        if chunks and len(chunks[-1]) < size and chunks[-1][0].weights == trial.weights:
            chunks[-1].append(trial)
        else:
            chunks.append([trial])
    return chunks


class _RowMaker(threading.Thread):
    def __init__(self, setup: SweepSetup, collector: Collector, keep_returns: bool):
        super().__init__(name="mirelo-sweep-rows", daemon=True)
        self.setup, self.collector, self.keep_returns = setup, collector, keep_returns
        self.queue: queue.Queue = queue.Queue(maxsize=_QUEUE_DEPTH)
        self.error: BaseException | None = None

    def run(self) -> None:
        while (item := self.queue.get()) is not None:
            if self.error is not None:
                continue  # failed: drain, so that the producer never blocks
            chunk, outcomes, share = item
            try:
                self.collector.add([trial_record(self.setup, t, o, share, self.keep_returns)
                                    for t, o in zip(chunk, outcomes)])
            except BaseException as exc:  # handed to the main thread
                self.error = exc

    def put(self, item) -> None:
        while True:
            if self.error is not None:
                raise self.error
            try:
                self.queue.put(item, timeout=_POLL_SECONDS)
                return
            except queue.Full:
                continue

    def finish(self) -> None:
        """Waits until every chunk handed over is recorded (or the thread failed)."""
        self.queue.put(None)
        self.join()


def run_threads(setup: SweepSetup, trials: list[Trial], collector: Collector, *,
                workers: int | None, keep_returns: bool) -> None:
    threads = workers or os.cpu_count() or 1
    rows = _RowMaker(setup, collector, keep_returns)
    rows.start()
    try:
        for chunk in plan_chunks(trials, chunk_size(len(trials), threads)):
            start = time.perf_counter()
            outcomes = setup.run_chunk(chunk, threads)
            share = (time.perf_counter() - start) * min(threads, len(chunk)) / len(chunk)
            rows.put((chunk, outcomes, share))
    finally:
        rows.finish()
    if rows.error is not None:
        raise rows.error
