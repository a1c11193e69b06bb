"""Timing and memory benchmark of ``backtest_`` (run by hand, not in CI).

    python benchmarks/bench_backtest.py               # headline and full-rules cases
    python benchmarks/bench_backtest.py --breakdown   # add one rule at a time
    python benchmarks/bench_backtest.py --bars 2000 --stocks 500   # smaller data

Each case runs once as a warm-up, then `--repeat` (default 5) timed calls; the
table shows the median and the fastest. Memory growth is measured on one more
call: the peak of Python-tracked allocations (tracemalloc, which includes
NumPy's array buffers) and the growth of the resident set above its level
before the call (VmHWM after resetting it through /proc/self/clear_refs; when
that is not possible, ru_maxrss, which only shows growth above the previous
peak of the process). The inputs are built before the measurement, so they
are not counted.

The data is deterministic (seeded): daily bars, log-normal prices with about
1% NaN cells, a rebalance at every month end into the 50 stocks with the best
momentum score (return from 252 to 21 bars before the signal, or from the
first bar while less history exists), at equal weight.
"""

from __future__ import annotations

import argparse
import gc
import os
import resource
import statistics
import sys
import time
import tracemalloc

import numpy as np

from mirelo.core import excursion, tradesim

BUDGET_MS = {"headline": 30.0, "full rules": 60.0}
BUDGET_MEMORY_MB = 16.0

FULL_RULES = dict(
    touched_exit=True,
    stop_loss=0.1,
    take_profit=0.2,
    trail_stop=0.05,
    trail_stop_activation=0.05,
    position_limit=0.05,
    retain_cost_when_rebalance=True,
    excursion_window=20,
    excursion_window_step=5,
)


