"""What the report is built from: a result's figures, passed in (the report does not
reach back into the result)."""

from __future__ import annotations

from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import pandas as pd

if TYPE_CHECKING:
    from mirelo._benchmark import Benchmark


@dataclass(frozen=True)
class ReportData:
    title: str
    stats: pd.Series  # Result.stats(), with the figures against the benchmark when given
    value: pd.Series  # value path from the start bar on
    returns: pd.Series  # bar returns after the start bar
    trades: pd.DataFrame  # Result.trades
    stocks: int  # stocks in the market
    rules: dict[str, Any]  # the run's rule keywords
    benchmark: Benchmark | None = None
    # From the engine's holdings record (None when the run has none): Result.exposure from
    # the start bar on, and each stock's (and, given a group map, each group's) arithmetic
    # contribution summed over the bars after the start bar, then "costs".
    exposure: pd.DataFrame | None = None
    contributions: pd.Series | None = None
    group_contributions: pd.Series | None = None
