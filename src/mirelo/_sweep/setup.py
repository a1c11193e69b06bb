"""What every process of a sweep works from: the prepared inputs of each weights
frame and the engine's markets, built lazily and once per process.

A setup is what an engine ships to its workers.  It pickles without its markets
(a market is rebuilt around the same arrays where it is needed, which copies
nothing), and all weights frames share one set of market arrays, so that the
market goes into a pickle, or Ray's object store, once.
"""

from __future__ import annotations

import dataclasses
from collections.abc import Mapping
from typing import Any

import numpy as np

from mirelo._inputs import MarketArrays, prepare_inputs
from mirelo._result import Result
from mirelo.core import batch

# The market arrays that do not depend on the weights.
SHARED_MARKET_ARRAYS = ("price_values", "close_values", "high_values", "low_values",
                        "open_values", "price_index", "price_columns")


def build_market(market: MarketArrays) -> batch.Market:
    return market.build()


def _same_array(a: Any, b: Any) -> bool:
    if a is b:
        return True
    a, b = np.asarray(a), np.asarray(b)
    if a.shape != b.shape or a.dtype != b.dtype:
        return False
    if (a.__array_interface__["data"][0] == b.__array_interface__["data"][0]
            and a.strides == b.strides):
        return True
    return bool(np.array_equal(a, b, equal_nan=a.dtype.kind == "f"))


def _share_market_arrays(inputs: dict) -> None:
    """Points every weights frame's market arrays at the first frame's where they hold the
    same values."""
    first = next(iter(inputs.values())).market
    for name, prepared in inputs.items():
        shared = {array: getattr(first, array) for array in SHARED_MARKET_ARRAYS
                  if _same_array(getattr(prepared.market, array), getattr(first, array))}
        inputs[name] = dataclasses.replace(
            prepared, market=dataclasses.replace(prepared.market, **shared))


def _same_delisting(a: Any, b: Any) -> bool:
    return (a is None and b is None) or (
        a is not None and b is not None and np.array_equal(a, b))


class SweepSetup:
    def __init__(self, inputs: dict):
        self.inputs = inputs  # weights name (None for a single frame) -> prepared inputs
        self.periods_per_year: float | None = None  # None: inferred from the close index
        self.holdings = False  # record every run's holdings
        self._markets: dict = {}

    @classmethod
    def prepare(cls, close, weights, **options) -> tuple[SweepSetup, list[str] | None]:
        """The setup and the weights names (None when `weights` is one frame)."""
        if not isinstance(weights, Mapping):
            return cls({None: prepare_inputs(close, weights, **options)}), None
        names = [str(name) for name in weights]
        if not names:
            raise ValueError("weights: the mapping has no frames")
        if len(set(names)) < len(names):
            raise ValueError("weights: two names of the mapping read the same as text")
        inputs = {}
        for name, frame in zip(names, weights.values()):
            try:
                inputs[name] = prepare_inputs(close, frame, **options)
            except Exception as exc:
                exc.add_note(f"(in weights[{name!r}])")
                raise
        _share_market_arrays(inputs)
        return cls(inputs), names

    def __getstate__(self) -> dict:
        return {**self.__dict__, "_markets": {}}

    def market(self, weights: str | None) -> batch.Market:
        if weights not in self._markets:
            arrays = self.inputs[weights].market
            for name, market in self._markets.items():
                other = self.inputs[name].market
                if (all(getattr(arrays, a) is getattr(other, a) for a in SHARED_MARKET_ARRAYS)
                        and _same_delisting(other.delisting_bars, arrays.delisting_bars)):
                    self._markets[weights] = market
                    break
            else:
                self._markets[weights] = build_market(arrays)
        return self._markets[weights]

    def job(self, trial) -> dict:
        inputs = self.inputs[trial.weights]
        return {**inputs.targets.arguments(), **inputs.check_rules(trial.rules),
                "record_holdings": self.holdings}

    def run_chunk(self, chunk: list, threads: int | None) -> list:
        """Runs trials of one weights frame; a run result or an exception per trial."""
        outcomes: list = [None] * len(chunk)
        jobs, slots = [], []
        for slot, trial in enumerate(chunk):
            try:
                jobs.append(self.job(trial))
                slots.append(slot)
            except Exception as exc:
                outcomes[slot] = exc
        if jobs:
            market = self.market(chunk[0].weights)
            for slot, outcome in zip(slots, market.run_many(jobs, threads=threads,
                                                            errors="return")):
                outcomes[slot] = outcome
        return outcomes

    def result(self, trial, run_result) -> Result:
        inputs = self.inputs[trial.weights]
        return Result(inputs, run_result, inputs.check_rules(trial.rules),
                      self.periods_per_year)

    def run_one(self, trial) -> Result:
        return self.result(trial, self.market(trial.weights).run(**self.job(trial)))