def make_inputs(bars: int, stocks: int, held: int, seed: int, nan_share: float,
                delisted_share: float) -> dict:
    rng = np.random.default_rng(seed)
    days = np.datetime64("2000-01-03") + np.arange(bars * 7 // 5 + 8)
    days = days[np.is_busday(days)][:bars]
    dates = days.astype("datetime64[ns]").astype(np.int64)

    log_ret = rng.normal(0.0003, 0.02, (bars, stocks))
    start = np.exp(rng.normal(np.log(40.0), 0.7, stocks))
    close = start * np.exp(np.cumsum(log_ret, axis=0))
    before = np.vstack([start, close[:-1]])
    open_ = before * np.exp(0.3 * log_ret + rng.normal(0.0, 0.004, (bars, stocks)))
    wick = np.abs(rng.normal(0.0, 0.006, (2, bars, stocks)))
    high = np.maximum(open_, close) * np.exp(wick[0])
    low = np.minimum(open_, close) * np.exp(-wick[1])
    del wick, before, log_ret

    missing = rng.random((bars, stocks)) < nan_share
    delisting = np.full(stocks, -1, dtype=np.int64)
    if delisted_share > 0:
        gone = rng.choice(stocks, int(round(delisted_share * stocks)), replace=False)
        delisting[gone] = rng.integers(bars // 5, bars - 1, len(gone))
        rows = np.arange(bars)[:, None]
        missing |= (delisting >= 0) & (rows > delisting)
        missing[delisting[gone], gone] = False  # a price on the delisting bar
    for m in (open_, high, low, close):
        m[missing] = np.nan
    price = open_.copy()  # its own buffer, as a separate trading-price matrix would be

    months = days.astype("datetime64[M]")
    signals = np.flatnonzero(months[:-1] != months[1:])
    signals = signals[signals >= 21]
    weights = np.zeros((len(signals), stocks))
    for row, t in enumerate(signals):
        score = close[t - 21] / close[max(t - 252, 0)] - 1.0
        score[~np.isfinite(score) | np.isnan(close[t])] = -np.inf
        score[(delisting >= 0) & (delisting <= t + 1)] = -np.inf
        weights[row, np.argsort(-score, kind="stable")[:held]] = 1.0 / held

    names = np.array([f"S{i:05d}" for i in range(stocks)], dtype=object)
    return dict(
        price_values=price, close_values=close, high_values=high, low_values=low,
        open_values=open_, price_index=dates, price_columns=names,
        pos_values=weights, pos_index=dates[signals], pos_columns=names.copy(),
        resample=dates[signals],
        delisting_bars=delisting if delisted_share > 0 else None,
    )


def _status_kb(field: str) -> int | None:
    try:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith(field + ":"):
                    return int(line.split()[1])
    except OSError:
        pass
    return None


def _reset_peak_rss() -> bool:
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def measure_memory(call) -> tuple[float, float, str]:
    """(peak traced growth MB, resident-set growth MB, how RSS was measured)."""
    gc.collect()
    rss_before = _status_kb("VmRSS")
    if rss_before is not None and _reset_peak_rss():
        call()
        rss_growth = (_status_kb("VmHWM") - rss_before) / 1024.0
        method = "VmHWM"
    else:
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        call()
        rss_growth = (resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before) / 1024.0
        method = "ru_maxrss"
    gc.collect()
    tracemalloc.start()
    base, _ = tracemalloc.get_traced_memory()
    call()
    _, peak = tracemalloc.get_traced_memory()
    tracemalloc.stop()
    return (peak - base) / 2**20, max(rss_growth, 0.0), method


def run_case(inputs: dict, rules: dict, repeat: int) -> dict:
    def call():
        return tradesim.backtest_(**inputs, **rules)

    path = call()  # warm-up
    times = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        call()
        times.append(time.perf_counter() - t0)
    traced, rss, method = measure_memory(call)
    rebalances = len(inputs["pos_index"])
    return dict(
        median_ms=1000.0 * statistics.median(times), best_ms=1000.0 * min(times),
        traced_mb=traced, rss_mb=rss, rss_method=method,
        trades=len(excursion.trades), rebalances=rebalances,
        final_value=float(path[-1]),
    )


def verdict(ok: bool) -> str:
    return "PASS" if ok else "MISS"


def main(argv: list[str] | None = None) -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--bars", type=int, default=5000)
    p.add_argument("--stocks", type=int, default=2000)
    p.add_argument("--held", type=int, default=50)
    p.add_argument("--seed", type=int, default=1)
    p.add_argument("--repeat", type=int, default=5)
    p.add_argument("--breakdown", action="store_true",
                   help="also time the headline case with one full-rules setting added at a time")
    args = p.parse_args(argv)

    print(f"backtest_ benchmark: {args.bars} bars x {args.stocks} stocks, {args.held} held; "
          f"Python {sys.version.split()[0]}, NumPy {np.__version__}, {os.cpu_count()} cores, "
          f"load average {os.getloadavg()[0]:.2f}")
    t0 = time.perf_counter()
    plain = make_inputs(args.bars, args.stocks, args.held, args.seed, 0.01, 0.0)
    delisted = make_inputs(args.bars, args.stocks, args.held, args.seed, 0.01, 0.05)
    print(f"inputs built in {time.perf_counter() - t0:.1f} s "
          f"({len(plain['pos_index'])} monthly rebalances)\n")

    cases = [("headline", plain, {}), ("full rules", delisted, FULL_RULES)]
    header = (f"{'case':<12} {'median ms':>10} {'best ms':>8} {'budget':>7} {'time':>5}  "
              f"{'traced MB':>9} {'RSS MB':>7} {'budget':>7} {'mem':>5}  {'trades':>7}")
    print(header)
    print("-" * len(header))
    all_ok = True
    for name, inputs, rules in cases:
        r = run_case(inputs, rules, args.repeat)
        time_ok = r["median_ms"] <= BUDGET_MS[name]
        mem_ok = max(r["traced_mb"], r["rss_mb"]) <= BUDGET_MEMORY_MB
        all_ok &= time_ok and mem_ok
        print(f"{name:<12} {r['median_ms']:>10.1f} {r['best_ms']:>8.1f} "
              f"{BUDGET_MS[name]:>7.0f} {verdict(time_ok):>5}  {r['traced_mb']:>9.2f} "
              f"{r['rss_mb']:>7.2f} {BUDGET_MEMORY_MB:>7.0f} {verdict(mem_ok):>5}  "
              f"{r['trades']:>7}")
    print(f"\nRSS growth measured with {r['rss_method']}; memory verdict uses the larger "
          "of traced and RSS growth.")

    if args.breakdown:
        print("\nBreakdown: headline data plus one setting (median ms)")
        steps = [("headline", plain, {})]
        steps += [(f"+ {k}={v}", plain, {k: v}) for k, v in FULL_RULES.items()]
        steps.append(("+ delisting 5%", delisted, {}))
        for label, inputs, rules in steps:
            r = run_case(inputs, rules, args.repeat)
            print(f"  {label:<36} {r['median_ms']:>8.1f}   trades {r['trades']}")
    return 0 if all_ok else 1


if __name__ == "__main__":
    sys.exit(main())
