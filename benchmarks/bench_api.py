"""Overhead of ``mirelo.backtest`` over the bare ``batch.Market.run`` (run by hand, not in CI).

    python benchmarks/bench_api.py                          # 5,000 bars x 2,000 stocks
    python benchmarks/bench_api.py --bars 2000 --stocks 500 # smaller data

The market is the headline case of bench_backtest.py (monthly momentum rebalance into 50
stocks, default rules, orders filled at the open), given to ``mirelo.backtest`` as
date-indexed float64 frames (one block each, as ``pd.DataFrame(array)`` makes them).

Each repetition times, back to back on the same data, the bare engine call
(``Market.run`` on a market built beforehand, without the holdings record) and
``mirelo.backtest`` (input checks, ``Market`` construction, the run with the holdings
record, as by default, and the ``Result``); the verdict compares the medians, as a ratio,
against the budget of 15%. ``mirelo.backtest(..., holdings=False)`` is timed beside them.
The lazy views a caller may ask for afterwards (value, trades, positions, exposure,
contribution, stats) are timed separately and are not part of the overhead; ``positions``
(a dense bars x stocks frame) has a budget of 100 ms. So is what a result costs the caller
who then writes to a frame it came from (pandas copies the data the result still reads,
once, on that write).
"""

from __future__ import annotations

import argparse
import os
import statistics
import sys
import time
from pathlib import Path
from typing import Any, Callable

import numpy as np
import pandas as pd

import mirelo
from mirelo._inputs import prepare_inputs
from mirelo.core import batch

sys.path.insert(0, str(Path(__file__).resolve().parent))
from bench_backtest import make_inputs  # noqa: E402

BUDGET_RATIO = 1.15
POSITIONS_BUDGET_MS = 100.0


def frames(inputs: dict[str, Any]) -> dict[str, Any]:
    """The arrays of make_inputs as the arguments of mirelo.backtest."""
    index = pd.DatetimeIndex(inputs["price_index"].astype("datetime64[ns]"))
    columns = pd.Index(inputs["price_columns"])

    def wrap(values: np.ndarray) -> pd.DataFrame:
        return pd.DataFrame(values, index=index, columns=columns, copy=False)

    weights = pd.DataFrame(inputs["pos_values"], columns=pd.Index(inputs["pos_columns"]),
                           index=pd.DatetimeIndex(inputs["pos_index"].astype("datetime64[ns]")))
    return dict(close=wrap(inputs["close_values"]), weights=weights,
                open=wrap(inputs["open_values"]), high=wrap(inputs["high_values"]),
                low=wrap(inputs["low_values"]), trade_at="open")


def timed(call: Callable[[], object]) -> float:
    t0 = time.perf_counter()
    call()
    return time.perf_counter() - t0


def main(argv: list[str] | None = None) -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--bars", type=int, default=5000)
    p.add_argument("--stocks", type=int, default=2000)
    p.add_argument("--held", type=int, default=50)
    p.add_argument("--seed", type=int, default=1)
    p.add_argument("--repeat", type=int, default=9)
    args = p.parse_args(argv)

    print(f"mirelo.backtest overhead: {args.bars} bars x {args.stocks} stocks, {args.held} held; "
          f"batch from {Path(batch.__file__).name}, pandas {pd.__version__}, "
          f"{os.cpu_count()} cores, load average {os.getloadavg()[0]:.2f}")
    arrays = make_inputs(args.bars, args.stocks, args.held, args.seed, 0.01, 0.0)
    kwargs = frames(arrays)
    prepared = prepare_inputs(**kwargs)
    market = prepared.market.build()

    def bare() -> Any:
        return market.run(**prepared.targets.arguments())

    def api() -> mirelo.Result:
        return mirelo.backtest(**kwargs)

    def api_without_holdings() -> mirelo.Result:
        return mirelo.backtest(**kwargs, holdings=False)

    bare_value, result = bare(), api()  # warm-up, and a check that both ran the same backtest
    np.testing.assert_array_equal(result.value.to_numpy(), bare_value.value)
    bare_times, api_times, prepare_times, plain_times = [], [], [], []
    for _ in range(args.repeat):
        bare_times.append(timed(bare))
        api_times.append(timed(api))
        plain_times.append(timed(api_without_holdings))
        prepare_times.append(timed(lambda: prepare_inputs(**kwargs)))
    bare_ms = 1000.0 * statistics.median(bare_times)
    api_ms = 1000.0 * statistics.median(api_times)
    ratio = api_ms / bare_ms
    print(f"\n{'call':<34} {'median ms':>10} {'best ms':>8}")
    for label, times in (("Market.run (market built before)", bare_times),
                         ("mirelo.backtest", api_times),
                         ("  of which prepare_inputs", prepare_times),
                         ("mirelo.backtest(holdings=False)", plain_times)):
        print(f"{label:<34} {1000 * statistics.median(times):>10.2f} {1000 * min(times):>8.2f}")
    verdict = "PASS" if ratio <= BUDGET_RATIO else "MISS"
    budget = 100 * (BUDGET_RATIO - 1)
    print(f"\noverhead, with the holdings record: {100 * (ratio - 1):+.1f}% "
          f"(budget {budget:.0f}%) {verdict}")

    print("\nlazy views of one result (first access, not part of the overhead):")
    fresh = api()
    for name, view in (("value", lambda: fresh.value), ("trades", lambda: fresh.trades),
                       ("excursions", lambda: fresh.excursions),
                       ("stats(), importing the statistics library", fresh.stats),
                       ("stats() again", fresh.stats),
                       ("positions_value", lambda: fresh.positions_value),
                       ("exposure", lambda: fresh.exposure),
                       ("contribution()", fresh.contribution),
                       ("contribution(freq='M')", lambda: fresh.contribution(freq="M"))):
        print(f"  {name:<44} {1000 * timed(view):>8.2f} ms")
    positions_ms = positions_time(api, args.repeat)
    positions_verdict = "PASS" if positions_ms <= POSITIONS_BUDGET_MS else "MISS"
    print(f"  {'positions (median of fresh results)':<44} {positions_ms:>8.2f} ms "
          f"(budget {POSITIONS_BUDGET_MS:.0f} ms) {positions_verdict}")
    if positions_verdict == "MISS":
        verdict = "MISS"
    print("\na caller's write to close after a run (median ms; while a result lives, pandas "
          "first copies the data the result still reads):")
    for name, write in (("one cell", write_cell), ("one row", write_row)):
        alive, none = (write_after_run(kwargs, write, keep, args.repeat) for keep in (True, False))
        print(f"  {name:<10} result alive {alive:>8.2f}   no result {none:>8.2f}")
    return 0 if verdict == "PASS" else 1


def positions_time(make: Callable[[], mirelo.Result], repeat: int) -> float:
    """Median ms of the first access to ``positions`` of a fresh result."""
    times = []
    for _ in range(repeat):
        result = make()
        times.append(timed(lambda: result.positions))
    return 1000.0 * statistics.median(times)


def write_cell(close: pd.DataFrame) -> None:
    close.iloc[0, 0] = 1.0


def write_row(close: pd.DataFrame) -> None:
    close.iloc[0] = 1.0


def write_after_run(kwargs: dict[str, Any], write: Callable[[pd.DataFrame], None],
                    keep: bool, repeat: int) -> float:
    times = []
    for _ in range(repeat):
        close = kwargs["close"].copy()
        result = mirelo.backtest(**{**kwargs, "close": close}) if keep else None
        times.append(timed(lambda: write(close)))
        del result
    return 1000.0 * statistics.median(times)


if __name__ == "__main__":
    sys.exit(main())
