"""The sweep's store: chunks on disk that survive a kill, and resuming from them."""

import subprocess
import sys
import textwrap
import threading
from pathlib import Path

import numpy as np
import pandas as pd
import pyarrow.parquet as pq
import pytest

import mirelo
from mirelo._sweep import fingerprint
from sweepcase import CLOSE, GRID, WEIGHTS, count_runs, outcome, run

TESTS = Path(__file__).resolve().parent
N_TRIALS = 9  # GRID


def jobs_run(markets):
    return sum(m.jobs for m in markets)


def stored_rows(store):
    return sum(pq.read_metadata(p).num_rows for p in Path(store).glob("part-*.parquet"))


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
    assert stored_rows(tmp_path / "s.parquet") == finished

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
    kept = stored_rows(store)
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
    run(grid={**GRID, "stop_loss": [0.1]}, store=path)  # the next writer clears the leftover
    others = {p.name for p in path.iterdir() if not p.name.startswith("part-")}
    assert others - {".lock"} == {"fingerprint.json", "notes.txt"}
    # Every chunk is a Parquet file of its own.
    parts = pd.concat(pd.read_parquet(p) for p in sorted(path.glob("part-*")))
    assert len(parts) == 3 and list(parts["status"]) == ["error", "ok", "ok"]

    (tmp_path / "f.parquet").write_bytes(b"")
    with pytest.raises(ValueError, match="store: '.*f.parquet' is a file; a sweep store is a "
                                         "directory of Parquet files"):
        run(store=tmp_path / "f.parquet")


HALF = WEIGHTS * 0.5
OHLC = dict(open=CLOSE * 0.99, high=CLOSE * 1.01, low=CLOSE * 0.98)


def sweep(close=CLOSE, weights=WEIGHTS, **options):
    return mirelo.sweep(close, weights, GRID, progress=False, **options)


def refusal(store, differ):
    return (f"store {str(store)!r} holds rows of a sweep with other settings: {differ} "
            "differ; run the sweep with the settings that wrote the store, or use another store")


class TestFingerprint:
    @pytest.mark.parametrize("changes, differ", [
        (dict(rebalance="M"), "weights rebalance dates"),
        (dict(trade_at="open", **OHLC),
         "trade_at, price frames, open prices, high prices, low prices"),
        (dict(delisted={"S1": CLOSE.index[100]}), "delisting bars"),
        (dict(fee_ratio=0.0), "fixed rules"),
        (dict(periods_per_year=52), "periods per year"),
        (dict(close=CLOSE * 1.01), "close prices, open prices, high prices, low prices"),
        (dict(close=CLOSE.iloc[:-1]), "market shape, market dates, close prices, open prices, "
                                      "high prices, low prices"),
        (dict(weights=HALF), "weights values"),
        (dict(weights=WEIGHTS.iloc[:-1]),
         "weights values, weights dates, weights rebalance dates"),
    ])
    def test_other_settings_are_refused_before_anything_runs(self, tmp_path, monkeypatch,
                                                            changes, differ):
        store = tmp_path / "s"
        sweep(store=store)
        markets = count_runs(monkeypatch)
        with pytest.raises(ValueError) as raised:
            sweep(store=store, **changes)
        assert str(raised.value) == refusal(store, differ)
        assert not markets

    def test_weights_frames_may_come_and_go_but_not_change(self, tmp_path, monkeypatch):
        store = tmp_path / "s"
        frames = {"full": WEIGHTS, "half": HALF}
        alone = sweep(weights=frames)
        sweep(store=store, weights={"full": WEIGHTS})
        markets = count_runs(monkeypatch)
        both = sweep(store=store, weights=frames)
        assert jobs_run(markets) == 9  # the half frame's trials only
        pd.testing.assert_frame_equal(outcome(both), outcome(alone))
        sweep(store=store, weights={"half": HALF})
        assert jobs_run(markets) == 9
        with pytest.raises(ValueError) as raised:
            sweep(store=store, weights={"full": WEIGHTS * 0.9})
        assert str(raised.value) == refusal(store, "weights['full'] values")

    def test_rows_of_another_format_or_of_unknown_settings_are_refused(self, tmp_path,
                                                                      monkeypatch):
        store = tmp_path / "s"
        sweep(store=store)
        with monkeypatch.context() as patch:
            patch.setattr(fingerprint, "ROW_FORMAT", fingerprint.ROW_FORMAT + 1)
            with pytest.raises(ValueError) as raised:
                sweep(store=store)
            assert str(raised.value) == refusal(store, "row format")
        (store / "fingerprint.json").unlink()
        with pytest.raises(ValueError, match=r"has rows but no fingerprint of the settings"):
            sweep(store=store)

    def test_digests_read_values_not_layouts(self):
        values = np.random.default_rng(3).random((600, 40))  # several bands of rows
        wide = np.zeros((600, 80))
        wide[:, ::2] = values
        layouts = (values, np.asfortranarray(values), wide[:, ::2], values.copy())
        for order in "CF":
            digest = fingerprint.array_digest(values, order)
            assert {fingerprint.array_digest(v, order) for v in layouts} == {digest}
            nudged = values.copy()
            nudged[599, 39] = np.nextafter(nudged[599, 39], 2.0)
            assert fingerprint.array_digest(nudged, order) != digest
            assert fingerprint.array_digest(values.reshape(40, 600), order) != digest
        # Without an order, each array is read in the order of its memory.
        assert fingerprint.array_digest(np.asfortranarray(values))[0] == "F"
        assert fingerprint.array_digest(values)[0] == "C"

    def test_a_store_resumes_with_the_same_values_in_another_layout(self, tmp_path):
        def laid_out(frame, order):
            return pd.DataFrame(np.asarray(frame.to_numpy(), order=order), frame.index,
                                frame.columns, copy=False)

        store = tmp_path / "s"
        first = mirelo.sweep(laid_out(CLOSE, "F"), laid_out(WEIGHTS, "F"), GRID, store=store,
                             progress=False)
        again = mirelo.sweep(laid_out(CLOSE, "C"), laid_out(WEIGHTS, "C"), GRID, store=store,
                             progress=False)
        assert first.table.status.eq("ok").sum() > 0
        pd.testing.assert_frame_equal(outcome(again), outcome(first))


