"""mirelo.core.batch: the market's checks, why trades end, layouts read in place, many runs
on threads, Ctrl-C, and the kernel's NumPy-order summation.

Value paths, trades, profiles and operations are compared with backtest_ by every scenario of
simcase.run and by test_batch_vs_backtest; this file covers what only batch has.
"""

import gc
import math
import pathlib
import pickle
import re
import textwrap
import threading

import numpy as np
import pytest

import mirelo
from mirelo.core import batch, tradesim
from child import interrupt
from model.data import make_case
from simcase import COSTS, FREE, MARKET_ARGS, market, run, run_batch, run_case, signals

RNG = np.random.default_rng(7)
NAN = math.nan
ARRAYS = MARKET_ARGS + ("pos_values", "pos_index", "pos_columns", "resample")


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


@pytest.mark.filterwarnings("ignore:overflow encountered")
def test_abs_sum_of_the_nonzero_weights_equals_numpy_sum(kernel_probe):
    # A rebalance sums only the row's non-zero weights (zero blocks and the stocks that sit the
    # period out left out), in the additions NumPy makes over the whole row.
    for values in vectors():
        row = values.copy()
        row[RNG.random(len(row)) < RNG.choice([0.0, 0.5, 0.98, 1.0])] = RNG.choice([0.0, -0.0])
        zeroed = sorted(set(RNG.integers(0, max(len(row), 1), RNG.integers(0, 4)).tolist()) & set(range(len(row))))
        read = row.copy()
        read[zeroed] = 0.0
        want = np.abs(read).sum()
        got = kernel_probe.sparse_abs_sum(row, zeroed)
        assert np.float64(got).tobytes() == want.tobytes(), len(row)


# --- why a trade ended ------------------------------------------------------------------------

def two_rows(first, second):
    return [[first], [second]], [10, 40], [10, 40]


EXIT_CASES = [
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
]


@pytest.mark.parametrize("prices, weights, rules, reasons", EXIT_CASES)
def test_reason_of_an_exit(prices, weights, rules, reasons):
    r = run(market(prices), weights, [10], [10], **FREE, **rules)
    assert r.reasons == reasons


def rebalance_delisting_and_open():
    # A and B bought on bar 1; B is delisted on bar 2; row 1 (dated 30) resizes A on bar 3,
    # which splits its trade; A is still held after the last bar.
    prices = [[10, 10]] * 5
    return run(market(prices), [[0.5, 0.5], [0.3, 0.0]], [10, 30], [10, 30],
               delisting_bars=np.array([-1, 2], dtype=np.int64), **FREE)


def test_reasons_of_rebalance_delisting_and_open_trades():
    r = rebalance_delisting_and_open()
    assert r.trades == [[1, 1, 2], [0, 1, 3], [0, 3, -1]]
    assert r.reasons == ["delisting", "rebalance", "open"]


def test_exit_reasons_are_the_ones_results_record_and_the_docs_list():
    seen = set(rebalance_delisting_and_open().reasons)
    for prices, weights, rules, _ in EXIT_CASES:
        seen |= set(run(market(prices), weights, [10], [10], **FREE, **rules).reasons)
    # Every reason a run records is declared, whole (the field fits the longest name).
    assert len(set(batch.EXIT_REASONS)) == len(batch.EXIT_REASONS)
    assert seen == set(batch.EXIT_REASONS)
    assert batch.TRADE_DTYPE.fields["reason"][0].itemsize == 4 * max(map(len, batch.EXIT_REASONS))
    assert batch.REASONS is batch.EXIT_REASONS
    # Result.trades and the README list them, in the table's order.
    doc = mirelo.Result.trades.__doc__
    assert re.findall(r'"(\w+)"', doc.split("``reason``")[1]) == list(batch.EXIT_REASONS)
    readme = (pathlib.Path(__file__).parents[1] / "README.md").read_text()
    frame_column = re.search(r"`reason` \(([^)]*)\)", readme).group(1)
    run_field = readme[readme.index("- `reason` tells why"):].split("\n- ")[0]
    for listed in (re.findall(r"`(\w+)`", frame_column), re.findall(r'`"(\w+)"`', run_field)):
        assert listed == list(batch.EXIT_REASONS)


