"""mirelo.core.batch: the market's checks, why trades end, layouts read in place, many runs
on threads, Ctrl-C, and the kernel's NumPy-order summation.

Value paths, trades, profiles and operations are compared with backtest_ by every scenario of
simcase.run and by test_batch_vs_backtest; this file covers what only batch has.
"""

import pickle
import textwrap
import threading

import numpy as np
import pytest

from mirelo.core import batch, tradesim
from child import interrupt
from simcase import FREE, market, run, signals

RNG = np.random.default_rng(7)


# --- the kernel's summation is NumPy's, bit for bit -------------------------------------------

def vectors():
    for n in range(0, 1001):
        yield RNG.standard_normal(n) * 10.0 ** RNG.uniform(-8, 8, n)
    for n in (8191, 8192, 8193, 65536, 100_000):
        yield RNG.uniform(-1, 1, n) * 10.0 ** RNG.uniform(-3, 3, n)
    wide = RNG.standard_normal(3001)
    yield wide[::3]                      # strided
    yield np.array([1e308, 1e308, -5.0])  # overflows to inf
    yield np.array([0.1, np.inf, -np.inf])


@pytest.mark.filterwarnings("ignore:overflow encountered")
def test_abs_sum_equals_numpy_sum(kernel_probe):
    for values in vectors():
        want = np.abs(values).sum()
        got = kernel_probe.abs_sum(values)
        assert got == want or (np.isnan(got) and np.isnan(want)), len(values)
        assert np.float64(got).tobytes() == want.tobytes(), len(values)


# --- why a trade ended ------------------------------------------------------------------------

def two_rows(first, second):
    return [[first], [second]], [10, 40], [10, 40]


@pytest.mark.parametrize("prices, weights, rules, reasons", [
    # Long bought on bar 1 at 100: its close 90 (< 95) is a stop, sold on bar 3.
    ([100, 100, 90, 90, 90], [1.0], dict(stop_loss=0.05), ["stop_loss"]),
    # Up to 130 arms the trailing stop (0.1 after a gain of 0.2): 115 < 1.2 is a trailing stop.
    ([100, 100, 130, 115, 115], [1.0], dict(trail_stop=0.1, trail_stop_activation=0.2),
     ["trail_stop"]),
    # The same fall under a wider fixed stop with the trailing stop never armed: no exit.
    ([100, 100, 110, 101, 101], [1.0], dict(stop_loss=0.5, trail_stop=0.05,
                                            trail_stop_activation=0.2), ["open"]),
    # Take-profit touched within the bar.
    ([100, 100, 125, 125], [1.0], dict(take_profit=0.2, touched_exit=True), ["take_profit"]),
    # A short whose close crosses its upper level (labelled "tp" in close mode) is stopped.
    ([100, 100, 112, 112, 112], [-1.0], dict(stop_loss=0.1), ["stop_loss"]),
    # A short whose price falls through its take-profit.
    ([100, 100, 80, 80, 80], [-1.0], dict(take_profit=0.15), ["take_profit"]),
])
def test_reason_of_an_exit(prices, weights, rules, reasons):
    r = run(market(prices), weights, [10], [10], **FREE, **rules)
    assert r.reasons == reasons


def test_reasons_of_rebalance_delisting_and_open_trades():
    # A and B bought on bar 1; B is delisted on bar 2; row 1 (dated 30) resizes A on bar 3,
    # which splits its trade; A is still held after the last bar.
    prices = [[10, 10]] * 5
    r = run(market(prices), [[0.5, 0.5], [0.3, 0.0]], [10, 30], [10, 30],
            delisting_bars=np.array([-1, 2], dtype=np.int64), **FREE)
    assert r.trades == [[1, 1, 2], [0, 1, 3], [0, 3, -1]]
    assert r.reasons == ["delisting", "rebalance", "open"]


# --- the market ------------------------------------------------------------------------------

def market_args(**changes):
    p = np.array([[10.0, 20.0], [11.0, 21.0], [12.0, 22.0]])
    args = dict(price_values=p, close_values=p.copy(), high_values=p.copy(), low_values=p.copy(),
                open_values=p.copy(), price_index=np.array([10, 20, 30], dtype=np.int64),
                price_columns=np.array(["A", "B"], dtype=object))
    args.update(changes)
    return args


