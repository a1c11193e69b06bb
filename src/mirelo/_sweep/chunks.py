"""Chunks of trials: what an engine runs with one ``Market.run_many`` call and what
the collector records at once (one file of the store, one step of the progress bar).

A chunk holds consecutive trials of one weights frame.  The Ray engine plans its
chunks up front (`plan_chunks`).  The threads engine's workers take theirs one at a
time from a `Chunker`, sized from how long the worker's previous chunk took per
trial, so that a chunk lasts about CHUNK_SECONDS whatever the size of the market:
progress and the store advance a few times a second, a small market does not
write a file per handful of trials, and Ctrl-C waits for the chunks in progress
only.
"""

from __future__ import annotations

import threading

from .trials import Trial

CHUNK_SECONDS = 0.25


def chunk_size(n_trials: int, parallel: int) -> int:
    """Several trials per task, so that the tasks' start-up is paid rarely, but at
    least a few chunks in the sweep to overlap."""
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


class Chunker:
    """Hands out the trials in order, a chunk at a time, to any number of threads."""

    def __init__(self, trials: list[Trial], workers: int):
        self._trials = trials
        self._next = 0
        self._lock = threading.Lock()
        # At least four chunks per worker, so that the workers finish close together.
        self._largest = max(1, -(-len(trials) // (4 * workers)))

    def size(self, seconds_per_trial: float | None) -> int:
        """One trial until the worker has timed one; then about CHUNK_SECONDS' worth."""
        if seconds_per_trial is None:
            return 1
        if seconds_per_trial <= 0.0:
            return self._largest
        return int(min(self._largest, max(1.0, CHUNK_SECONDS / seconds_per_trial)))

    def take(self, seconds_per_trial: float | None) -> list[Trial]:
        """The next chunk; empty when every trial has been handed out."""
        size = self.size(seconds_per_trial)
        with self._lock:
            start = end = self._next
            while (end < len(self._trials) and end - start < size
                   and self._trials[end].weights == self._trials[start].weights):
                end += 1
            self._next = end
        return self._trials[start:end]
