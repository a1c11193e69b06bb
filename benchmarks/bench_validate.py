"""Cost of ``mirelo.cross_validate`` against a sweep of the same grid (run by hand).

    python benchmarks/bench_validate.py                     # headline market, 64 trials
    python benchmarks/bench_validate.py --bars 2000 --stocks 500 --trials 16   # smaller

The market is the headline market of bench_backtest.py (5,000 bars x 2,000
stocks, monthly momentum into 50 stocks) as pandas frames over the same arrays,
and the trials a stop-loss x take-profit grid (8 x 8 = 64 by default), as in
bench_sweep.py.  Timed in turn, `--rounds` times, on the threads engine with
progress off:

- sweep: ``mirelo.sweep(..., keep_returns=True)``;
- walk-forward: ``cross_validate`` in slice mode with ``WalkForward(250, 1000)``
  (a year of test bars after four of training: 16 splits);
- CPCV: ``cross_validate`` in slice mode with ``CombinatorialPurgedCV(10, 2)``
  (45 splits, 9 paths).

The machine is shared and noisy, so the ratios are those of the median times of
one run (budgets: walk-forward at most 1.15x the sweep, CPCV at most 1.3x), in
wall time and in this process's CPU time (less sensitive to other load).
Slice mode runs every trial once, as the sweep does; what it adds is the
scoring of the windows, timed apart as the ratio's remainder.  For memory, the
returns a validation keeps are reported: one float32 column per trial.
"""

from __future__ import annotations

import argparse
import gc
import os
import sys
import time

import numpy as np

from bench_backtest import make_inputs
from bench_sweep import frames, grid

import mirelo

WALK_FORWARD_BUDGET = 1.15
CPCV_BUDGET = 1.30


def timed(call) -> tuple[float, float, object]:
    """Wall seconds, this process's CPU seconds, and what `call` returned."""
    gc.collect()
    cpu = os.times()
    start = time.perf_counter()
    out = call()
    wall = time.perf_counter() - start
    after = os.times()
    return wall, after.user + after.system - cpu.user - cpu.system, out


def verdict(ok: bool) -> str:
    return "PASS" if ok else "MISS"


def main(argv: list[str] | None = None) -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--bars", type=int, default=5000)
    p.add_argument("--stocks", type=int, default=2000)
    p.add_argument("--trials", type=int, default=64)
    p.add_argument("--rounds", type=int, default=5)
    args = p.parse_args(argv)

    print(f"validation benchmark: {args.bars} bars x {args.stocks} stocks, {args.trials} "
          f"trials, {args.rounds} rounds; Python {sys.version.split()[0]}, "
          f"{os.cpu_count()} cores, load average {os.getloadavg()[0]:.2f}")
    inputs = make_inputs(args.bars, args.stocks, 50, 1, 0.01, 0.0)
    close, open_, high, low, weights = frames(inputs)
    del inputs
    market = dict(open=open_, high=high, low=low, trade_at="open")
    the_grid = grid(args.trials)
    test, train = max(2, args.bars // 20), max(2, args.bars // 5)
    walk_forward = mirelo.WalkForward(test, train)
    cpcv = mirelo.CombinatorialPurgedCV(10, 2)

    calls = {
        "sweep": lambda: mirelo.sweep(close, weights, the_grid, progress=False,
                                      keep_returns=True, **market),
        "walk-forward": lambda: mirelo.cross_validate(close, weights, the_grid, walk_forward,
                                                      progress=False, **market),
        "CPCV 10/2": lambda: mirelo.cross_validate(close, weights, the_grid, cpcv,
                                                   progress=False, **market),
    }
    mirelo.sweep(close, weights, {"stop_loss": [0.1, 0.2]}, progress=False, **market)  # warm-up
    times: dict[str, list[float]] = {name: [] for name in calls}
    cpu: dict[str, list[float]] = {name: [] for name in calls}
    outs: dict[str, object] = {}
    for _ in range(args.rounds):
        for name, call in calls.items():
            seconds, cpu_seconds, outs[name] = timed(call)
            times[name].append(seconds)
            cpu[name].append(cpu_seconds)
    median = {name: float(np.median(t)) for name, t in times.items()}
    median_cpu = {name: float(np.median(t)) for name, t in cpu.items()}

    best = {name: min(t) for name, t in times.items()}

    print(f"\n{'':<13} {'median s':>8} {'ratio':>6} {'best':>6} {'cpu':>6}  seconds per round")
    budgets = {"walk-forward": WALK_FORWARD_BUDGET, "CPCV 10/2": CPCV_BUDGET}
    for name in calls:
        ratio = median[name] / median["sweep"]
        best_ratio = best[name] / best["sweep"]
        cpu_ratio = median_cpu[name] / median_cpu["sweep"]
        note = "" if name == "sweep" else \
            f"budget {budgets[name]:.2f}x: {verdict(ratio <= budgets[name])} (median), " \
            f"{verdict(cpu_ratio <= budgets[name])} (CPU)"
        rounds = " ".join(f"{t:.2f}" for t in times[name])
        print(f"{name:<13} {median[name]:>8.2f} {ratio:>6.2f} {best_ratio:>6.2f} "
              f"{cpu_ratio:>6.2f}  [{rounds}] {note}")
    print("ratios to the sweep: of the median wall times, of the best rounds, and of the "
          "median CPU times of this process")

    wf, cp = outs["walk-forward"], outs["CPCV 10/2"]
    kept = wf._scorer.returns
    print(f"\nwalk-forward: {len(wf.splits)} splits, {len(wf.folds)} folds; CPCV: "
          f"{len(cp.splits)} splits, {cp.n_paths} paths")
    print(f"returns kept: {kept.shape[0]} bars x {kept.shape[1]} trials, {kept.dtype}, "
          f"{kept.nbytes / 2**20:.1f} MB")
    same = outs["sweep"].table.drop(columns="elapsed").equals(wf.table.drop(columns="elapsed"))
    print(f"walk-forward's table of runs equals the sweep's: {same}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
