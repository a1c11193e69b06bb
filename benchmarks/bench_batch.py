"""Benchmark of ``mirelo.core.batch`` against ``backtest_`` (run by hand, not in CI).

    python benchmarks/bench_batch.py                 # ratios on 5,000 bars x 2,000 stocks
    python benchmarks/bench_batch.py --callgrind     # also the stable instruction counts
    python benchmarks/bench_batch.py --bars 2000 --stocks 500

The market and the strategies are those of bench_backtest.py (headline: monthly momentum into
50 stocks, default rules; full rules: touched exits, stops, trailing stop, position limit,
excursion window, 5% delistings).  Every figure is a ratio of timings taken in one run, the
two sides interleaved, so that a busy machine slows both alike:

- Market.run against backtest_ alone, and against backtest_ plus what gives the same results
  (the excursion lists, get_trade_stocks, get_stock_operations);
- run_many over 32 headline jobs on 1 and 2 threads against the same jobs one after another;
- a memmapped market against the same market in memory;
- memory: the growth of the resident set when the market is made (no copy: about 0), and
  while 32 jobs run at once, less the size of their results.

With --callgrind, valgrind counts the instructions of one backtest_ call, of one
Market.run call and of one Market.run call with record_holdings=True (the difference
between a process making one call and one making two, so that loading the data does not
count; with one BLAS thread and a fixed hash seed, so that nothing else in the process
varies from run to run). Budget of the holdings record: at most 10% more instructions
than the same run without it.
"""

from __future__ import annotations

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

RECORD_BUDGET = 1.10  # Market.run with record_holdings=True / without

sys.path.insert(0, str(Path(__file__).resolve().parent))
from bench_backtest import FULL_RULES, _reset_peak_rss, _status_kb, make_inputs  # noqa: E402

from mirelo.core import batch, excursion, tradesim  # noqa: E402

MARKET = ("price_values", "close_values", "high_values", "low_values", "open_values",
          "price_index", "price_columns")
SIGNAL = ("pos_values", "pos_index", "pos_columns", "resample")


def market_of(inputs: dict) -> batch.Market:
    return batch.Market(*(inputs[k] for k in MARKET), inputs.get("delisting_bars"))


def job_of(inputs: dict, rules: dict) -> dict:
    return dict({k: inputs[k] for k in SIGNAL}, **rules)


def interleaved(calls: dict, repeat: int) -> dict:
    """Median seconds of each call, the calls taking turns."""
    for call in calls.values():
        call()  # warm-up
    times: dict = {name: [] for name in calls}
    for _ in range(repeat):
        for name, call in calls.items():
            t0 = time.perf_counter()
            call()
            times[name].append(time.perf_counter() - t0)
    return {name: statistics.median(t) for name, t in times.items()}


def single_run_ratios(inputs: dict, rules: dict, repeat: int) -> dict:
    market = market_of(inputs)
    job = job_of(inputs, rules)
    touched = rules.get("touched_exit", False)

    def backtest_with_results():
        tradesim.backtest_(**inputs, **rules)
        rows, _ = tradesim.get_trade_stocks(inputs["pos_columns"], inputs["price_index"], touched)
        return rows, list(excursion.excursion), tradesim.get_stock_operations()

    t = interleaved({"backtest_": lambda: tradesim.backtest_(**inputs, **rules),
                     "backtest_ + results": backtest_with_results,
                     "Market.run": lambda: market.run(**job)}, repeat)
    return t


def scaling(inputs: dict, jobs: int, repeat: int) -> dict:
    market = market_of(inputs)
    many = [job_of(inputs, {})] * jobs
    return interleaved({"one after another": lambda: [market.run(**j) for j in many],
                        "run_many 1 thread": lambda: market.run_many(many, threads=1),
                        "run_many 2 threads": lambda: market.run_many(many, threads=2)}, repeat)


def memmap_ratio(inputs: dict, repeat: int, folder: Path) -> dict:
    mapped = dict(inputs)
    for k in MARKET[:5]:
        m = np.memmap(folder / k, dtype=np.float64, mode="w+", shape=inputs[k].shape)
        m[:] = inputs[k]
        m.flush()
        mapped[k] = np.memmap(folder / k, dtype=np.float64, mode="r", shape=inputs[k].shape)
    plain, disk = market_of(inputs), market_of(mapped)
    job = job_of(inputs, {})
    return interleaved({"in memory": lambda: plain.run(**job),
                        "memmap": lambda: disk.run(**job)}, repeat)


def peak_growth_mb(call) -> tuple[float, object]:
    """Growth of the resident set's peak (MB) during `call`, and its result."""
    before = _status_kb("VmRSS")
    if before is None or not _reset_peak_rss():
        return float("nan"), call()
    result = call()
    return (_status_kb("VmHWM") - before) / 1024.0, result


def memory(inputs: dict, jobs: int) -> dict:
    made, market = peak_growth_mb(lambda: market_of(inputs))
    many = [job_of(inputs, {})] * jobs
    market.run_many(many[:2], threads=2)  # warm-up: allocator pools, thread stacks
    running, results = peak_growth_mb(lambda: market.run_many(many, threads=2))
    kept = sum(r.value.nbytes + r.trades.nbytes + r.profiles.nbytes for r in results) / 2**20
    return {"market made": made, "32 jobs in flight": running, "their results": kept,
            "market size": sum(inputs[k].nbytes for k in MARKET[:5]) / 2**20}


