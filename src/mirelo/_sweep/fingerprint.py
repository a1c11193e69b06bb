"""A sweep's fingerprint: everything a stored row depends on besides its trial's
rules and weights name, so that a store is never resumed under other settings.

The fingerprint is a mapping of named entries to short texts: values written
out (trade_at, the fixed rules, periods per year, the holdings record, the row
format, the market's shape) and the 128-bit xxh3 digests of the engine's arrays (dates, stock names,
prices, delisting bars, and for each weights frame its values, dates, stocks
and rebalance dates).  Digests cover the arrays the engine gets, after alignment,
so two spellings of one market agree (open, high or low frames in another
column order, prices as int or float).

An array is hashed in the order its memory holds it, so that hashing reads
memory once at full speed: a C-ordered matrix row by row, an F-ordered one (the
usual view of a pandas block) column by column.  The digest is tagged with that
order ("C:" or "F:").  A digest is compared only with one of the same order:
when the store recorded the other order, the array is hashed in that order
instead (``recorded_orders``), copied a band at a time, never whole, so the same
values in another layout still agree.  Strided views are read in bands too.
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


def array_digest(values: Any, order: str | None = None) -> str:
    """xxh3-128 of an array's dtype, shape and values, read in `order` ("C": row-major,
    "F": column-major; None: the order of its memory), as "<order>:<hex>"."""
    values = np.asarray(values)
    if order is None:
        order = "F" if values.ndim > 1 and values.flags.f_contiguous \
            and not values.flags.c_contiguous else "C"
    digest = xxhash.xxh3_128(f"{values.dtype.str}{values.shape}".encode())
    # Column-major order of an array is the row-major order of its transpose.
    ordered = values.T if order == "F" else values
    if ordered.flags.c_contiguous:
        digest.update(memoryview(ordered).cast("B"))
    else:
        for start in range(0, len(ordered), _ROWS_PER_BAND):
            band = np.ascontiguousarray(ordered[start:start + _ROWS_PER_BAND])
            digest.update(memoryview(band).cast("B"))
    return f"{order}:{digest.hexdigest()}"


def recorded_orders(recorded: Mapping[str, str] | None) -> dict[str, str]:
    """The order of each digest a store recorded ("C" or "F"), by entry name."""
    return {name: text[0] for name, text in (recorded or {}).items()
            if len(text) > 2 and text[1] == ":" and text[0] in "CF"}


def names_digest(names: Any) -> str:
    return xxhash.xxh3_128(json.dumps([str(n) for n in names]).encode()).hexdigest()


def sweep_fingerprint(setup: SweepSetup, *, trade_at: str, fixed_rules: Mapping[str, Any],
                      orders: Mapping[str, str] | None = None) -> dict[str, str]:
    """The fingerprint of a sweep: its market (one for all weights frames), each
    weights frame, trade_at, the fixed rules, the periods per year of its
    statistics, whether its runs record their holdings and the format of its rows.  `orders` gives the order to hash an
    entry's array in (that of the store's record, see ``recorded_orders``)."""
    orders = orders or {}
    first = next(iter(setup.inputs.values()))
    market = first.market
    # By array and order: a price matrix that stands for another is read once.
    digests: dict[tuple[int, str | None], str] = {}

    def digest(entry: str, array: Any) -> str:
        key = (id(array), orders.get(entry))
        if key not in digests:
            digests[key] = array_digest(array, orders.get(entry))
        return digests[key]

    def prices(name: str, entry: str) -> str:
        return digest(entry, getattr(market, name))

    bars, stocks = market.close_values.shape
    delisting = market.delisting_bars
    entries = {
        "row format": str(ROW_FORMAT),
        "trade_at": trade_at,
        "fixed rules": ";".join(canonical_rules(fixed_rules)) or "none",
        "periods per year": ("inferred" if setup.periods_per_year is None
                             else repr(float(setup.periods_per_year))),
        "holdings record": "on" if setup.holdings else "off",
        "market shape": f"{bars} bars x {stocks} stocks",
        "price frames": "close, open, high, low" if first.has_ohlc else "close",
        "market dates": array_digest(market.price_index),
        "market stocks": names_digest(market.price_columns),
        "close prices": prices("close_values", "close prices"),
        "open prices": prices("open_values", "open prices"),
        "high prices": prices("high_values", "high prices"),
        "low prices": prices("low_values", "low prices"),
        "delisting bars": "none" if delisting is None else array_digest(delisting),
    }
    for name, inputs in setup.inputs.items():
        label = WEIGHTS if name is None else f"{WEIGHTS}[{name!r}]"
        targets = inputs.targets
        entries[f"{label} values"] = digest(f"{label} values", targets.pos_values)
        entries[f"{label} dates"] = array_digest(targets.pos_index)
        entries[f"{label} stocks"] = names_digest(targets.pos_columns)
        entries[f"{label} rebalance dates"] = array_digest(targets.resample)
    return entries


def is_weights_entry(name: str) -> bool:
    """Entries of one weights frame: a sweep over other frames of a mapping may
    share the store, so these may be missing on either side."""
    return name.startswith(WEIGHTS)
