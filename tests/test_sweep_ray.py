"""The Ray engine agrees with the threads engine (skipped without Ray; CI installs
the cluster extra and runs this file on a local two-CPU instance)."""

import pandas as pd
import pytest

from sweepcase import WEIGHTS, outcome, run

ray = pytest.importorskip("ray")


@pytest.fixture(scope="module")
def local_ray():
    started = not ray.is_initialized()
    if started:
        ray.init(num_cpus=2, logging_level="ERROR", log_to_driver=False)
    yield
    if started:
        ray.shutdown()


def test_ray_table_and_returns_equal_the_threads_engine(local_ray, tmp_path):
    weights = {"full": WEIGHTS, "half": WEIGHTS * 0.5}
    threads = run(weights=weights, keep_returns=True)
    on_ray = run(weights=weights, keep_returns=True, engine="ray", store=tmp_path / "s")
    pd.testing.assert_frame_equal(outcome(on_ray), outcome(threads))
    pd.testing.assert_frame_equal(on_ray.returns, threads.returns)
    assert on_ray.table.status.value_counts().to_dict() == {"ok": 12, "error": 6}
    # The store holds every trial: a second run on it runs nothing.
    again = run(weights=weights, keep_returns=True, engine="ray", store=tmp_path / "s")
    pd.testing.assert_frame_equal(again.table, on_ray.table)
