"""One backtest_ run at a time per process, and Ctrl-C during a run.

A run owns the module state (its globals, the ledger, the excursion lists) until it returns.
A second call that starts meanwhile — from another thread while the run waits inside NumPy,
or from user code that the run calls — is refused before it touches that state, and the run
in progress goes on unaffected.  The guard is released on every way out of a run.  The guard
is backtest_'s: these cases run on it alone.
"""

import textwrap
import threading

import pytest

from child import interrupt
from mirelo.core import tradesim
from simcase import arrays, backtest_run, market

BUSY = "backtest_ cannot start while another run is in progress in this process"


def two_rebalances():
    # Rows dated 10 and 30: stop_trading_next_period is asked at both.
    return arrays(market([[10.0, 20.0], [11.0, 19.0], [12.0, 18.0], [13.0, 17.0], [14.0, 16.0]]),
                [[0.5, 0.5], [0.2, 0.8]], [10, 30], [10, 30])


def summary(**rules):
    return backtest_run(two_rebalances(), **rules).summary()


class CallsBacktest:
    """A truth value that starts another backtest_, on this thread or on a new one."""

    def __init__(self, on_thread):
        self.on_thread = on_thread
        self.errors = []

    def attempt(self):
        try:
            tradesim.backtest_(**two_rebalances())
        except RuntimeError as exc:
            self.errors.append(str(exc))

    def __bool__(self):
        if self.on_thread:
            worker = threading.Thread(target=self.attempt)
            worker.start()
            worker.join()
        else:
            self.attempt()
        return True


@pytest.mark.parametrize("on_thread", [False, True], ids=["same thread", "other thread"])
def test_a_run_started_during_a_run_is_refused_and_the_first_is_unaffected(on_thread):
    want = summary(stop_trading_next_period=True)
    hook = CallsBacktest(on_thread)
    got = summary(stop_trading_next_period=hook)
    assert hook.errors and set(hook.errors) == {BUSY}
    assert got == want


class Raises:
    def __init__(self, exc_type):
        self.exc_type = exc_type

    def __bool__(self):
        raise self.exc_type("from the truth test")


@pytest.mark.parametrize("exc_type", [ZeroDivisionError, KeyboardInterrupt])
def test_the_guard_is_released_after_a_failed_or_interrupted_run(exc_type):
    with pytest.raises(exc_type):
        tradesim.backtest_(**two_rebalances(), stop_trading_next_period=Raises(exc_type))
    with pytest.raises(TypeError):
        tradesim.backtest_(**dict(two_rebalances(), price_values=[1.0]))
    assert summary() == summary()


CHILD = textwrap.dedent("""
    import signal
    signal.signal(signal.SIGINT, signal.default_int_handler)  # even where the parent ignores it
    import sys, numpy as np
    from mirelo.core import excursion, tradesim
    bars, stocks = 2_000_000, 300          # about 20 s uninterrupted
    flat = np.broadcast_to(np.full(stocks, 10.0), (bars, stocks))
    names = np.array([f"S{i}" for i in range(stocks)], dtype=object)
    dates = np.arange(bars, dtype=np.int64)
    print("running", flush=True)
    try:
        tradesim.backtest_(flat, flat, flat, flat, flat, dates, names,
                           np.full((1, stocks), 1.0 / stocks), dates[:1], names, dates[:1])
        print("finished", flush=True)
    except KeyboardInterrupt:
        # The state of any failed run: the next run starts and completes.
        small = np.ones((3, 1))
        one = np.array(["A"], dtype=object)
        d = np.array([1, 2, 3], dtype=np.int64)
        path = tradesim.backtest_(small, small, small, small, small, d, one,
                                  np.ones((1, 1)), d[:1], one, d[:1])
        print("interrupted", len(path), len(excursion.trades), flush=True)
""")


def test_ctrl_c_interrupts_a_long_run_promptly():
    line, waited, err = interrupt(CHILD)
    assert line.split() == ["interrupted", "3", "1"], err
    assert waited < 5.0   # far below the run's own length
