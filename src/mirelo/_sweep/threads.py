"""The threads engine: one market per process and `workers` threads, each taking
chunks of trials, running a chunk with ``Market.run_many`` on one native thread
(the interpreter lock released) and turning it into rows itself.

A worker runs and then computes its statistics, so the statistics of one chunk
overlap the runs of the others with no more threads busy than there are workers
(a separate statistics thread beside run_many's threads slowed the runs it
competed with for the cores).  The main thread only waits: Ctrl-C, or an error
outside a trial, stops the workers from taking new chunks; the chunks in
progress finish and are recorded, and the exception goes on only once every
worker has returned, so nothing is written after it.
"""

from __future__ import annotations

import contextlib
import os
import signal
import threading
import time
from collections.abc import Iterator
from typing import Any

from .chunks import Chunker
from .collect import Collector
from .rows import trial_record
from .setup import SweepSetup
from .trials import Trial

_POLL_SECONDS = 0.02


class _Workers:
    def __init__(self, setup: SweepSetup, trials: list[Trial], collector: Collector,
                 count: int, keep_returns: bool):
        self.setup, self.collector, self.keep_returns = setup, collector, keep_returns
        self.chunker = Chunker(trials, count)
        self.stop = threading.Event()
        self.lock = threading.Lock()  # the collector records one chunk at a time
        self.error: BaseException | None = None
        # Set by each worker as it returns: the main thread waits on these, never on
        # Thread.join, which a signal can leave believing a running thread ended.
        self.done = [threading.Event() for _ in range(count)]
        self.threads = [threading.Thread(target=self._work, args=(done,),
                                         name=f"mirelo-sweep-{k}", daemon=True)
                        for k, done in enumerate(self.done)]

    def _work(self, done: threading.Event) -> None:
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
        finally:
            done.set()

    def run(self) -> None:
        """Runs the workers and returns once every one has returned.  Ctrl-C stops
        them from taking new chunks; the chunks in progress are recorded, and then
        KeyboardInterrupt is raised."""
        with ctrl_c_sets(self.stop) as interrupted:
            started: list[threading.Event] = []
            failure: BaseException | None = None
            try:
                for thread, done in zip(self.threads, self.done):
                    thread.start()
                    started.append(done)
            except BaseException as exc:  # no thread, or a SIGINT handler of the caller's
                failure = exc  # (in the latter case a thread may start unwaited for)
            failure = _wait_for(started, self.stop, failure)
        if interrupted:
            raise KeyboardInterrupt
        if failure is not None:
            raise failure
        if self.error is not None:
            raise self.error


def _wait_for(done: list[threading.Event], stop: threading.Event,
              failure: BaseException | None) -> BaseException | None:
    """Waits until every event in `done` is set.  An exception raised meanwhile
    (from a SIGINT handler of the caller's) sets `stop` and the wait goes on: the
    first such exception is returned, to be raised once no worker runs."""
    while True:
        try:
            if failure is not None:
                stop.set()
            for event in done:
                while not event.is_set():
                    time.sleep(_POLL_SECONDS)
            return failure
        except BaseException as exc:
            failure = failure or exc


@contextlib.contextmanager
def ctrl_c_sets(stop: threading.Event) -> Iterator[list[int]]:
    """While the block runs, Ctrl-C sets `stop` instead of raising; yields a
    list that records the signals caught, and restores the handler afterwards.

    Only in the main thread with Python's own SIGINT handler in place: another
    handler (the caller's) is left alone, and on other threads no
    KeyboardInterrupt arrives.  With the handler swapped, no exception can cut
    into starting the workers or waiting for them.
    """
    caught: list[int] = []
    if (threading.current_thread() is not threading.main_thread()
            or signal.getsignal(signal.SIGINT) is not signal.default_int_handler):
        yield caught
        return

    def handler(signum: int, frame: Any) -> None:
        caught.append(signum)
        stop.set()

    previous = signal.signal(signal.SIGINT, handler)
    try:
        yield caught
    finally:
        signal.signal(signal.SIGINT, previous)


def run_threads(setup: SweepSetup, trials: list[Trial], collector: Collector, *,
                workers: int | None, keep_returns: bool) -> None:
    count = max(1, min(workers or os.cpu_count() or 1, len(trials)))
    for name in dict.fromkeys(t.weights for t in trials):
        setup.market(name)  # built here, once, before the workers share them
    _Workers(setup, trials, collector, count, keep_returns).run()
