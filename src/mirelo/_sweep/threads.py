"""The threads engine: one market per process and `workers` threads, each taking
chunks of trials, running a chunk with ``Market.run_many`` on one native thread
(the interpreter lock released) and turning it into rows itself.

A worker runs and then computes its statistics, so the statistics of one chunk
overlap the runs of the others with no more threads busy than there are workers
(a separate statistics thread beside run_many's threads slowed the runs it
competed with for the cores).  The main thread only waits: Ctrl-C, or an error
outside a trial, stops the workers from taking new chunks; the chunks in
progress finish and are recorded before the exception goes on.
"""

from __future__ import annotations

import os
import threading
import time

from .chunks import Chunker
from .collect import Collector
from .rows import trial_record
from .setup import SweepSetup
from .trials import Trial

_POLL_SECONDS = 0.1


class _Workers:
    def __init__(self, setup: SweepSetup, trials: list[Trial], collector: Collector,
                 count: int, keep_returns: bool):
        self.setup, self.collector, self.keep_returns = setup, collector, keep_returns
        self.chunker = Chunker(trials, count)
        self.stop = threading.Event()
        self.lock = threading.Lock()  # the collector records one chunk at a time
        self.error: BaseException | None = None
        self.threads = [threading.Thread(target=self._work, name=f"mirelo-sweep-{k}",
                                         daemon=True) for k in range(count)]

    def _work(self) -> None:
        seconds_per_trial = None
        try:
            while not self.stop.is_set():
                chunk = self.chunker.take(seconds_per_trial)
                if not chunk:
                    return
                start = time.perf_counter()
                outcomes = self.setup.run_chunk(chunk, threads=1)
                share = (time.perf_counter() - start) / len(chunk)
                records = [trial_record(self.setup, t, o, share, self.keep_returns)
                           for t, o in zip(chunk, outcomes)]
                with self.lock:
                    self.collector.add(records)
                seconds_per_trial = (time.perf_counter() - start) / len(chunk)
        except BaseException as exc:  # handed to the main thread
            with self.lock:
                if self.error is None:
                    self.error = exc
            self.stop.set()

    def run(self) -> None:
        for thread in self.threads:
            thread.start()
        try:
            for thread in self.threads:
                while thread.is_alive():
                    thread.join(_POLL_SECONDS)  # wakes up for Ctrl-C
        finally:
            self.stop.set()
            for thread in self.threads:
                thread.join()
        if self.error is not None:
            raise self.error


def run_threads(setup: SweepSetup, trials: list[Trial], collector: Collector, *,
                workers: int | None, keep_returns: bool) -> None:
    count = max(1, min(workers or os.cpu_count() or 1, len(trials)))
    for name in dict.fromkeys(t.weights for t in trials):
        setup.market(name)  # built here, once, before the workers share them
    _Workers(setup, trials, collector, count, keep_returns).run()
