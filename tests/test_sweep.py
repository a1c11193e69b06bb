"""mirelo.sweep on the threads engine: rows, failures, weights axis, progress,
arguments, and what SweepResult offers."""

import contextlib
import random
import signal
import socket
import threading
import subprocess
import sys
import textwrap
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

import mirelo
from mirelo._sweep import rows
from sweepcase import CLOSE, FAILING, GRID, WEIGHTS, count_runs, outcome, run


@pytest.fixture(scope="module")
def swept():
    return run(keep_returns=True)


def same(a, b):
    """Equal lists, a missing value (NaN, NaT) equal to a missing one."""
    return [x if x == x else "missing" for x in a] == [x if x == x else "missing" for x in b]


class TestRows:
    def test_each_row_is_its_trial_and_failures_stay_in_their_row(self, swept):
        table = swept.table
        assert list(table.columns[:6]) == ["key", "stop_loss", "position_limit", "status",
                                           "error", "elapsed"]
        assert [tuple(r) for r in table[["stop_loss", "position_limit"]].to_numpy()] == [
            (s, p) for s in GRID["stop_loss"] for p in GRID["position_limit"]]
        failed = table[table.status == "error"]
        assert list(failed.position_limit) == [-1.0] * FAILING
        with pytest.raises(ValueError) as raised:
            swept.run(0)
        assert set(failed.error) == {f"ValueError: {raised.value}"}
        assert failed.sharpe.isna().all()
        for i in table.index[table.status == "ok"]:
            rules = table.loc[i, ["stop_loss", "position_limit"]].to_dict()
            stats = mirelo.backtest(CLOSE, WEIGHTS, **rules).stats()  # with its holdings
            assert same(table.loc[i, stats.index], stats)
            assert swept.run(i).stats().equals(stats)
            assert pd.isna(table.loc[i, "error"]) and table.loc[i, "elapsed"] > 0
            assert np.array_equal(swept.returns[i].to_numpy(),
                                  swept.run(i).returns.to_numpy(dtype=np.float32))
        assert swept.returns[failed.index].isna().all().all()

    def test_a_trial_whose_statistics_fail_is_a_row_too(self, monkeypatch, swept):
        metrics = rows.metrics

        def failing(setup, trial, run_result):
            if trial.params["stop_loss"] == 0.1:
                raise RuntimeError("no statistics today")
            return metrics(setup, trial, run_result)

        monkeypatch.setattr(rows, "metrics", failing)
        table = run().table
        broken = (table.stop_loss == 0.1) & (table.position_limit >= 0)
        assert list(table.error[broken]) == ["RuntimeError: no statistics today"] * 2
        untouched = table.stop_loss != 0.1
        pd.testing.assert_frame_equal(outcome(swept)[untouched], table[untouched].drop(
            columns="elapsed"))

    def test_weights_mapping_is_the_outer_axis_on_one_market(self, monkeypatch, swept):
        markets = count_runs(monkeypatch)
        table = run(weights={"full": WEIGHTS, "half": WEIGHTS * 0.5}).table
        assert len(markets) == 1
        assert list(table.weights) == ["full"] * 9 + ["half"] * 9
        half = run(weights=WEIGHTS * 0.5).table
        for part, alone in ((table[:9], swept.table), (table[9:], half)):
            pd.testing.assert_frame_equal(
                part.drop(columns=["key", "weights", "elapsed"]).reset_index(drop=True),
                alone.drop(columns=["key", "elapsed"]).reset_index(drop=True))


    def test_frames_with_other_columns_and_a_delisting_share_the_market(self, monkeypatch):
        markets = count_runs(monkeypatch)
        frames = {"all": WEIGHTS, "some": WEIGHTS[["S4", "S1", "S0"]]}
        delisted = {"S1": CLOSE.index[10]}  # held from bar 1
        swept = run({"stop_loss": [0.05, 1.0]}, weights=frames, delisted=delisted)
        assert len(markets) == 1
        for i, row in swept.table.iterrows():
            trades = swept.run(i).trades
            assert trades.loc[trades.stock == "S1", "reason"].iloc[0] == "delisting"
            alone = mirelo.backtest(CLOSE, frames[row.weights], delisted=delisted,
                                    stop_loss=row.stop_loss).stats()
            assert same(row[alone.index], alone)

    def test_the_holdings_record_changes_no_row(self, swept):
        # Turnover, exposure and costs are the engine's exact figures either way.
        grid = {"stop_loss": [0.05, 1.0]}
        recorded, plain = run(grid, holdings=True), run(grid)
        for i, row in recorded.table.iterrows():
            stats = mirelo.backtest(CLOSE, WEIGHTS, stop_loss=row.stop_loss).stats()
            assert same(row[stats.index], stats) and stats["costs"] > 0
            assert same(plain.table.loc[i, stats.index], stats)
            assert recorded.run(i).has_holdings and not plain.run(i).has_holdings


