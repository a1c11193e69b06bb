"""``mirelo.sweep``: a grid of backtests on one market."""

from __future__ import annotations

import os

import numpy as np

from mirelo._inputs import RULE_DEFAULTS
from mirelo._stats import check_periods_per_year

from .collect import Collector
from .ray_engine import require_ray, run_ray
from .result import SweepResult
from .setup import SweepSetup
from .store import Store
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
    keep_returns: keep each trial's returns (float32), for ``pbo()``.
    periods_per_year: bars a year for the trials' annualised statistics; None
        infers them from the spacing of the close index, as ``Result.stats()``.
    holdings: record every trial's holdings (off by default: it costs each run
        time), so that its turnover, exposure and costs are the engine's exact
        figures, as in ``mirelo.backtest``, and ``run(i)`` has the holdings views;
        without it they are estimated from the target weights and the trades, and
        costs are NaN.

    A trial that fails (in the engine, its rules or its statistics) is a row
    with status "error"; the others go on.  Ctrl-C stops the sweep, keeps
    (and stores) the trials that finished, and raises KeyboardInterrupt.
    """
    if engine not in ENGINES:
        raise ValueError(f"engine must be one of {', '.join(map(repr, ENGINES))}, "
                         f"got {engine!r}")
    if engine == "ray":
        require_ray()
    elif ray_address is not None:
        raise ValueError('ray_address is used by engine="ray" only')
    if workers is not None and (isinstance(workers, bool) or not isinstance(workers, int)
                                or workers < 1):
        raise ValueError(f"workers must be a positive int or None, got {workers!r}")
    per_year = check_periods_per_year(periods_per_year)
    if not isinstance(holdings, (bool, np.bool_)):
        raise TypeError(f"holdings must be True or False, not {type(holdings).__name__}")
    setup, weights_names = SweepSetup.prepare(
        close, weights, open=open, high=high, low=low, trade_at=trade_at,
        rebalance=rebalance, delisted=delisted)
    setup.periods_per_year = per_year
    setup.holdings = bool(holdings)
    trials, grid_columns = expand_grid(grid, weights_names, fixed_rules, RULE_DEFAULTS)
    collector = Collector(trials, None if store is None else Store(os.fspath(store)),
                          keep_returns, bool(progress), PROGRESS_METRIC)
    try:
        todo = collector.pending()
        if todo and engine == "threads":
            run_threads(setup, todo, collector, workers=workers, keep_returns=keep_returns)
        elif todo:
            run_ray(setup, todo, collector, workers=workers, keep_returns=keep_returns,
                    address=ray_address)
    finally:
        collector.close()
    index = next(iter(setup.inputs.values())).index
    return SweepResult(setup, trials, grid_columns, collector.table(grid_columns),
                       collector.returns(index) if keep_returns else None)
