"""No leaks: hundreds of small runs, successful and failing at every stage, leave the reference
counts of their arguments unchanged and do not grow the process's memory (measured in a fresh
interpreter)."""

import ctypes
import ctypes.util
import gc
import json
import subprocess
import sys
import tracemalloc
from pathlib import Path

import numpy as np
import pytest

import hostile_cases as hc
from mirelo.core import excursion, tradesim


class Flag:
    """A stop_trading_next_period object of the caller's own (its reference count is watched)."""

    def __bool__(self):
        return True


# Runs that succeed, and runs that fail in the argument conversion, the run setup, the column
# mapping, the bar loop, a rebalance, the excursion analysis and the trade-price guard.
SCENARIOS = [
    "layout-reversed-all-touched",     # succeeds, through strided views
    "layout-memmap-all-close",         # succeeds, on memory-mapped files
    "dtype-price_index-<i4",           # buffer dtype mismatch
    "window-2**31",                    # scalar conversion
    "pos_columns-encode-raises",       # map_columns
    "pos-values-zero-rows",            # run setup
    "held-price-0.0",                  # trade-price guard in the bar loop
    "pos-columns-shorter-weighted",    # rebalance
    "window-step-0",                   # excursion analysis
    "delisting-short-used",            # delisting lookup
]


def scenario_args(name):
    args = hc.CASES[name][2]()
    args["stop_trading_next_period"] = Flag()
    return args


def call(args):
    """One run and the accessors after it; every outcome is dropped."""
    try:
        tradesim.backtest_(**args)
        tradesim.get_trade_stocks(args["pos_columns"], args["price_index"], True)
        tradesim.get_stock_operations()
    except Exception:
        pass


def watched_objects(args):
    """The arguments and the names inside the object arrays."""
    objs = {}
    for key, value in args.items():
        if value is None or isinstance(value, bool):
            continue
        objs[key] = value
        if isinstance(value, np.ndarray) and value.dtype == object:
            for k, item in enumerate(value.tolist()):
                objs[f"{key}[{k}]"] = item
    return objs


def refcounts(objs):
    return {k: sys.getrefcount(v) for k, v in objs.items()}


def test_every_scenario_is_defined_and_fails_where_meant():
    outcomes = {n: hc.outcome_of(lambda n=n: hc.run_full(scenario_args(n))) for n in SCENARIOS}
    assert [n for n, o in outcomes.items() if "ok" in o] == SCENARIOS[:2]


def test_reference_counts_of_arguments_are_unchanged():
    # The excursion module keeps the last run's price and close matrices until the next run
    # starts, so each call is measured after a first call with the same arguments.
    for _ in range(15):
        for name in SCENARIOS:
            args = scenario_args(name)
            objs = watched_objects(args)
            call(args)
            before = refcounts(objs)
            call(args)
            after = refcounts(objs)
            assert after == before, (name, {k: (before[k], after[k]) for k in before
                                            if before[k] != after[k]})


def test_results_hold_no_extra_references():
    args = scenario_args(SCENARIOS[0])
    value_path = tradesim.backtest_(**args)
    assert sys.getrefcount(value_path) == 2
    rows, ops = tradesim.get_trade_stocks(args["pos_columns"], args["price_index"], True)
    assert sys.getrefcount(rows) == 2
    assert [sys.getrefcount(rows[k]) for k in range(len(rows))] == [2] * len(rows)
    del rows, ops
    copy = tradesim.get_stock_operations()
    assert sys.getrefcount(copy) == 2


class _MallInfo2(ctypes.Structure):
    _fields_ = [(n, ctypes.c_size_t) for n in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks",
                 "uordblks", "fordblks", "keepcost")]


def _mallinfo2():
    """glibc's mallinfo2, set up once (before any measurement); None where the C heap cannot
    be read: another C library, or a sanitizer runtime that owns the heap."""
    with open("/proc/self/maps") as f:
        if "libasan" in f.read():
            return None
    path = ctypes.util.find_library("c")
    libc = ctypes.CDLL(path) if path else None
    if libc is None or not hasattr(libc, "mallinfo2"):
        return None
    libc.mallinfo2.restype = _MallInfo2
    return libc.mallinfo2


MALLINFO2 = _mallinfo2()


def _native_heap():
    """Bytes in use on the C heap, where the engine's containers live."""
    if MALLINFO2 is None:
        return None
    info = MALLINFO2()
    return info.uordblks + info.hblkhd


def memory_growth():
    """The median growth per 200 runs of the native heap (None where it cannot be read) and
    of Python's traced memory, with the marks they come from."""
    argsets = [scenario_args(n) for n in SCENARIOS]
    assert len(argsets) == 10  # every 200 runs fall on whole rounds

    def rounds(n):
        for _ in range(n):
            for args in argsets:
                call(args)
        gc.collect()

    def growth_per_200_runs(measure):
        # Runs 100 to 300, 300 to 500, ..., 900 to 1100.  A leak grows in every window; the
        # interpreter's and NumPy's caches still settling, or a table that doubles, show in
        # a few: the median of the five windows is compared with the slack.
        rounds(10)
        marks = [measure()]
        for _ in range(5):
            rounds(20)
            marks.append(measure())
        return sorted(b - a for a, b in zip(marks, marks[1:]))[2], marks

    # The interpreter's free lists and caches fill up over the first few hundred runs and
    # then stay put: every measurement starts after such a warm-up.
    rounds(60)
    native = None
    if _native_heap() is not None:  # not measurable under a sanitizer runtime
        native = growth_per_200_runs(_native_heap)

    # Python memory; tracing starts before its own warm-up, so that the free lists hold
    # traced blocks and their turnover does not count as growth.
    tracemalloc.start()
    try:
        rounds(150)
        python = growth_per_200_runs(lambda: tracemalloc.get_traced_memory()[0])
    finally:
        tracemalloc.stop()
    return {"native": native, "python": python}


@pytest.mark.skipif(sys.getallocatedblocks() == 0, reason=(
    "Python's own allocator is off (PYTHONMALLOC=malloc, as in the sanitizer run): there the "
    "interpreter's caches keep filling for thousands of runs; growth is checked in the normal "
    "run"))
def test_memory_does_not_grow_with_the_number_of_runs():
    # Measured in a fresh interpreter: the process-wide heap of the test session also moves
    # with whatever earlier tests left behind (threads, caches of other libraries).
    code = ("import json, test_leaks; "
            "print(json.dumps(test_leaks.memory_growth()))")
    done = subprocess.run([sys.executable, "-c", code], cwd=Path(__file__).parent,
                          capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stderr
    growth = json.loads(done.stdout.splitlines()[-1])
    if growth["native"] is not None:
        # A leaked node of the engine's maps or vectors would add 200 x 32 bytes or more.
        grown, marks = growth["native"]
        assert grown < 4096, marks
    # A leak of one float per run would add 200 x 24 bytes in every window.
    grown, marks = growth["python"]
    assert grown < 4096, marks