@pytest.mark.parametrize("changes, error, message", [
    (dict(close_values=[[1.0]]), TypeError,
     "Argument 'close_values' has incorrect type (expected numpy.ndarray, got list)"),
    (dict(high_values=None), TypeError,
     "Argument 'high_values' has incorrect type (expected numpy.ndarray, got NoneType)"),
    (dict(open_values=np.ones(3)), ValueError,
     "Buffer has wrong number of dimensions (expected 2, got 1)"),
    (dict(low_values=np.ones((3, 2), dtype=np.float32)), ValueError,
     "Buffer dtype mismatch, expected 'float64_t' but got 'float'"),
    (dict(close_values=np.ones((3, 3))), ValueError,
     "close_values has shape (3, 3), price_values (3, 2)"),
    (dict(price_index=np.array([10, 20], dtype=np.int64)), ValueError,
     "price_index has 2 dates for 3 bars"),
    (dict(price_index=np.array([10, 30, 20], dtype=np.int64)), ValueError,
     "price_index must be in ascending order"),
    (dict(price_columns=np.array(["A"], dtype=object)), ValueError,
     "price_columns has 1 names for 2 price columns"),
    (dict(price_columns=np.array(["A", 7], dtype=object)), TypeError,
     "price_columns[1] is int, not str"),
    (dict(delisting_bars=np.array([1], dtype=np.int64)), ValueError,
     "delisting_bars has 1 entries for 2 price columns"),
])
def test_market_checks_its_arguments(changes, error, message):
    with pytest.raises(error) as exc:
        batch.Market(**market_args(**changes))
    assert str(exc.value) == message


def job(weights=((0.5, 0.5),), **rules):
    return dict(signals(list(weights), [10], [10], ["A", "B"]), **rules)


@pytest.mark.parametrize("rule, value, message", [
    *[(rule, float("nan"), f"{rule} must be a number, not NaN (got nan)")
      for rule in ("fee_ratio", "tax_ratio", "stop_loss", "take_profit", "trail_stop",
                   "trail_stop_activation")],
    ("excursion_window", -1, "excursion_window must be >= 0 (got -1)"),
    ("excursion_window_step", 0, "excursion_window_step must be >= 1 (got 0)"),
])
def test_run_refuses_nan_rules_and_windows_out_of_range(rule, value, message):
    m = batch.Market(**market_args())
    for call in (lambda: m.run(**job(**{rule: value})),
                 lambda: m.run_many([job(), job(**{rule: value})])):
        with pytest.raises(ValueError) as exc:
            call()
        assert str(exc.value) == message
    # backtest_ keeps its own conversions: a NaN passes, a window fails later, if at all.
    try:
        tradesim.backtest_(**market_args(), **job(**{rule: value}))
    except Exception as exc:
        assert str(exc) != message


def test_market_reads_its_arrays_in_place_in_any_layout(tmp_path):
    args = market_args()
    want = batch.Market(**args).run(**job())
    # Fortran order, a strided view, read-only, a memmap: the same numbers.
    wide = np.zeros((3, 4))
    wide[:, ::2] = args["price_values"]
    mapped = np.memmap(tmp_path / "close", dtype=np.float64, mode="w+", shape=(3, 2))
    mapped[:] = args["close_values"]
    readonly = args["high_values"].copy()
    readonly.flags.writeable = False
    layouts = dict(price_values=wide[:, ::2], close_values=mapped, high_values=readonly,
                   low_values=np.asfortranarray(args["low_values"]))
    m = batch.Market(**dict(args, **layouts))
    got = m.run(**job())
    np.testing.assert_array_equal(got.value, want.value)
    assert m.price_index is args["price_index"] and m.shape == (3, 2)
    # Read in place: a price changed after the market was made moves the next run.
    mapped[2, 0] = 24.0
    moved = batch.Market(**dict(args, close_values=np.array(mapped))).run(**job())
    assert moved.value[2] != want.value[2]
    np.testing.assert_array_equal(m.run(**job()).value, moved.value)


