"""Fresh runs: a chosen trial run again on one contiguous test window alone.

The window's run starts flat, with cash 1.0 and no position on its first bar,
as a trader starting that day would.  It sees the window's bars only:

- prices: the window's rows of close (and open, high, low);
- weights: the newest row dated on or before the window's first date (the
  target in force when the window starts) and the rows after it up to the
  window's last date;
- rebalances: the window's first bar, so that the target in force is entered
  on the next bar, and then the full calendar's rebalances that fall in the
  window, on the same bars;
- delistings: those of the full calendar that fall in the window; a stock
  delisted before the window is delisted on its first bar.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import cast

import numpy as np
import pandas as pd

from mirelo._inputs import Inputs, prepare_inputs
from mirelo._sweep.setup import SweepSetup
from mirelo._sweep.trials import Trial, trial_key

from .plan import Plan
from .splits import Split


@dataclass(frozen=True)
class Window:
    """One fresh run: split `split`'s chosen trial on the bars first..last."""

    split: int
    first: int
    last: int
    trial: Trial  # the fresh run (its weights name is the window's inputs' name)


def _weights_for(frame: pd.DataFrame, dates: pd.DatetimeIndex) -> pd.DataFrame:
    index = frame.index
    in_force = index[index <= dates[0]]
    rows = frame.loc[(index >= in_force[-1]) if len(in_force) else (index >= dates[0])]
    rows = rows.loc[rows.index <= dates[-1]]
    if rows.empty:  # no target known during the window: it stays in cash, and its
        # statistics start on its last bar, as a slice of it before the weights start
        rows = pd.DataFrame(0.0, index=dates[-1:], columns=frame.columns)
    return rows


def _rebalance_for(inputs: Inputs, first: int, last: int) -> pd.DatetimeIndex:
    dates = inputs.market.price_index
    bars = np.searchsorted(dates, inputs.targets.resample, side="right") - 1
    inside = np.unique(bars[(bars >= first) & (bars <= last)])
    return inputs.index[np.union1d([first], inside)]


def _delisted_for(inputs: Inputs, first: int, last: int) -> pd.Series | None:
    bars = inputs.market.delisting_bars
    if bars is None:
        return None
    keep = (bars >= 0) & (bars <= last)
    return pd.Series(inputs.index[np.maximum(bars[keep], first)], index=inputs.columns[keep])


def window_inputs(close: pd.DataFrame, frame: pd.DataFrame, inputs: Inputs, market: dict,
                  first: int, last: int) -> Inputs:
    """The inputs of a fresh run of the weights `frame` (prepared over the full
    calendar as `inputs`) on the bars first..last."""
    dates = cast(pd.DatetimeIndex, close.index)[first:last + 1]
    prices = {k: market[k].loc[dates[0]:dates[-1]] for k in ("open", "high", "low")
              if market.get(k) is not None}
    return prepare_inputs(close.iloc[first:last + 1], _weights_for(frame, dates), **prices,
                          trade_at=market.get("trade_at", "close"),
                          rebalance=_rebalance_for(inputs, first, last),
                          delisted=_delisted_for(inputs, first, last))


def _window_name(source: str | None, calendar: pd.DatetimeIndex, first: int, last: int) -> str:
    """The window's dates, and its bars where a date has several bars."""
    days = calendar[[first, last]].strftime("%Y-%m-%d")
    name = f"{days[0]}..{days[1]}"
    if not calendar.normalize().is_unique:
        name += f" (bars {first}-{last})"
    return name if source is None else f"{source} {name}"


def plan_windows(plan: Plan, close: pd.DataFrame, market: dict, splits: list[Split],
                 chosen: list[int | None]) -> tuple[SweepSetup, list[Window]]:
    """The fresh runs of every split's chosen trial on its test windows; one run
    for a window and trial that several splits share."""
    inputs: dict[str, Inputs] = {}
    trials: dict[str, Trial] = {}
    windows: list[Window] = []
    for split, trial in zip(splits, chosen):
        if trial is None:
            continue
        run = plan.run(split, trial)
        for bars in split.windows():
            first, last = int(bars[0]), int(bars[-1])
            source = run.weights
            name = _window_name(source, cast(pd.DatetimeIndex, close.index), first, last)
            if name not in inputs:
                inputs[name] = window_inputs(close, plan.frames[source],
                                             plan.setup.inputs[source], market, first, last)
            key = trial_key(run.rules, f"{plan.source_keys[source]} bars {first}-{last}")
            if key not in trials:
                trials[key] = Trial(len(trials), key, name, run.params, run.rules)
            windows.append(Window(split.number, first, last, trials[key]))
    return SweepSetup(inputs), windows