CALLGRIND_SCRIPT = """
import sys, numpy as np
from mirelo.core import batch, tradesim
d = dict(np.load(sys.argv[1], allow_pickle=True))
d["delisting_bars"] = None if d["delisting_bars"].size == 0 else d["delisting_bars"]
rules = eval(sys.argv[4])
calls = int(sys.argv[3])
if sys.argv[2] == "backtest_":
    for _ in range(calls):
        tradesim.backtest_(**d, **rules)
else:
    if sys.argv[2] == "Market.run, holdings":
        rules["record_holdings"] = True
    m = batch.Market(*(d[k] for k in %r), d["delisting_bars"])
    job = dict({k: d[k] for k in %r}, **rules)
    import threading  # off the main thread: the run stays on the calling thread
    for _ in range(calls):
        t = threading.Thread(target=lambda: m.run(**job)); t.start(); t.join()
""" % (MARKET, SIGNAL)


def instructions(npz: Path, engine: str, calls: int, rules: dict, folder: Path) -> int:
    out = folder / f"cg.{engine.replace(' ', '').replace(',', '+')}.{calls}"
    script = folder / "callgrind_case.py"
    script.write_text(CALLGRIND_SCRIPT)
    # OpenBLAS's idle threads spin for a varying number of instructions, and the hash seed
    # moves dictionary work: both fixed, a count repeats to within a few thousand.
    env = dict(os.environ, OPENBLAS_NUM_THREADS="1", PYTHONHASHSEED="0")
    subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}",
                    sys.executable, str(script), str(npz), engine, str(calls), repr(rules)],
                   check=True, capture_output=True, env=env)
    for line in out.read_text().splitlines():
        if line.startswith("summary:") or line.startswith("totals:"):
            return int(line.split()[1])
    raise RuntimeError("no instruction total in " + str(out))


def per_call_instructions(inputs: dict, rules: dict, folder: Path) -> dict:
    npz = folder / "inputs.npz"
    np.savez(npz, **{k: (np.array([]) if v is None else v) for k, v in inputs.items()})
    counts = {}
    for engine in ("backtest_", "Market.run", "Market.run, holdings"):
        one = instructions(npz, engine, 1, rules, folder)
        two = instructions(npz, engine, 2, rules, folder)
        counts[engine] = two - one
    return counts


def main(argv: list[str] | None = None) -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--bars", type=int, default=5000)
    p.add_argument("--stocks", type=int, default=2000)
    p.add_argument("--held", type=int, default=50)
    p.add_argument("--seed", type=int, default=1)
    p.add_argument("--repeat", type=int, default=7)
    p.add_argument("--jobs", type=int, default=32)
    p.add_argument("--callgrind", action="store_true")
    args = p.parse_args(argv)

    print(f"batch benchmark: {args.bars} bars x {args.stocks} stocks, {args.held} held; "
          f"Python {sys.version.split()[0]}, NumPy {np.__version__}, {os.cpu_count()} cores, "
          f"load average {os.getloadavg()[0]:.2f}\n")
    plain = make_inputs(args.bars, args.stocks, args.held, args.seed, 0.01, 0.0)
    delisted = make_inputs(args.bars, args.stocks, args.held, args.seed, 0.01, 0.05)

    for name, inputs, rules in (("headline", plain, {}), ("full rules", delisted, FULL_RULES)):
        t = single_run_ratios(inputs, rules, args.repeat)
        print(f"{name}: backtest_ {1000 * t['backtest_']:.1f} ms, backtest_ + results "
              f"{1000 * t['backtest_ + results']:.1f} ms, Market.run {1000 * t['Market.run']:.1f} ms"
              f"  ->  {t['backtest_'] / t['Market.run']:.2f}x, with results "
              f"{t['backtest_ + results'] / t['Market.run']:.2f}x")

    t = scaling(plain, args.jobs, max(2, args.repeat // 3))
    base = t["one after another"]
    print(f"\n{args.jobs} headline jobs: one after another {base:.2f} s; throughput "
          f"run_many 1 thread {base / t['run_many 1 thread']:.2f}x, "
          f"2 threads {base / t['run_many 2 threads']:.2f}x")

    with tempfile.TemporaryDirectory() as folder:
        t = memmap_ratio(plain, args.repeat, Path(folder))
        print(f"memmapped market: {t['memmap'] / t['in memory']:.2f}x the time in memory")
        m = memory(plain, args.jobs)
        print(f"memory (MB): market {m['market size']:.0f}; growth when made {m['market made']:.1f}; "
              f"{args.jobs} jobs in flight {m['32 jobs in flight']:.1f}, of which results "
              f"{m['their results']:.1f}")
        if args.callgrind:
            for name, inputs, rules in (("headline", plain, {}), ("full rules", delisted, FULL_RULES)):
                c = per_call_instructions(inputs, rules, Path(folder))
                record = c["Market.run, holdings"] / c["Market.run"]
                verdict = "PASS" if record <= RECORD_BUDGET else "MISS"
                print(f"callgrind {name}: backtest_ {c['backtest_'] / 1e6:.2f} M instructions, "
                      f"Market.run {c['Market.run'] / 1e6:.2f} M "
                      f"({c['backtest_'] / c['Market.run']:.2f}x); with the holdings record "
                      f"{c['Market.run, holdings'] / 1e6:.2f} M ({100 * (record - 1):+.1f}%, "
                      f"budget +{100 * (RECORD_BUDGET - 1):.0f}%) {verdict}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