# --- the money of a trade --------------------------------------------------------------------

def money_returns(records):
    return (records["exit_value"] - records["entry_value"]) / np.abs(records["entry_value"])


class TestTradeMoney:
    """What each trade entered and exited at, in money, net of fees and tax."""

    def test_hand_worked_long_filled_on_a_missing_price_and_short(self):
        # Fee 0.001, tax 0.003.  Bar 1: A (no price that bar) bought for 0.5, held at
        # 0.4995; B shorted for 0.5, which brings in 0.4995.  A is first priced at 12 on
        # bar 2 and sold at 13.5 on bar 4: 0.4995 * 13.5 / 12 * 0.996.  B goes 20 -> 16
        # (-0.5 -> -0.4) and is covered for 0.4 + 0.4 * 0.004.
        prices = [[10, 20], [NAN, 20], [12, 18], [13, 18], [13.5, 16]]
        for window in (0, 10):  # the window does not change what the trades made
            r = run(market(prices), [[0.5, -0.5], [0.0, 0.0]], [10, 40], [10, 40],
                    excursion_window=window, **COSTS)
            assert r.trades == [[0, 1, 4], [1, 1, 4]]
            a_out = 0.4995 * 13.5 / 12 * 0.996
            np.testing.assert_allclose(r.money, [(0.5, a_out), (-0.4995, -0.4016)], rtol=1e-12)
            assert math.isnan(r.profiles[0][-1]) and math.isnan(r.profiles[0][-6])
            gain = sum(out - entry for entry, out in r.money)
            assert r.value_path[-1] - 1.0 == pytest.approx(gain, rel=1e-12)

    @pytest.mark.parametrize("config", [
        dict(), dict(shorts=True, touched_exit=True, stop_loss=0.05),
        dict(retain_cost_when_rebalance=True, shorts=True, gross=1.7, position_limit=0.3),
        dict(periodically_rebalance=False, shorts=True, trade_at="open", stop_loss=0.08),
        dict(nan_rate=0.15, trade_at="mid", delisting=True, take_profit=0.1),
    ])
    def test_trades_add_up_to_the_value_path_whatever_the_window(self, config):
        for seed in range(25):
            case = make_case(seed, n_bars=40, n_price=5, n_rows=6, **config)
            args = {k: case.pop(k) for k in ARRAYS}
            runs = [run_batch(dict(args), **case, excursion_window=w, excursion_window_step=3)
                    for w in (0, 12)]
            records = runs[0].trades
            gain = np.sum(records["exit_value"] - records["entry_value"])
            assert runs[0].value[-1] - 1.0 == pytest.approx(gain, rel=1e-9, abs=1e-12)
            np.testing.assert_array_equal(money_returns(records), money_returns(runs[1].trades))

    @pytest.mark.parametrize("trade_at", ["close", "open"])
    def test_the_profile_return_where_it_holds(self, trade_at):
        # One weights row: every trade is a whole entry and a whole exit (a close-mode stop,
        # a delisting) or is open at the end; window 0, no missing price.  Longs agree with
        # their profile's return with costs, shorts without costs (the profile charges a
        # short's costs on its mirrored value).
        compared = 0
        for seed in range(40):
            for costs, shorts in ((COSTS, False), (FREE, True)):
                case = make_case(seed, n_bars=30, n_rows=1, trade_at=trade_at, shorts=shorts,
                                 delisting=True, stop_loss=0.06, take_profit=0.1, **costs)
                args = {k: case.pop(k) for k in ARRAYS}
                r = run_batch(args, **case)
                # A trade that ends on its entry bar is priced at that bar's close.
                compare = (r.trades["exit_bar"] != r.trades["entry_bar"]) & (
                    r.trades["position"] > 0 if not shorts else True)
                np.testing.assert_allclose(money_returns(r.trades)[compare],
                                           r.profiles[compare, -1], rtol=1e-9, atol=1e-12)
                compared += len(r.trades[compare])
        assert compared > 100


