"""The kernel's cost per run on W1, W1-full and S1 (run by hand, not in CI).

    python benchmarks/bench_kernel.py                     # wall time, run_many scaling
    python benchmarks/bench_kernel.py --callgrind         # + instructions per run (valgrind)
    python benchmarks/bench_kernel.py --callgrind --parts # + where W1's instructions go
    python benchmarks/bench_kernel.py --baseline main     # + wall-time ratio to another commit

The workloads are those of kernel_cases.py.  Every figure comes from one run of this script:

- wall time: the median of interleaved calls of Market.run and backtest_ on the installed
  package, per workload;
- --callgrind: the instructions of one call of Market.run and of backtest_ on a RelWithDebInfo
  build of this checkout (made in build/relwithdebinfo with CMake and Ninja), counted by
  valgrind's callgrind from the entry of the call to its return (the second of two calls, so
  that one-time set-up does not count);  --parts splits W1's Market.run by source: the bar
  loop (mark-to-market, exit rules, the bar's value), the excursion profiles, the rebalances and
  what lies outside the kernel (arguments, results), with their units of work;
- --baseline REF: the same checkout at another commit (git archive), built in Release as pip
  builds, timed in child processes taking turns with this checkout's installed build: the
  ratio of their medians, per workload and interface;
- run_many on 2 threads against 1, as a ratio of throughput over 64 W1 jobs, with the CPU
  time the process got per second (both threads busy: near 2).
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
from kernel_cases import MARKET, SIGNAL, cases  # noqa: E402

ROOT = Path(__file__).resolve().parent.parent
WORKLOADS = ("W1", "W1-full", "S1")
BUDGET = {("Market.run", "W1"): 30e6, ("Market.run", "W1-full"): 40e6, ("Market.run", "S1"): 5e6,
          ("backtest_", "W1"): 100e6}
ENTRY = {"Market.run": "mirelo::batch::(anonymous namespace)::market_run("
                       "_object*, _object* const*, long, _object*)",
         "backtest_": "mirelo::tradesim::run_backtest(_object* const*, unsigned long, _object*)"}


# ---- the cases on disk, for child processes ------------------------------------------------

def save_cases(folder: Path, names) -> None:
    built = cases()
    for name in names:
        build, rules = built[name]
        data = build()
        where = folder / name
        where.mkdir(parents=True)
        for key, value in data.items():
            if value is not None:
                np.save(where / f"{key}.npy", value, allow_pickle=True)
        (where / "rules.json").write_text(json.dumps(rules))


# Loads a case as kernel_cases built it: the position columns are the same name objects as the
# price columns (np.load makes new ones).
CHILD_PRELUDE = r"""
import json, os, sys, threading, time
import numpy as np
from mirelo.core import batch, tradesim
def load(folder):
    d = {}
    for key in %r:
        path = os.path.join(folder, key + ".npy")
        d[key] = np.load(path, allow_pickle=True) if os.path.exists(path) else None
    if list(d["pos_columns"]) == list(d["price_columns"]):
        d["pos_columns"] = d["price_columns"].copy()
    return d, json.load(open(os.path.join(folder, "rules.json")))
def callers(d, rules):
    market = batch.Market(*(d[k] for k in %r), d["delisting_bars"])
    job = dict({k: d[k] for k in %r}, **rules)
    return {"Market.run": lambda: market.run(**job),
            "backtest_": lambda: tradesim.backtest_(**d, **rules)}
""" % (MARKET + SIGNAL + ("delisting_bars",), MARKET, SIGNAL)

# Two calls off the main thread (Market.run then runs on the calling thread).
CALLGRIND_CHILD = CHILD_PRELUDE + r"""
d, rules = load(sys.argv[1])
call = callers(d, rules)[sys.argv[2]]
kept = []
t = threading.Thread(target=lambda: [kept.append(call()) for _ in range(2)])
t.start(); t.join()
"""

# Timed calls, after one warm-up: prints the seconds of each.
TIMING_CHILD = CHILD_PRELUDE + r"""
d, rules = load(sys.argv[1])
call = callers(d, rules)[sys.argv[2]]
call()
times = []
for _ in range(int(sys.argv[3])):
    t0 = time.perf_counter(); call(); times.append(time.perf_counter() - t0)
