"""Throughput and memory benchmark of ``mirelo.sweep`` (run by hand, not in CI).

    python benchmarks/bench_sweep.py                      # threads engine and bare run_many
    python benchmarks/bench_sweep.py --ray                # also the Ray engine, local, 2 CPUs
    python benchmarks/bench_sweep.py --bars 2000 --stocks 500 --trials 64   # smaller

The market is the headline market of bench_backtest.py (5,000 bars x 2,000
stocks, monthly momentum into 50 stocks), as pandas frames over the same
arrays.  The trials are a stop-loss x take-profit grid (16 x 16 = 256 by
default).  Everything is timed in one run, on one machine state, and reported
as ratios:

- bare: one ``Market.run_many`` call over all the trials' jobs (all cores);
- threads: ``mirelo.sweep`` with the threads engine, progress off, against bare;
- ray (with --ray): a local Ray instance with 2 CPUs, started and warmed up
  (one small sweep, so that the workers exist) before the clock starts,
  against threads.

The machine is shared and noisy, so the three run in turn, `--rounds` times,
and the ratios are those of the median times.  Memory:

- the threads sweep's resident peak (keep_returns=False) against the process's
  resident set before the market was generated plus the market's arrays: the
  first sweep of the process, so that nothing the benchmark ran before counts;
- the growth of Ray's shared memory (/dev/shm, where the object store lives)
  during one timed sweep, against the market's size, and each worker's private
  (anonymous) memory growth over the timed sweeps.

The fingerprint a store records (digests of the market's and the weights'
arrays, each read once in the order of its memory) is timed too, on the market
as given and on F-ordered copies (the layout of most pandas frames' blocks),
against one trial's ``Market.run`` (budget: two trials, paid once per sweep
with a store).
"""

from __future__ import annotations

import argparse
import gc
import os
import sys
import time

import numpy as np
import pandas as pd

from bench_backtest import _reset_peak_rss, _status_kb, make_inputs

import mirelo
from mirelo._inputs import RULE_DEFAULTS
from mirelo._sweep.fingerprint import sweep_fingerprint
from mirelo._sweep.setup import SweepSetup, build_market
from mirelo._sweep.trials import expand_grid

THREADS_BUDGET = 0.90  # sweep throughput / bare run_many
RAY_BUDGET = 0.70  # Ray throughput / threads throughput
MEMORY_BUDGET_MB = 150.0
FINGERPRINT_BUDGET = 2.0  # fingerprint seconds / one trial's run (paid once per sweep)
WORKER_BUDGET_MB = 50.0


def frames(inputs: dict) -> tuple[pd.DataFrame, pd.DataFrame, pd.DataFrame, pd.DataFrame,
                                  pd.DataFrame]:
    dates = pd.DatetimeIndex(inputs["price_index"].astype("datetime64[ns]"))
    names = list(inputs["price_columns"])

    def frame(values, index):
        return pd.DataFrame(values, index=index, columns=names, copy=False)

    weights = frame(inputs["pos_values"],
                    pd.DatetimeIndex(inputs["pos_index"].astype("datetime64[ns]")))
    return (frame(inputs["close_values"], dates), frame(inputs["open_values"], dates),
            frame(inputs["high_values"], dates), frame(inputs["low_values"], dates), weights)