# --- the market ------------------------------------------------------------------------------

def market_args(**changes):
    return dict(market([[10.0, 20.0], [11.0, 21.0], [12.0, 22.0]]), **changes)


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


def out_of_range(rule):
    """A value below the rule's range and Market.run's message for it."""
    value = float("nan") if math.isinf(rule.minimum) else type(rule.default)(rule.minimum - 1)
    return rule.name, value, f"{rule.name} must be {rule.range} (got {value!r})"


@pytest.mark.parametrize("rule, value, message", [
    # position_limit keeps backtest_'s own messages (test_tradesim_args).
    out_of_range(rule) for rule in batch.RULES if rule.range and rule.name != "position_limit"])
def test_run_refuses_rules_out_of_their_range(rule, value, message):
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


def assert_same_result(got, want):
    np.testing.assert_array_equal(got.value, want.value)
    np.testing.assert_array_equal(got.trades, want.trades)
    np.testing.assert_array_equal(got.profiles, want.profiles)
    assert got.operations == want.operations


def test_position_names_map_alike_whatever_objects_hold_them():
    # A run whose position columns are the market's own name objects maps each to its place;
    # equal names in other objects are looked up; a market naming one stock twice maps it to
    # its last column.
    case = make_case(5, n_bars=40, n_price=6, n_rows=5, shorts=True)
    own = dict(case, pos_columns=case["price_columns"].copy())
    copies = dict(case, pos_columns=np.array(["".join(n) for n in case["price_columns"]], dtype=object))
    assert_same_result(run_batch(own), run_batch(copies))
    names = case["price_columns"]
    pos_values = case["pos_values"].copy()
    pos_values[:, -1] = 0.0  # the stock whose name the market drops
    twice = dict(own, pos_values=pos_values, price_columns=np.array(list(names[:-1]) + [names[0]], dtype=object))
    assert run_case(twice).trades  # both engines agree, and trade


@pytest.mark.parametrize("rules", [COSTS, dict(COSTS, touched_exit=True, stop_loss=0.03, take_profit=0.05,
                                                trail_stop=0.02, excursion_window=6, excursion_window_step=2)])
def test_a_market_too_wide_for_the_caches_runs_as_a_narrow_one(rules):
    # 1,100 bars of 1,000 stocks (8.8 MB a matrix): the walk fetches the next bar's cells
    # ahead, and gives the numbers of a market of the three stocks traded.
    case = make_case(11, n_bars=1100, n_price=3, n_rows=60, shorts=True, nan_rate=0.02)
    wide = {k: np.zeros((1100, 1000)) for k in MARKET_ARGS[:5]}
    for k in wide:
        wide[k][:, 500:503] = case[k]
    names = np.array([f"X{j}" for j in range(1000)], dtype=object)
    names[500:503] = case["price_columns"]
    wide_case = dict(case, **wide, price_columns=names)
    assert_same_result(run_batch(wide_case, **rules), run_batch(case, **rules))


def test_results_keep_their_arrays_after_the_run():
    # The trades and profiles are handed over without a copy: they outlive the result that
    # held them, and are plain writable arrays.
    r = batch.Market(**market_args()).run(**job(), excursion_window=2)
    trades, profiles = r.trades, r.profiles
    want_trades, want_profiles = trades.copy(), profiles.copy()
    del r
    gc.collect()
    np.testing.assert_array_equal(trades, want_trades)
    np.testing.assert_array_equal(profiles, want_profiles)
    assert profiles.flags.c_contiguous and profiles.flags.writeable and trades.flags.writeable


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