class TestProgress:
    def test_progress_false_prints_nothing(self, capfd):
        run(progress=False)
        assert capfd.readouterr() == ("", "")

    def test_progress_bar_shows_trials_failures_and_the_running_best(self, capfd, swept):
        run(progress=True)
        err = capfd.readouterr().err
        best = swept.table.sharpe.max()
        assert "9/9" in err and "3 failed" in err and f"best sharpe {best:.4g}" in err


class TestArguments:
    @pytest.mark.parametrize("options, error, message", [
        (dict(engine="dask"), ValueError, "engine must be one of 'threads', 'ray', got 'dask'"),
        (dict(workers=0), ValueError, "workers must be a positive int or None, got 0"),
        (dict(ray_address="auto"), ValueError, 'ray_address is used by engine="ray" only'),
    ])
    def test_refused(self, options, error, message):
        with pytest.raises(error) as raised:
            run(**options)
        assert str(raised.value) == message

    def test_a_nan_rule_or_a_window_out_of_range_is_a_row_naming_the_rule(self):
        table = run(grid=[{"fee_ratio": np.nan}, {"trail_stop": np.nan},
                          {"excursion_window": -1}, {"fee_ratio": -0.001}]).table
        assert table.error.tolist()[:3] == [
            "ValueError: fee_ratio must be a number, not NaN (got nan)",
            "ValueError: trail_stop must be a number, not NaN (got nan)",
            "ValueError: excursion_window must be >= 0 (got -1)"]
        assert table.status.tolist() == ["error"] * 3 + ["ok"]  # a rebate is a fee
        with pytest.raises(ValueError, match="^stop_loss must be a number, not NaN"):
            mirelo.backtest(CLOSE, WEIGHTS, stop_loss=np.nan)

    def test_numpy_integers_are_worker_counts(self, swept):
        pd.testing.assert_frame_equal(outcome(run(workers=np.int64(2), keep_returns=True)),
                                      outcome(swept))
        with pytest.raises(ValueError, match="workers must be a positive int or None, got "):
            run(workers=np.bool_(True))

    @pytest.mark.parametrize("missing, call, hint", [
        ("ray", lambda: run(engine="ray"), """pip install ".[cluster]" (or pip install ray)"""),
        ("matplotlib", lambda: run().plot("stop_loss", "position_limit"),
         "pip install matplotlib (or, from the mirelo checkout, the plot extra: "
         "pip install '.[plot]')"),
    ])
    def test_a_missing_extra_gets_an_install_command_that_works(self, monkeypatch, missing,
                                                                call, hint):
        for module in (missing, f"{missing}.figure"):
            monkeypatch.setitem(sys.modules, module, None)
        with pytest.raises(ImportError) as raised:
            call()
        assert str(raised.value).endswith(hint) and "mirelo-core[" not in str(raised.value)


class TestSweepResult:
    def test_best(self, swept):
        table = swept.table
        assert swept.best().name == table.sharpe.idxmax()
        assert swept.best("max_drawdown", largest=False).name == table.max_drawdown.idxmin()
        with pytest.raises(ValueError, match="metric: 'stop_loss' is not a statistic"):
            swept.best("stop_loss")

    def test_run_and_pbo_refusals(self, swept):
        with pytest.raises(IndexError, match=r"i: no trial 9 \(the sweep has 9\)"):
            swept.run(9)
        with pytest.raises(ValueError, match="run the sweep with keep_returns=True"):
            run().pbo()

    def test_heatmap_cells_are_the_metric(self, swept):
        pytest.importorskip("matplotlib")
        import matplotlib

        matplotlib.use("Agg")
        ax = swept.plot("stop_loss", "position_limit", "sharpe")
        cells = ax.images[0].get_array()
        expected = swept.table.sharpe.to_numpy().reshape(3, 3).T  # rows: position_limit
        assert np.array_equal(np.ma.filled(cells, np.nan), expected, equal_nan=True)
        with pytest.raises(ValueError, match="plot needs one trial per"):
            run(grid={**GRID, "take_profit": [0.1, 0.2]}).plot("stop_loss", "position_limit")

    def test_heatmap_is_saved_to_a_path(self, swept, tmp_path):
        pytest.importorskip("matplotlib")
        ax = swept.plot("stop_loss", "position_limit", path=tmp_path / "grid.png")
        assert ax.images and (tmp_path / "grid.png").read_bytes().startswith(b"\x89PNG")


TESTS = Path(__file__).resolve().parent
ROUNDS = 10  # interrupted sweeps per child

