"""The sweep's store: chunks on disk that survive a kill, and resuming from them."""

import subprocess
import sys
import textwrap
from pathlib import Path

import pandas as pd
import pytest

from mirelo._sweep.store import Store
from sweepcase import GRID, count_runs, outcome, run

TESTS = Path(__file__).resolve().parent
N_TRIALS = 9  # GRID


def jobs_run(markets):
    return sum(m.jobs for m in markets)


def test_a_finished_store_is_read_back_instead_of_running(tmp_path, monkeypatch):
    first = run(store=tmp_path / "s.parquet", keep_returns=True)
    markets = count_runs(monkeypatch)
    again = run(store=tmp_path / "s.parquet", keep_returns=True)
    assert jobs_run(markets) == 0
    pd.testing.assert_frame_equal(again.table, first.table)  # timings included: read back
    pd.testing.assert_frame_equal(again.returns, first.returns)


def test_ctrl_c_keeps_the_finished_chunks_and_the_rest_runs_on_resume(tmp_path, monkeypatch):
    def interrupt(chunk):
        if chunk == 3:
            raise KeyboardInterrupt

    markets = count_runs(monkeypatch, interrupt)
    with pytest.raises(KeyboardInterrupt):
        run(store=tmp_path / "s.parquet", workers=1)
    finished = jobs_run(markets)  # the trials of the two chunks before
    assert 0 < finished < N_TRIALS
    assert len(Store(tmp_path / "s.parquet").load()) == finished

    markets = count_runs(monkeypatch)
    resumed = run(store=tmp_path / "s.parquet", workers=1)
    assert jobs_run(markets) == N_TRIALS - finished
    pd.testing.assert_frame_equal(outcome(resumed), outcome(run()))


def test_a_killed_sweep_keeps_whole_chunks_and_resumes(tmp_path, monkeypatch):
    store = tmp_path / "s.parquet"
    child = textwrap.dedent(f"""
        import os, signal, sys, time
        from pathlib import Path
        sys.path.insert(0, {str(TESTS)!r})
        import sweepcase
        from mirelo._sweep import setup

        store = Path({str(store)!r})

        def kill(chunk):  # once two chunks are on disk, in the middle of the third
            if chunk == 3:
                deadline = time.monotonic() + 60
                while len(list(store.glob("part-*"))) < 2 and time.monotonic() < deadline:
                    time.sleep(0.01)
                os.kill(os.getpid(), signal.SIGKILL)

        build = setup.build_market
        setup.build_market = lambda args: sweepcase.CountingMarket(build(args), kill)
        sweepcase.run(store=store, workers=1)
    """)
    done = subprocess.run([sys.executable, "-c", child], capture_output=True, text=True,
                          timeout=120)
    assert done.returncode == -9, done.stderr
    assert len(list(store.glob("part-*"))) == 2
    kept = len(Store(store).load())
    assert 0 < kept < N_TRIALS

    markets = count_runs(monkeypatch)
    resumed = run(store=store, workers=1)
    assert jobs_run(markets) == N_TRIALS - kept
    pd.testing.assert_frame_equal(outcome(resumed), outcome(run()))


def test_kept_returns_missing_from_the_store_are_computed(tmp_path, monkeypatch):
    run(store=tmp_path / "s.parquet")
    markets = count_runs(monkeypatch)
    resumed = run(store=tmp_path / "s.parquet", keep_returns=True)
    assert jobs_run(markets) == N_TRIALS - 3  # the failed trials stay failed
    pd.testing.assert_frame_equal(resumed.returns, run(keep_returns=True).returns)


def test_store_layout_and_refusals(tmp_path):
    path = tmp_path / "s.parquet"
    run(grid={**GRID, "stop_loss": [0.1]}, store=path)
    (path / ".part-00000007-0123abcd.tmp").write_bytes(b"torn write")
    (path / "notes.txt").write_text("not ours")
    Store(path)
    assert sorted(p.name for p in path.iterdir() if not p.name.startswith("part-")) == ["notes.txt"]
    # Every chunk is a Parquet file of its own.
    parts = pd.concat(pd.read_parquet(p) for p in sorted(path.glob("part-*")))
    assert len(parts) == 3 and list(parts["status"]) == ["error", "ok", "ok"]

    (tmp_path / "f.parquet").write_bytes(b"")
    with pytest.raises(ValueError, match="store: '.*f.parquet' is a file; a sweep store is a "
                                         "directory of Parquet files"):
        run(store=tmp_path / "f.parquet")
