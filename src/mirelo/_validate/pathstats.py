"""The statistics of an out-of-sample path, with the labels of ``Result.stats()``.

Return, risk and drawdown figures come from empyrical-reloaded on the path's
covered returns, by the same function as a backtest's.  The others come from the runs that made
the path's pieces, restricted to the pieces' bars:

- trades: those entered on a covered bar of a piece (a position carried into
  a slice from before its window is not a trade of the path);
- exposure: the share of covered bars ending with a position held;
- turnover and costs: from the engine's totals of the covered bars (half the
  money traded, and the fees and tax, over the run's value before each bar),
  per year of them.
"""

from __future__ import annotations

from collections.abc import Callable
from types import SimpleNamespace
from typing import Any

import numpy as np
import pandas as pd

from mirelo._result import Result
from mirelo._stats import STAT_LABELS, drawdown_dates, return_figures, trade_figures

from .paths import Piece, covered_returns


def _trading(pieces: list[Piece], result_of: Callable[[Piece], Result]) -> dict[str, Any]:
    """Trade figures, exposure, one-way turnover and costs of the pieces' covered bars."""
    records, profiles = [], []
    held = bars = 0
    turnover = costs = 0.0
    for piece in pieces:
        if piece.run is None:
            continue
        result = result_of(piece)
        local = piece.bars[piece.covered] - piece.offset
        trades = result.run_result.trades
        entered = np.isin(trades["entry_bar"], local)
        records.append(trades[entered])
        profiles.append(result.run_result.profiles[entered][:, -6:])
        totals = result.run_result
        held += int(np.count_nonzero(totals.holdings_count[local] > 0))
        bars += len(local)
        before = np.concatenate(([1.0], totals.value[:-1]))[local]
        turnover += float((totals.traded[local] / before).sum()) / 2.0
        costs += float((totals.costs[local] / before).sum())
    if not records:
        return {}
    run = SimpleNamespace(trades=np.concatenate(records), profiles=np.concatenate(profiles))
    return {"exposure": held / bars if bars else np.nan, "turnover": turnover, "costs": costs,
            **trade_figures(run)}


def path_stats(pieces: list[Piece], calendar: pd.DatetimeIndex, per_year: float,
               result_of: Callable[[Piece], Result]) -> pd.Series:
    bars, returns = covered_returns(pieces)
    dates = calendar[bars]
    value = pd.Series(np.cumprod(1.0 + returns), index=dates)
    peak, trough, recovery = drawdown_dates(value)
    years = len(returns) / per_year
    trading = _trading(pieces, result_of)
    figures: dict[str, Any] = {
        "start": dates[0] if len(dates) else pd.NaT,
        "end": dates[-1] if len(dates) else pd.NaT,
        "periods_per_year": per_year,
        **return_figures(returns, per_year),
        "max_drawdown_peak": peak,
        "max_drawdown_trough": trough,
        "max_drawdown_recovery": recovery,
        **trading,
    }
    for name in ("turnover", "costs"):
        if name in trading:
            figures[name] = trading[name] / years if years > 0 else np.nan
    plain = [figures.get(k, np.nan) for k in STAT_LABELS]
    return pd.Series([v.item() if isinstance(v, np.generic) else v for v in plain],
                     index=pd.Index(STAT_LABELS), dtype=object)