print(json.dumps(times))
"""


# ---- builds -----------------------------------------------------------------------------------

def cmake_build(source: Path, build: Path, build_type: str) -> None:
    tools = Path(sys.executable).parent
    cmake = shutil.which("cmake", path=str(tools)) or shutil.which("cmake")
    ninja = shutil.which("ninja", path=str(tools)) or shutil.which("ninja")
    if cmake is None or ninja is None:
        raise SystemExit("cmake and ninja are needed (pip install cmake ninja)")
    subprocess.run([cmake, "-S", str(source), "-B", str(build), "-G", "Ninja", f"-DCMAKE_MAKE_PROGRAM={ninja}",
                    f"-DCMAKE_BUILD_TYPE={build_type}", f"-DPython_EXECUTABLE={sys.executable}"],
                   check=True, capture_output=True)
    subprocess.run([ninja, "-C", str(build)], check=True, capture_output=True)


def stage(source: Path, build: Path, where: Path) -> Path:
    """A package tree: the Python sources of `source` and the modules built in `build`."""
    shutil.copytree(source / "src" / "mirelo", where / "mirelo")
    for module in build.glob("*.so"):
        shutil.copy(module, where / "mirelo" / "core")
    return where


def baseline_tree(ref: str, folder: Path) -> Path:
    source = folder / "baseline-src"
    source.mkdir()
    archive = subprocess.run(["git", "-C", str(ROOT), "archive", ref], check=True, capture_output=True).stdout
    subprocess.run(["tar", "-x", "-C", str(source)], input=archive, check=True)
    build = folder / "baseline-build"
    cmake_build(source, build, "Release")
    return stage(source, build, folder / "baseline")


# ---- callgrind ------------------------------------------------------------------------------

def count(tree: Path, case: Path, interface: str, out: Path, script: Path) -> Path:
    env = dict(os.environ, PYTHONPATH=str(tree), PYTHONHASHSEED="0")
    entry = ENTRY[interface]
    subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", f"--toggle-collect={entry}",
                    f"--dump-after={entry}", "--compress-strings=no", sys.executable, str(script), str(case),
                    interface], check=True, capture_output=True, env=env)
    return Path(f"{out}.2")  # the second call's dump


def total(dump: Path) -> int:
    for line in dump.read_text().splitlines():
        if line.startswith("summary:"):
            return int(line.split()[1])
    raise RuntimeError(f"no total in {dump}")


def self_and_calls(dump: Path):
    """Self cost per function and the inclusive cost of calls, caller -> callee."""
    own: dict = {}
    calls: dict = {}
    fn = callee = None
    in_call = False
    for line in dump.read_text().splitlines():
        if line.startswith("fn="):
            fn = line[3:]
        elif line.startswith("cfn="):
            callee = line[4:]
        elif line.startswith("calls="):
            in_call = True
        elif line[:1].isdigit() or line[:1] in "+-*":
            parts = line.split()
            if len(parts) < 2:
                continue
            if in_call:
                calls[(fn, callee)] = calls.get((fn, callee), 0) + int(parts[1])
                in_call = False
            else:
                own[fn] = own.get(fn, 0) + int(parts[1])
    return own, calls


def inclusive(part: str, own: dict, calls: dict) -> int:
    names = {f for f in own if part in f} | {f for pair in calls for f in pair if part in f}
    return sum(own.get(f, 0) for f in names) + sum(v for (a, b), v in calls.items() if a in names and b not in names)


def parts(dump: Path, units: dict) -> list:
    """(part, instructions, units, per unit) of one Market.run."""
    own, calls = self_and_calls(dump)
    kernel = inclusive("mirelo::core::run_native(", own, calls)
    profiles = inclusive("NativeHost::record_trade(", own, calls)
    rebalance = inclusive("::rebalance(long)", own, calls)
    in_rebalance = sum(v for (a, b), v in calls.items() if "::rebalance(long)" in a and "record_trade(" in b)
    rebalances = rebalance - in_rebalance
    loop = kernel - profiles - rebalances
    outside = total(dump) - kernel
    return [("bar loop: mark-to-market, exit rules, the bar's value", loop, units["holding-bars"], "holding-bar"),
            ("excursion profiles", profiles, units["trade-bars"], "trade-bar"),
            ("rebalances", rebalances, units["rebalances"] * units["columns"], "column"),
            ("outside the kernel: arguments, results", outside, None, None)]


def units_of(name: str) -> dict:
    """The units of work of one Market.run of a workload."""
    from mirelo.core import batch
    build, rules = cases()[name]
    d = build()
    market = batch.Market(*(d[k] for k in MARKET), d["delisting_bars"])
    result = market.run(**{k: d[k] for k in SIGNAL}, **rules)
    t = result.trades
    n = len(d["price_index"])
    exit_bar = np.where(t["exit_bar"] >= 0, t["exit_bar"], n - 1)
    window = rules.get("excursion_window", 0)
    analysed = np.minimum(np.maximum(exit_bar, t["entry_bar"] + window), n - 1) - t["entry_bar"]
    return {"holding-bars": int((exit_bar - t["entry_bar"]).sum() + (t["exit_bar"] < 0).sum()),
            "trade-bars": int(analysed.sum()), "trades": len(t),
            "rebalances": len(np.unique(t["entry_bar"])), "columns": d["pos_values"].shape[1]}


def callgrind_report(folder: Path, show_parts: bool) -> None:
    build = ROOT / "build" / "relwithdebinfo"
    print("building RelWithDebInfo modules in", build.relative_to(ROOT))
    cmake_build(ROOT, build, "RelWithDebInfo")
    tree = stage(ROOT, build, folder / "relwithdebinfo")
    script = folder / "callgrind_child.py"
    script.write_text(CALLGRIND_CHILD)
    print(f"\n{'workload':<10} {'interface':<11} {'instructions':>14} {'budget':>8}")
    dumps = {}
    for name in WORKLOADS:
        for interface in ("Market.run", "backtest_"):
            dump = count(tree, folder / "cases" / name, interface, folder / f"cg.{name}.{interface}", script)
            dumps[name, interface] = dump
            n = total(dump)
            budget = BUDGET.get((interface, name))
            verdict = "" if budget is None else ("PASS" if n <= budget else "MISS")
            shown = "" if budget is None else f"{budget / 1e6:.0f} M"
            print(f"{name:<10} {interface:<11} {n / 1e6:>12.2f} M {shown:>8} {verdict}")
    if show_parts:
        units = units_of("W1")
        print(f"\nW1, Market.run, by source ({units['trades']} trades, {units['rebalances']} rebalances):")
        print(f"{'part':<54} {'instructions':>12} {'units':>10} {'per unit':>9}")
        for part, n, count_, unit in parts(dumps["W1", "Market.run"], units):
            if count_ is None:
                print(f"{part:<54} {n / 1e6:>10.2f} M")
            else:
                print(f"{part:<54} {n / 1e6:>10.2f} M {count_:>10,} {n / count_:>9.1f}  per {unit}")


# ---- wall time ------------------------------------------------------------------------------

def interleaved(calls: dict, repeat: int) -> dict:
    for call in calls.values():
        call()
    times: dict = {name: [] for name in calls}
    for _ in range(repeat):
        for name, call in calls.items():
            t0 = time.perf_counter()
            call()
            times[name].append(time.perf_counter() - t0)
    return {name: statistics.median(t) for name, t in times.items()}


def wall_times(repeat: int) -> None:
    from mirelo.core import batch, tradesim
    print(f"\n{'workload':<10} {'Market.run ms':>14} {'backtest_ ms':>13}   (median of {repeat})")
    built = cases()
    for name in WORKLOADS:
        build, rules = built[name]
        d = build()
        market = batch.Market(*(d[k] for k in MARKET), d["delisting_bars"])
        job = dict({k: d[k] for k in SIGNAL}, **rules)
        t = interleaved({"Market.run": lambda: market.run(**job),
                         "backtest_": lambda: tradesim.backtest_(**d, **rules)}, repeat)
        print(f"{name:<10} {1000 * t['Market.run']:>14.1f} {1000 * t['backtest_']:>13.1f}")


def baseline_ratios(ref: str, folder: Path, rounds: int, calls_per_round: int) -> None:
    print(f"\nbuilding {ref} (Release) for the baseline")
    tree = baseline_tree(ref, folder)
    script = folder / "timing_child.py"
    script.write_text(TIMING_CHILD)

    def timed(interface: str, name: str, path: str | None) -> float:
        env = dict(os.environ, PYTHONPATH=path) if path else dict(os.environ)
        out = subprocess.run([sys.executable, str(script), str(folder / "cases" / name), interface,
                              str(calls_per_round)], check=True, capture_output=True, text=True, env=env,
                             cwd=str(folder)).stdout
        return statistics.median(json.loads(out))

    print(f"{'workload':<10} {'interface':<11} {'this ms':>9} {ref + ' ms':>14} {'ratio':>7}")
    for name in WORKLOADS:
        for interface in ("Market.run", "backtest_"):
            this, base = [], []
            for _ in range(rounds):  # taking turns, so that a busy machine slows both alike
                this.append(timed(interface, name, None))
                base.append(timed(interface, name, str(tree)))
            a, b = statistics.median(this), statistics.median(base)
            print(f"{name:<10} {interface:<11} {1000 * a:>9.1f} {1000 * b:>14.1f} {a / b:>7.2f}")


def scaling(jobs: int, repeat: int) -> None:
    """run_many's throughput on 2 threads against 1, and the process's CPU time per wall
    second on 2 threads (near 2 when both threads found a core: a lower figure means
    the machine was busy)."""
    from mirelo.core import batch
    build, rules = cases()["W1"]
    d = build()
    market = batch.Market(*(d[k] for k in MARKET), d["delisting_bars"])
    many = [dict({k: d[k] for k in SIGNAL}, **rules)] * jobs
    cpu: list = []

    def two_threads():
        c0, t0 = time.process_time(), time.perf_counter()
        market.run_many(many, threads=2)
        cpu.append((time.process_time() - c0) / (time.perf_counter() - t0))

    t = interleaved({"1 thread": lambda: market.run_many(many, threads=1), "2 threads": two_threads}, repeat)
    print(f"\nrun_many, {jobs} W1 jobs: 1 thread {t['1 thread']:.2f} s, 2 threads {t['2 threads']:.2f} s"
          f"  ->  {t['1 thread'] / t['2 threads']:.2f}x; CPU seconds per second on 2 threads "
          f"{statistics.median(cpu):.2f} (load average {os.getloadavg()[0]:.2f})")


def main(argv: list[str] | None = None) -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--callgrind", action="store_true")
    p.add_argument("--parts", action="store_true", help="with --callgrind: W1's Market.run by source")
    p.add_argument("--baseline", metavar="REF", help="commit to compare wall time with (e.g. main)")
    p.add_argument("--repeat", type=int, default=9)
    p.add_argument("--rounds", type=int, default=5)
    p.add_argument("--jobs", type=int, default=64)
    args = p.parse_args(argv)

    print(f"kernel benchmark: Python {sys.version.split()[0]}, NumPy {np.__version__}, {os.cpu_count()} cores, "
          f"load average {os.getloadavg()[0]:.2f}")
    wall_times(args.repeat)
    scaling(args.jobs, max(2, args.repeat // 3))
    if args.callgrind or args.baseline:
        with tempfile.TemporaryDirectory() as tmp:
            folder = Path(tmp)
            save_cases(folder / "cases", WORKLOADS)
            if args.callgrind:
                callgrind_report(folder, args.parts)
            if args.baseline:
                baseline_ratios(args.baseline, folder, args.rounds, max(3, args.repeat // 2))
    return 0


if __name__ == "__main__":
    sys.exit(main())