def test_result_pickles_and_reports_itself():
    r = batch.Market(**market_args()).run(**job())
    again = pickle.loads(pickle.dumps(r))
    assert repr(again) == "RunResult(bars=3, trades=2)"
    np.testing.assert_array_equal(again.trades, r.trades)
    assert r.trades.dtype == batch.TRADE_DTYPE and set(r.trades["reason"]) <= set(batch.REASONS)


# --- many runs --------------------------------------------------------------------------------

def test_run_many_keeps_job_order_and_equals_run():
    m = batch.Market(**market_args())
    jobs = [job(((w, 1 - w),), fee_ratio=f) for w in (0.1, 0.5, 0.9) for f in (0.0, 0.01)]
    for threads in (1, 2, 5):
        results = m.run_many(jobs, threads=threads)
        for j, r in zip(jobs, results):
            np.testing.assert_array_equal(r.value, m.run(**j).value)


def test_run_many_errors_raise_or_return():
    m = batch.Market(**market_args())
    bad = job(((0.5, float("nan")),))
    jobs = [job(), bad, dict(job(), stop_loss="x"), [1, 2], job()]
    got = m.run_many(jobs, errors="return")
    assert isinstance(got[0], batch.RunResult) and isinstance(got[4], batch.RunResult)
    assert [type(e) for e in got[1:4]] == [ValueError, TypeError, TypeError]
    assert str(got[1]) == "Stock B has a NaN weight in position row 0"
    assert str(got[3]) == "job 3 is list, not a mapping of run()'s arguments"
    with pytest.raises(ValueError) as exc:
        m.run_many([job(), bad, job()])
    assert exc.value.__notes__ == ["in job 1 of run_many"]
    with pytest.raises(ValueError, match="^threads must be at least 1, not 0$"):
        m.run_many([job()], threads=0)
    with pytest.raises(ValueError, match="^errors must be 'raise' or 'return', not 'ignore'$"):
        m.run_many([job()], errors="ignore")
    assert m.run_many([]) == []


def test_runs_from_many_python_threads_at_once():
    prices = RNG.uniform(50, 150, (400, 30))
    names = np.array([f"S{i}" for i in range(30)], dtype=object)
    dates = np.arange(400, dtype=np.int64)
    m = batch.Market(prices, prices, prices, prices, prices, dates, names)
    weights = RNG.uniform(0, 1, (20, 30))
    one = dict(pos_values=weights, pos_index=dates[::20], pos_columns=names, resample=dates[::20],
               stop_loss=0.05, excursion_window=10)
    want = m.run(**one)
    results = []
    threads = [threading.Thread(target=lambda: results.append(m.run(**one))) for _ in range(6)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert len(results) == 6
    for r in results:
        np.testing.assert_array_equal(r.value, want.value)
        np.testing.assert_array_equal(r.profiles, want.profiles)


CHILD = textwrap.dedent("""
    import signal
    signal.signal(signal.SIGINT, signal.default_int_handler)  # even where the parent ignores it
    import numpy as np
    from mirelo.core import batch
    bars, stocks = 400_000, 300          # about 4 s a job
    flat = np.broadcast_to(np.full(stocks, 10.0), (bars, stocks))
    names = np.array([f"S{i}" for i in range(stocks)], dtype=object)
    dates = np.arange(bars, dtype=np.int64)
    m = batch.Market(flat, flat, flat, flat, flat, dates, names)
    job = dict(pos_values=np.full((1, stocks), 1.0 / stocks), pos_index=dates[:1],
               pos_columns=names, resample=dates[:1])
    print("running", flush=True)
    try:
        m.run_many([job] * 8, threads=2)
        print("finished", flush=True)
    except KeyboardInterrupt:
        print("interrupted", len(m.run(**dict(job, pos_index=dates[-1:])).value), flush=True)
""")


def test_ctrl_c_cancels_run_many_within_a_second():
    line, waited, err = interrupt(CHILD)
    assert line.split() == ["interrupted", "400000"], err
    assert waited < 1.0
