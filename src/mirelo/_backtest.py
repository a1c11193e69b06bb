"""``mirelo.backtest``: date-indexed frames in, a `Result` out."""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from typing import Any

import numpy as np
import pandas as pd

from mirelo._inputs import prepare_inputs, rules_doc
from mirelo._result import Result
from mirelo._stats import check_periods_per_year


def backtest(close: pd.DataFrame, weights: pd.DataFrame, *,
             open: pd.DataFrame | None = None, high: pd.DataFrame | None = None,
             low: pd.DataFrame | None = None, trade_at: str = "close",
             rebalance: str | Sequence[Any] | pd.DatetimeIndex | None = None,
             delisted: Mapping[Any, Any] | pd.Series | None = None,
             periods_per_year: float | None = None, holdings: bool = True,
             **rules: Any) -> Result:
    """Backtests target `weights` on the prices of `close` and returns a `Result`.

    Frames have one row per date (an ascending DatetimeIndex) and one column per stock.

    - `weights`: target weights as fractions of the balance (negative = short), dated when
      they become known. NaN means no position. A rebalance trades on the bar after its
      date, at that bar's trading price, to the newest weights row dated before that bar;
      rows whose absolute sum exceeds 1 are scaled to a gross exposure of 1.
    - `open`, `high`, `low`: aligned to `close` by label (same dates and stocks, any
      order); touched exits (``touched_exit=True``) need all three.
    - `trade_at`: "close" (default) or "open" (needs `open`): the price orders fill at.
    - `rebalance`: None rebalances on every weights row; a frequency alias ("W", "M",
      "Q", ...) on the last bar of each period; a list of dates on the last bar on or
      before each date.
    - `delisted`: Series or dict, stock -> date; a position is closed on the last bar on
      or before its stock's date.
    - `periods_per_year`: bars a year for the annualised statistics of ``Result.stats()``;
      None infers them from the spacing of the close index.
    - `holdings`: record what the run held on every bar (``Result.positions``,
      ``exposure``, ``turnover``, ``costs``, ``contribution()`` and the exact turnover,
      exposure and costs of ``stats()``); False saves the record's time and memory.
    - `rules`: the engine's trading rules by keyword (``mirelo.core.batch.RULES``), each
      with its default and the values it accepts:

{rules}

    Mistakes in the frames raise TypeError or ValueError naming the argument and the
    offending labels; see ``prepare_inputs``.
    """
    per_year = check_periods_per_year(periods_per_year)
    if not isinstance(holdings, (bool, np.bool_)):
        raise TypeError(f"holdings must be True or False, not {type(holdings).__name__}")
    inputs = prepare_inputs(close, weights, open=open, high=high, low=low, trade_at=trade_at,
                            rebalance=rebalance, delisted=delisted)
    settings = inputs.check_rules(rules)
    run_result = inputs.market.build().run(**inputs.targets.arguments(), **settings,
                                           record_holdings=bool(holdings))
    return Result(inputs, run_result, settings, per_year)


backtest.__doc__ = (backtest.__doc__ or "").replace("{rules}", rules_doc(indent=" " * 8).rstrip())
