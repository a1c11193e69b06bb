"""The Ray engine: the same chunks as the threads engine, run as Ray tasks.

The setup (the market's arrays and the weights) goes into Ray's object store
once; a worker process fetches it on its first task -- the arrays stay in
shared memory, nothing is copied -- and keeps it, with the markets built
around it, for the tasks that follow.  Tasks carry a chunk of trials each and
return rows (and returns when kept); a chunk whose task is lost as a whole
comes back as failed rows.  Ray itself is an optional dependency; joining the
cluster is ``cluster.connect``.
"""

from __future__ import annotations

import time
from typing import Any

from .cluster import connect, require_ray
from .collect import Collector
from .rows import failed_records, trial_record
from .setup import SweepSetup
from .chunks import chunk_size, plan_chunks
from .trials import Trial

_POLL_SECONDS = 0.2

# In a worker process: the setup of the sweep it serves, by object id.  One
# entry, so that a worker holds on to one market at a time.
_worker_setup: dict[str, SweepSetup] = {}


def _worker_chunk(box: list, chunk: list[Trial], keep_returns: bool) -> list:
    import ray

    ref = box[0]  # inside a list, so that Ray hands over the reference, not the object
    setup = _worker_setup.get(ref.hex())
    if setup is None:
        _worker_setup.clear()
        setup = _worker_setup[ref.hex()] = ray.get(ref)
    start = time.perf_counter()
    outcomes = setup.run_chunk(chunk, threads=1)
    share = (time.perf_counter() - start) / len(chunk)
    return [trial_record(setup, t, o, share, keep_returns) for t, o in zip(chunk, outcomes)]


def run_ray(setup: SweepSetup, trials: list[Trial], collector: Collector, *,
            workers: int | None, keep_returns: bool, address: str | None) -> None:
    """`workers`: tasks running at once (default: the cluster's CPUs); each task
    takes one CPU and runs its chunk on one thread."""
    ray = require_ray()
    connect(ray, address)
    parallel = workers or max(1, int(ray.cluster_resources().get("CPU", 1)))
    task = ray.remote(num_cpus=1)(_worker_chunk)
    box = [ray.put(setup)]
    chunks = iter(plan_chunks(trials, chunk_size(len(trials), parallel)))
    pending: dict = {}
    try:
        while True:
            while len(pending) < 2 * parallel and (chunk := next(chunks, None)) is not None:
                pending[task.remote(box, chunk, keep_returns)] = chunk
            if not pending:
                break
            ready, _ = ray.wait(list(pending), num_returns=1, timeout=_POLL_SECONDS)
            _collect(ray, ready, pending, collector)
    except KeyboardInterrupt:
        # Keep the chunks that finished meanwhile; the others are cancelled.
        if pending:
            ready, _ = ray.wait(list(pending), num_returns=len(pending), timeout=0)
            _collect(ray, ready, pending, collector)
        raise
    finally:
        for ref in pending:
            ray.cancel(ref, force=True)


def _collect(ray: Any, ready: list, pending: dict, collector: Collector) -> None:
    for ref in ready:
        chunk = pending.pop(ref)
        try:
            records = ray.get(ref)
        except ray.exceptions.RayError as exc:
            records = failed_records(chunk, exc)
        collector.add(records)
