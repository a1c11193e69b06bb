"""The Ray engine agrees with the threads engine (skipped without Ray; CI installs
the cluster extra and runs this file on a local two-CPU instance)."""

import os
import socket
import subprocess
import sys
from pathlib import Path

import pandas as pd
import pytest

from sweepcase import WEIGHTS, outcome, run

pytest.importorskip("ray")


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


def test_a_wrong_ray_address_fails_at_once_naming_it():
    """In a child, where Ray is not running yet: it would otherwise wait forever."""
    env = {k: v for k, v in os.environ.items() if k != "RAY_ADDRESS"}
    with socket.socket() as closed:  # bound, not listening: connections are refused
        closed.bind(("127.0.0.1", 0))
        address = "%s:%d" % closed.getsockname()
        code = (f"import sys; sys.path.insert(0, {str(Path(__file__).parent)!r}); "
                f"import sweepcase; sweepcase.run(engine='ray', ray_address={address!r})")
        child = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                               timeout=120, env=env)
    assert f"ConnectionError: no Ray cluster answers at ray_address={address!r}" in child.stderr
