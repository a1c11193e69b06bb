"""``mirelo.sweep``: a grid of backtests on one market."""

from __future__ import annotations

import contextlib
import os
from collections.abc import Mapping
from pathlib import Path

import numpy as np

from mirelo._inputs import RULE_DEFAULTS
from mirelo._stats import check_periods_per_year

from .cluster import require_ray
from .collect import Collector
from .fingerprint import is_weights_entry, recorded_orders, sweep_fingerprint
from .ray_engine import run_ray
from .result import SweepResult
from .setup import SweepSetup
from .store import Store, recorded_fingerprint
from .threads import run_threads
from .trials import expand_grid

ENGINES = ("threads", "ray")
PROGRESS_METRIC = "sharpe"


def sweep(close, weights, grid, *, open=None, high=None, low=None, trade_at="close",
          rebalance=None, delisted=None, engine="threads", workers=None, progress=True,
          store=None, keep_returns=False, ray_address=None, periods_per_year=None,
          holdings=False, **fixed_rules) -> SweepResult:
    """Runs one backtest per trial of `grid` and gathers their statistics.

    grid: a mapping rule -> list of values (the trials are the product of the
        lists) or a list of mappings rule -> value (one trial each).
    weights: one frame, or a mapping name -> frame, which is then one more
        axis of the grid (the outermost; its table column is "weights").
    The market arguments (close, open, high, low, trade_at, rebalance,
    delisted) are those of ``mirelo.backtest``; `fixed_rules` are rules that
    every trial shares.

    engine: "threads" (default) runs the trials on one market with
        ``Market.run_many`` on `workers` threads (default: all cores); "ray"
        runs chunks of trials as Ray tasks (`workers` at once, default: the
        cluster's CPUs) on the cluster at `ray_address`, at Ray's RAY_ADDRESS
        or on a local instance; it needs the cluster extra.
    progress: a progress bar of finished trials with the running best Sharpe
        ratio; False prints nothing.
    store: a directory path; finished trials are appended to it chunk by
        chunk, and a sweep started again with the same store skips the trials
        it already has (see ``mirelo._sweep.trials`` for how trials are keyed).
        The store records a fingerprint of the market, the weights and the
        settings; a sweep whose fingerprint differs raises ValueError before it
        runs anything.  One sweep at a time writes a store.
    keep_returns: keep each trial's returns (float32), for ``pbo()``.
    periods_per_year: bars a year for the trials' annualised statistics; None
        infers them from the spacing of the close index, as ``Result.stats()``.
    holdings: record every trial's holdings (off by default: it costs each run
        time), so that ``run(i)`` has the holdings views.  The statistics are the
        same either way: turnover, exposure and costs come from the engine's totals
        of every bar, as in ``mirelo.backtest``.

    A trial that fails (in the engine, its rules or its statistics) is a row
    with status "error"; the others go on.  Ctrl-C stops the sweep, keeps
    (and stores) the trials that finished, and raises KeyboardInterrupt.
    """
    workers = check_engine(engine, workers, ray_address)
    per_year = check_periods_per_year(periods_per_year)
    if not isinstance(holdings, (bool, np.bool_)):
        raise TypeError(f"holdings must be True or False, not {type(holdings).__name__}")
    setup, weights_names = SweepSetup.prepare(
        close, weights, open=open, high=high, low=low, trade_at=trade_at,
        rebalance=rebalance, delisted=delisted)
    setup.periods_per_year = per_year
    setup.holdings = bool(holdings)
    trials, grid_columns = expand_grid(grid, weights_names, fixed_rules, RULE_DEFAULTS)
    with open_store(store, setup, trade_at, fixed_rules) as opened:
        collector = Collector(trials, opened, keep_returns, bool(progress), PROGRESS_METRIC)
        try:
            run_pending(engine, setup, collector, workers=workers, keep_returns=keep_returns,
                        ray_address=ray_address)
        finally:
            collector.close()
    index = next(iter(setup.inputs.values())).index
    return SweepResult(setup, trials, grid_columns, collector.table(grid_columns),
                       collector.returns(index) if keep_returns else None)


def check_engine(engine: str, workers, ray_address: str | None) -> int | None:
    """Checks the engine options; returns `workers` as an int (or None)."""
    if engine not in ENGINES:
        raise ValueError(f"engine must be one of {', '.join(map(repr, ENGINES))}, "
                         f"got {engine!r}")
    if engine == "ray":
        require_ray()
    elif ray_address is not None:
        raise ValueError('ray_address is used by engine="ray" only')
    return _worker_count(workers)


def run_pending(engine: str, setup: SweepSetup, collector: Collector, *, workers: int | None,
                keep_returns: bool, ray_address: str | None) -> None:
    """Runs the trials that `collector` does not have yet on `engine`."""
    todo = collector.pending()
    if todo and engine == "threads":
        run_threads(setup, todo, collector, workers=workers, keep_returns=keep_returns)
    elif todo:
        run_ray(setup, todo, collector, workers=workers, keep_returns=keep_returns,
                address=ray_address)


def _worker_count(workers) -> int | None:
    """None, or a positive integer (a NumPy integer too) as an int."""
    if workers is None:
        return None
    if (isinstance(workers, (int, np.integer)) and not isinstance(workers, bool)
            and workers >= 1):
        return int(workers)
    raise ValueError(f"workers must be a positive int or None, got {workers!r}")


def open_store(store, setup: SweepSetup, trade_at: str, fixed_rules: dict,
               more: Mapping[str, str] | None = None):
    """The store, checked against this sweep's fingerprint (and the entries `more`,
    which may be absent from a store, as a weights frame's) and held for it (or no
    store)."""
    if store is None:
        return contextlib.nullcontext()
    path = Path(os.fspath(store))
    # Digests in the orders the store recorded them, so a layout change is no change.
    orders = recorded_orders(recorded_fingerprint(path)) if path.is_dir() else {}
    fingerprint = sweep_fingerprint(setup, trade_at=trade_at, fixed_rules=fixed_rules,
                                    orders=orders)
    extra = dict(more or {})
    return Store(path, {**fingerprint, **extra},
                 may_be_absent=lambda name: name in extra or is_weights_entry(name))