LEFTOVER = ".part-00000099-0123abcd.tmp"
BUSY = ("store {!r} is open in another sweep (a store has one writer at a time): wait for "
        "that sweep to finish, or use another store")


class TestOneWriter:
    def test_a_second_sweep_is_refused_while_the_first_runs_on(self, tmp_path, monkeypatch):
        store = tmp_path / "s"
        paused, resume = threading.Event(), threading.Event()

        def pause_once(chunk):
            if chunk == 2 and not paused.is_set():
                (store / LEFTOVER).write_bytes(b"being written")
                paused.set()
                resume.wait(60)

        count_runs(monkeypatch, pause_once)
        first: dict = {}
        thread = threading.Thread(target=lambda: first.update(result=run(store=store,
                                                                          workers=1)))
        thread.start()
        try:
            assert paused.wait(60)
            with pytest.raises(RuntimeError) as raised:
                run(store=store, workers=1)
            assert str(raised.value) == BUSY.format(str(store))
            assert (store / LEFTOVER).exists()  # a writer's file is left alone
        finally:
            resume.set()
            thread.join(60)
        pd.testing.assert_frame_equal(outcome(first["result"]), outcome(run()))

    def test_a_killed_writer_leaves_nothing_blocking(self, tmp_path, monkeypatch):
        store = tmp_path / "s"
        child = textwrap.dedent(f"""
            import sys, time
            from pathlib import Path
            sys.path.insert(0, {str(TESTS)!r})
            import sweepcase
            from mirelo._sweep import setup

            def pause(chunk):  # holds the store with a chunk on disk and one half written
                if chunk == 2:
                    (Path({str(store)!r}) / {LEFTOVER!r}).write_bytes(b"torn")
                    print("paused", flush=True)
                    time.sleep(120)

            build = setup.build_market
            setup.build_market = lambda args: sweepcase.CountingMarket(build(args), pause)
            sweepcase.run(store=Path({str(store)!r}), workers=1)
        """)
        holder = subprocess.Popen([sys.executable, "-c", child], stdout=subprocess.PIPE,
                                  stderr=subprocess.PIPE, text=True)
        try:
            assert holder.stdout.readline().strip() == "paused", holder.stderr.read()
            with pytest.raises(RuntimeError) as raised:
                run(store=store, workers=1)
            assert str(raised.value) == BUSY.format(str(store))
            assert (store / LEFTOVER).exists()
        finally:
            holder.kill()
            holder.communicate(timeout=60)
        kept = stored_rows(store)
        markets = count_runs(monkeypatch)
        resumed = run(store=store, workers=1)
        assert 0 < kept and jobs_run(markets) == N_TRIALS - kept
        assert not (store / LEFTOVER).exists()
        pd.testing.assert_frame_equal(outcome(resumed), outcome(run()))