def grid(trials: int) -> dict:
    side = int(round(trials ** 0.5))
    return {"stop_loss": list(np.round(np.linspace(0.02, 0.32, side), 4)),
            "take_profit": list(np.round(np.linspace(0.05, 0.80, trials // side), 4))}


def shared_mb() -> float:
    s = os.statvfs("/dev/shm")
    return (s.f_blocks - s.f_bfree) * s.f_frsize / 2**20


def timed(call) -> tuple[float, float, object]:
    """Wall seconds, this process's CPU seconds, and what `call` returned."""
    gc.collect()
    cpu = os.times()
    start = time.perf_counter()
    out = call()
    wall = time.perf_counter() - start
    after = os.times()
    return wall, after.user + after.system - cpu.user - cpu.system, out


def peak_rss_mb(call) -> float:
    """The resident set's peak while `call` runs (NaN where it cannot be measured)."""
    gc.collect()
    if _status_kb("VmRSS") is None or not _reset_peak_rss():
        return float("nan")
    call()
    return _status_kb("VmHWM") / 1024.0


def worker_anon_mb(ray) -> dict[int, float]:
    @ray.remote(num_cpus=1)
    def probe():
        time.sleep(0.5)  # keeps both workers busy, so that each answers once
        return os.getpid(), _status_kb("RssAnon") / 1024.0

    return dict(ray.get([probe.remote() for _ in range(2)]))


def median_seconds(call, repeat: int = 5) -> float:
    return float(np.median([timed(call)[0] for _ in range(repeat)]))


def fingerprint_note(setup: SweepSetup, frames_: tuple, market: dict, trial_seconds: float) -> str:
    """The fingerprint's cost on the market as given and on F-ordered frames."""
    given = median_seconds(lambda: sweep_fingerprint(setup, trade_at="open", fixed_rules={}))
    layout = "F" if setup.inputs[None].market.close_values.flags.f_contiguous else "C"
    close, open_, high, low, weights = (
        pd.DataFrame(np.asfortranarray(f.to_numpy()), index=f.index, columns=f.columns)
        for f in frames_)
    f_setup, _ = SweepSetup.prepare(close, weights, open=open_, high=high, low=low,
                                    trade_at=market["trade_at"])
    f_order = median_seconds(lambda: sweep_fingerprint(f_setup, trade_at="open", fixed_rules={}))
    worst = max(given, f_order) / trial_seconds
    return (f"store fingerprint: {given * 1e3:.1f} ms on the arrays as given ({layout}-ordered), "
            f"{f_order * 1e3:.1f} ms on F-ordered frames; one trial's Market.run "
            f"{trial_seconds * 1e3:.1f} ms; worst {worst:.2f} trials (budget "
            f"{FINGERPRINT_BUDGET:.0f}): {verdict(worst <= FINGERPRINT_BUDGET)}")


def verdict(ok: bool) -> str:
    return "PASS" if ok else "MISS"


def main(argv: list[str] | None = None) -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--bars", type=int, default=5000)
    p.add_argument("--stocks", type=int, default=2000)
    p.add_argument("--trials", type=int, default=256)
    p.add_argument("--rounds", type=int, default=3)
    p.add_argument("--ray", action="store_true", help="also the Ray engine (needs the cluster extra)")
    args = p.parse_args(argv)

    print(f"sweep benchmark: {args.bars} bars x {args.stocks} stocks, {args.trials} trials, "
          f"{args.rounds} rounds; Python {sys.version.split()[0]}, {os.cpu_count()} cores, "
          f"load average {os.getloadavg()[0]:.2f}")
    gc.collect()
    rss_start_mb = (_status_kb("VmRSS") or 0) / 1024.0
    inputs = make_inputs(args.bars, args.stocks, 50, 1, 0.01, 0.0)
    close, open_, high, low, weights = frames(inputs)
    del inputs  # its separate trading-price copy is not part of this market
    market = dict(open=open_, high=high, low=low, trade_at="open")
    the_grid = grid(args.trials)
    setup, _ = SweepSetup.prepare(close, weights, **market)
    arrays = {id(a): a for k, a in setup.inputs[None].market.arguments().items()
              if k.endswith("values")}
    market_mb = sum(a.nbytes for a in arrays.values()) / 2**20

    def threads_sweep():
        return mirelo.sweep(close, weights, the_grid, progress=False, **market)

    peak_mb = peak_rss_mb(threads_sweep)
    sweep_mb = peak_mb - rss_start_mb - market_mb

    trials, _ = expand_grid(the_grid, None, {}, RULE_DEFAULTS)
    jobs = [setup.job(t) for t in trials]
    bare_market = build_market(setup.inputs[None].market)
    bare_market.run_many(jobs[:2])  # warm-up
    trial_seconds = median_seconds(lambda: bare_market.run(**jobs[0]))
    fingerprint = fingerprint_note(setup, (close, open_, high, low, weights), market,
                                   trial_seconds)
    engines = {"bare run_many": lambda: bare_market.run_many(jobs), "threads sweep": threads_sweep}
    ray = None
    if args.ray:
        import ray

        ray.init(num_cpus=2, logging_level="ERROR", log_to_driver=False)
        mirelo.sweep(close, weights, {"stop_loss": [0.1, 0.2, 0.3, 0.4]}, engine="ray",
                     progress=False, **market)  # warm-up: workers started, first fetch
        workers_before = worker_anon_mb(ray)
        shm_growth: list[float] = []

        def ray_sweep():
            shm_before = shared_mb()
            out = mirelo.sweep(close, weights, the_grid, engine="ray", progress=False, **market)
            shm_growth.append(shared_mb() - shm_before)
            return out

        engines["ray sweep"] = ray_sweep
    times: dict[str, list[float]] = {name: [] for name in engines}
    cpu: dict[str, list[float]] = {name: [] for name in engines}
    tables = {}
    for _ in range(args.rounds):
        for name, call in engines.items():
            seconds, cpu_seconds, out = timed(call)
            times[name].append(seconds)
            cpu[name].append(cpu_seconds)
            tables[name] = getattr(out, "table", None)
    median = {name: float(np.median(t)) for name, t in times.items()}
    cpu_ratio = float(np.median(cpu["bare run_many"]) / np.median(cpu["threads sweep"]))

    threads_ratio = median["bare run_many"] / median["threads sweep"]
    rows = [("bare run_many", None, ""),
            ("threads sweep", threads_ratio,
             f"of bare, budget {THREADS_BUDGET:.0%}: {verdict(threads_ratio >= THREADS_BUDGET)}")]
    table = tables["threads sweep"]
    notes = [f"threads sweep against bare in this process's CPU time (less sensitive to other "
             f"load on the machine): {cpu_ratio:.2f}",
             f"market arrays {market_mb:.0f} MB; threads sweep resident peak {peak_mb:.0f} MB = "
             f"{rss_start_mb:.0f} MB before the market + the market + {sweep_mb:.0f} MB "
             f"(budget {MEMORY_BUDGET_MB:.0f}): {verdict(sweep_mb <= MEMORY_BUDGET_MB)}; "
             f"{int((table.status != 'ok').sum())} failed trials", fingerprint]
    if ray is not None:
        ray_ratio = median["threads sweep"] / median["ray sweep"]
        rows.append(("ray sweep", ray_ratio,
                     f"of threads, budget {RAY_BUDGET:.0%}: {verdict(ray_ratio >= RAY_BUDGET)}"))
        workers_after = worker_anon_mb(ray)
        worst = max(workers_after[pid] - workers_before.get(pid, 0.0) for pid in workers_after)
        same = tables["ray sweep"].drop(columns="elapsed").equals(table.drop(columns="elapsed"))
        notes.append(f"ray: shared memory growth per sweep {max(shm_growth):.0f} MB (one market: "
                     f"{market_mb:.0f} MB); worst worker private growth {worst:.0f} MB "
                     f"(budget {WORKER_BUDGET_MB:.0f}): {verdict(worst <= WORKER_BUDGET_MB)}; "
                     f"table equal to threads: {same}")
        ray.shutdown()

    print(f"\n{'':<14} {'median s':>8} {'trials/s':>9} {'ratio':>6}  seconds per round")
    for name, ratio, note in rows:
        ratio_text = "" if ratio is None else f"{ratio:.2f}"
        rounds = " ".join(f"{t:.2f}" for t in times[name])
        print(f"{name:<14} {median[name]:>8.2f} {args.trials / median[name]:>9.1f} "
              f"{ratio_text:>6}  [{rounds}] {note}")
    print()
    for note in notes:
        print(note)
    return 0


if __name__ == "__main__":
    sys.exit(main())