# Sweeps of a few seconds, each interrupted by the parent; after each Ctrl-C the
# child reports how many chunks were being run or stored when KeyboardInterrupt
# reached it and how many began after it (both must be 0), and it exits right after
# the last one, when a worker still running would abort the interpreter.
INTERRUPTED = textwrap.dedent(f"""
    import signal
    signal.signal(signal.SIGINT, signal.default_int_handler)  # even where the parent ignores it
    import sys, tempfile, threading, time
    from pathlib import Path
    sys.path.insert(0, {str(TESTS)!r})
    import numpy as np
    import mirelo, sweepcase
    from mirelo._sweep import chunks, setup, store

    chunks.CHUNK_SECONDS = 0.05  # short chunks: a Ctrl-C is answered quickly
    lock = threading.Lock()
    state = {{"active": 0, "late": 0, "interrupted": False}}

    def watched(method):
        def call(*args, **kwargs):
            with lock:
                state["active"] += 1
                state["late"] += state["interrupted"]
            try:
                return method(*args, **kwargs)
            finally:
                with lock:
                    state["active"] -= 1
        return call

    setup.SweepSetup.run_chunk = watched(setup.SweepSetup.run_chunk)
    store.Store.append = watched(store.Store.append)
    close, weights = sweepcase.market(bars=1000, stocks=30)
    grid = {{"stop_loss": list(np.linspace(0.01, 0.5, 100)),
             "take_profit": list(np.linspace(0.05, 1.0, 50))}}
    folder = Path(tempfile.mkdtemp())
    for i in range({ROUNDS}):
        state.update(late=0, interrupted=False)
        print("running", flush=True)
        try:
            mirelo.sweep(close, weights, grid, workers=2, progress=False, store=folder / str(i))
            print("finished", flush=True)
        except KeyboardInterrupt:
            with lock:
                state["interrupted"] = True
                busy = state["active"]
            if i < {ROUNDS} - 1:
                time.sleep(0.1)
            print("interrupted", busy, state["late"], flush=True)
""")


def interrupt_rounds(seed):
    """Runs the child, interrupting each of its sweeps; returns what each
    interruption reported, the exit status and stderr."""
    rng = random.Random(seed)
    child = subprocess.Popen([sys.executable, "-c", INTERRUPTED], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True)
    reports = []
    try:
        for _ in range(ROUNDS):
            if child.stdout.readline().strip() != "running":
                break
            time.sleep(rng.uniform(0.01, 0.15))
            child.send_signal(signal.SIGINT)
            reports.append(child.stdout.readline().strip())
        _, err = child.communicate(timeout=60)
    finally:
        child.kill()
    return reports, child.returncode, err


def test_ctrl_c_returns_once_no_worker_runs_and_the_process_exits_cleanly():
    with ThreadPoolExecutor(3) as pool:  # three children, 30 interruptions in all
        for reports, status, err in pool.map(interrupt_rounds, range(3)):
            assert reports == ["interrupted 0 0"] * ROUNDS, err
            assert status == 0, err


class Joined(Exception):
    """Raised where the sweep would have joined the cluster."""


class FakeRay:
    def is_initialized(self):
        return False

    def init(self, address=None, **options):
        raise Joined(address)


def answer(server, reply):
    conn, _ = server.accept()
    with conn:
        conn.recv(1024)
        conn.sendall(reply)


@contextlib.contextmanager
def listening(kind):
    """A loopback address whose server refuses, never answers, answers as an HTTP/1
    server or as a gRPC service does (an empty SETTINGS frame)."""
    with socket.socket() as server:
        server.bind(("127.0.0.1", 0))
        replies = {"http": b"HTTP/1.1 400 Bad Request\r\n\r\n",
                   "grpc": bytes([0, 0, 0, 4, 0, 0, 0, 0, 0])}
        if kind != "refused":
            server.listen(4)
        if kind in replies:
            threading.Thread(target=answer, args=(server, replies[kind]), daemon=True).start()
        yield "%s:%d" % server.getsockname()


class TestRayAddress:
    @pytest.mark.parametrize("kind, reason", [
        ("refused", "Connection refused"),
        ("silent", "no answer within 0.5 s"),
        ("http", "the server there is not a Ray cluster"),
    ])
    def test_a_wrong_address_fails_at_once_naming_it(self, monkeypatch, kind, reason):
        monkeypatch.setitem(sys.modules, "ray", FakeRay())
        monkeypatch.setattr("mirelo._sweep.cluster.CONNECT_SECONDS", 0.5)
        with listening(kind) as address, pytest.raises(ConnectionError) as raised:
            run(engine="ray", ray_address=address)
        message = str(raised.value)
        assert message.startswith(f"no Ray cluster answers at ray_address={address!r}: ")
        assert reason in message

    def test_a_cluster_that_answers_is_joined_and_ray_address_may_be_in_the_environment(
            self, monkeypatch):
        monkeypatch.setitem(sys.modules, "ray", FakeRay())
        with listening("grpc") as address, pytest.raises(Joined):
            run(engine="ray", ray_address=address)
        with listening("refused") as address:
            monkeypatch.setenv("RAY_ADDRESS", address)
            with pytest.raises(ConnectionError, match=rf"at RAY_ADDRESS='{address}' "
                                                      r"\(ray_address=None\): "):
                run(engine="ray")
        monkeypatch.setenv("RAY_ADDRESS", "auto")  # found by Ray itself
        with pytest.raises(Joined):
            run(engine="ray")
