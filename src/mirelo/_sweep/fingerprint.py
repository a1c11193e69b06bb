"""A sweep's fingerprint: everything a stored row depends on besides its trial's
rules and weights name, so that a store is never resumed under other settings.

The fingerprint is a mapping of named entries to short texts: values written
out (trade_at, the fixed rules, periods per year, the row format, the market's
shape) and the 128-bit xxh3 digests of the engine's arrays (dates, stock names,
prices, delisting bars, and for each weights frame its values, dates, stocks
and rebalance dates).  Digests cover the arrays the engine gets, after alignment,
so two spellings of one market agree (open, high or low frames in another
column order, prices as int or float).

An array is hashed in row-major order: a C-ordered matrix is read in place;
any other layout (an F-ordered view of a pandas block, a strided view) is
copied a band of rows at a time, never whole.  A band is a few MB at most, and
its copy reads every column's run of values in one go, which keeps it close to
the speed of memory; xxh3 itself reads several GB/s.
"""

from __future__ import annotations

import json
from collections.abc import Mapping
from typing import Any

import numpy as np
import xxhash

from .rows import ROW_FORMAT
from .setup import SweepSetup
from .trials import canonical_rules

WEIGHTS = "weights"
_ROWS_PER_BAND = 128


def array_digest(values: Any) -> str:
    """xxh3-128 of an array's dtype, shape and values (in row-major order)."""
    values = np.asarray(values)
    digest = xxhash.xxh3_128(f"{values.dtype.str}{values.shape}".encode())
    if values.flags.c_contiguous:
        digest.update(memoryview(values).cast("B"))
    else:
        for start in range(0, len(values), _ROWS_PER_BAND):
            band = np.ascontiguousarray(values[start:start + _ROWS_PER_BAND])
            digest.update(memoryview(band).cast("B"))
    return digest.hexdigest()


def names_digest(names: Any) -> str:
    return xxhash.xxh3_128(json.dumps([str(n) for n in names]).encode()).hexdigest()


def sweep_fingerprint(setup: SweepSetup, *, trade_at: str,
                      fixed_rules: Mapping[str, Any]) -> dict[str, str]:
    """The fingerprint of a sweep: its market (one for all weights frames), each
    weights frame, trade_at, the fixed rules, the periods per year of its
    statistics and the format of its rows."""
    first = next(iter(setup.inputs.values()))
    market = first.market_args
    digests: dict[int, str] = {}  # by id: a price matrix that stands for another is read once

    def prices(name: str) -> str:
        array = market[name]
        if id(array) not in digests:
            digests[id(array)] = array_digest(array)
        return digests[id(array)]

    bars, stocks = market["close_values"].shape
    delisting = market["delisting_bars"]
    entries = {
        "row format": str(ROW_FORMAT),
        "trade_at": trade_at,
        "fixed rules": ";".join(canonical_rules(fixed_rules)) or "none",
        "periods per year": ("inferred" if setup.periods_per_year is None
                             else repr(float(setup.periods_per_year))),
        "market shape": f"{bars} bars x {stocks} stocks",
        "price frames": "close, open, high, low" if first.has_ohlc else "close",
        "market dates": array_digest(market["price_index"]),
        "market stocks": names_digest(market["price_columns"]),
        "close prices": prices("close_values"),
        "open prices": prices("open_values"),
        "high prices": prices("high_values"),
        "low prices": prices("low_values"),
        "delisting bars": "none" if delisting is None else array_digest(delisting),
    }
    for name, inputs in setup.inputs.items():
        label = WEIGHTS if name is None else f"{WEIGHTS}[{name!r}]"
        run = inputs.run_args
        entries[f"{label} values"] = array_digest(run["pos_values"])
        entries[f"{label} dates"] = array_digest(run["pos_index"])
        entries[f"{label} stocks"] = names_digest(run["pos_columns"])
        entries[f"{label} rebalance dates"] = array_digest(run["resample"])
    return entries


def is_weights_entry(name: str) -> bool:
    """Entries of one weights frame: a sweep over other frames of a mapping may
    share the store, so these may be missing on either side."""
    return name.startswith(WEIGHTS)
