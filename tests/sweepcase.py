"""The shared case of the sweep tests: a small seeded market, monthly weights, a
grid in which some trials fail, and one way to run a sweep on it."""

from __future__ import annotations

import numpy as np
import pandas as pd

import mirelo
from mirelo._sweep import setup as sweep_setup

# position_limit < 0 is refused by the engine: those three trials fail.
GRID = {"stop_loss": [0.05, 0.1, 1.0], "position_limit": [-1.0, 0.3, 1.0]}
FAILING = 3


def market(seed=5, bars=180, stocks=6):
    rng = np.random.default_rng(seed)
    index = pd.bdate_range("2021-01-04", periods=bars)
    columns = [f"S{i}" for i in range(stocks)]
    close = pd.DataFrame(40 * np.exp(np.cumsum(rng.normal(3e-4, 0.02, (bars, stocks)), axis=0)),
                         index=index, columns=columns)
    month_ends = index[::21]
    weights = pd.DataFrame(rng.random((len(month_ends), stocks)), index=month_ends,
                           columns=columns)
    return close, weights.div(weights.sum(axis=1), axis=0)


CLOSE, WEIGHTS = market()
BUILD_MARKET = sweep_setup.build_market


def run(grid=GRID, weights=WEIGHTS, **options):
    options.setdefault("progress", False)
    return mirelo.sweep(CLOSE, weights, grid, **options)


def outcome(result):
    """The table without the timings, which differ from run to run."""
    return result.table.drop(columns="elapsed")


class CountingMarket:
    """A market that counts the jobs it runs, and can run a hook before a chunk."""

    def __init__(self, market, before_chunk=None):
        self.market, self.before_chunk, self.jobs, self.chunks = market, before_chunk, 0, 0

    def run(self, *args, **kwargs):
        return self.market.run(*args, **kwargs)

    def run_many(self, jobs, **kwargs):
        jobs = list(jobs)
        self.chunks += 1
        if self.before_chunk is not None:
            self.before_chunk(self.chunks)
        self.jobs += len(jobs)
        return self.market.run_many(jobs, **kwargs)


def count_runs(monkeypatch, before_chunk=None):
    """Makes every market of the following sweeps a CountingMarket; returns the list of them."""
    made = []

    def counting(args):
        made.append(CountingMarket(BUILD_MARKET(args), before_chunk))
        return made[-1]

    monkeypatch.setattr(sweep_setup, "build_market", counting)
    return made
