"""Performance statistics of a backtest: one function, ``result_stats``.

Conventions (also in README.md):

- **Period.** Statistics cover the bars after ``Result.start``, the last bar on or before
  the first weights date (the first bar when the weights start before it); the value path
  is 1.0 until then, and those flat bars would dilute every annualised figure.
- **Returns** are the simple bar returns of the value path (``Result.returns``).
- **Periods per year** are inferred from the close index unless given (see
  ``infer_periods_per_year``): a market trades 252 days a year, or 365 when more than a
  tenth of its bars fall on a Saturday or Sunday; bars less than a day apart count that
  many days times the median number of bars per day, bars one to six days apart that
  many days over their median spacing in trading days, and bars a week or more apart
  365.25 over their median spacing in days (rounded to a whole number from one bar a
  year up: weekly 52, two-weekly 26, monthly 12, quarterly 4, yearly 1).
- **Risk-free rate 0** for the Sharpe ratio, required return 0 for the Sortino ratio.
- Return, risk and drawdown figures come from empyrical-reloaded, computed on those
  returns; turnover, exposure, costs, drawdown dates and trade figures are computed here.
- **Turnover, exposure and costs** come from the engine's totals of every bar (exact, with
  or without the holdings record): half the money traded on each bar over the value before
  it, summed and annualised; the share of bars ending with a holding; the fees and tax over
  the value before each bar, summed and annualised.
"""

from __future__ import annotations

import math
import numbers
import weakref
from collections.abc import Callable, Hashable
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt
import pandas as pd

from mirelo._profiles import at_exit

if TYPE_CHECKING:
    from mirelo._inputs import Inputs

# The figures of return_figures, in the order of STAT_LABELS.
RETURN_LABELS = ("total_return", "annual_return", "annual_volatility", "sharpe", "sortino",
                 "max_drawdown", "calmar")

# Index of the Series that Result.stats() returns, in this order.
STAT_LABELS = (
    "start",                # first date of the period (Timestamp)
    "end",                  # last date (Timestamp)
    "periods_per_year",     # bars per year used to annualise
    "total_return",         # value at the end / value at the start - 1
    "annual_return",        # compound annual growth rate
    "annual_volatility",    # standard deviation of returns (ddof 1) x sqrt(periods per year)
    "sharpe",               # annualised mean / standard deviation of returns, risk-free 0
    "sortino",              # annualised mean / downside deviation, required return 0
    "max_drawdown",         # worst fall from a running peak of the value (<= 0)
    "max_drawdown_peak",    # date of that peak (NaT without a drawdown)
    "max_drawdown_trough",  # date of its trough
    "max_drawdown_recovery",  # first date back at the peak value (NaT: not recovered)
    "calmar",               # annual return / |maximum drawdown|
    "turnover",             # one-way turnover per year: half the money traded / value
    "exposure",             # share of bars ending with at least one position held
    "costs",                # fees and tax per year, as a fraction of the value
    "trades",               # number of trades, open ones included
    "win_rate",             # share of trades with a positive return
    "profit_factor",        # sum of winning / sum of losing trade profits
    "avg_mae",              # mean maximum adverse excursion of the trades
    "avg_mfe",              # mean maximum favourable excursion
    "avg_bars_held",        # mean bars between entry and exit of the closed trades
)

_DAY_NS = 86_400 * 10**9
_TRADING_DAYS = 252.0   # a year of a market closed on weekends
_CALENDAR_DAYS = 365.0  # a year of a market that trades every day
_YEAR_DAYS = 365.25     # a calendar year, for bars a week or more apart

# Built once: making an index of text labels is a large share of a Series' cost.  Each
# Series gets a copy, which shares the labels but not the index's mutable name.
_STAT_INDEX = pd.Index(STAT_LABELS)

# Figures that depend on a backtest's inputs alone (and on a key), by Inputs object: the
# trials of a sweep share one Inputs, so these are computed once, not once per trial.
_PER_INPUTS: weakref.WeakKeyDictionary[Inputs, dict[Hashable, Any]] = \
    weakref.WeakKeyDictionary()


def result_stats(inputs: Inputs, run_result: Any, start_bar: int,
                 periods_per_year: float | None = None) -> pd.Series:
    """The statistics of a run as a Series indexed by STAT_LABELS (dtype object).

    `inputs` are the run's inputs, `run_result` the engine's result and `start_bar` the
    first bar of the period (``Result.start_bar``).
    """
    per_year = resolve_periods_per_year(inputs, periods_per_year)
    index = inputs.index
    value = pd.Series(run_result.value, index=index, copy=False).iloc[start_bar:]
    returns = period_returns(run_result.value, start_bar)
    turnover, held_share, costs = engine_figures(run_result, start_bar)
    years = len(returns) / per_year
    peak, trough, recovery = drawdown_dates(value)
    figures: dict[str, Any] = {
        "start": value.index[0] if len(value) else pd.NaT,
        "end": index[-1],
        "periods_per_year": per_year,
        **return_figures(returns, per_year),
        "max_drawdown_peak": peak,
        "max_drawdown_trough": trough,
        "max_drawdown_recovery": recovery,
        "turnover": turnover / years if years > 0 else np.nan,
        "exposure": held_share,
        "costs": costs / years if years > 0 else np.nan,
        **trade_figures(run_result),
    }
    return pd.Series([_plain(figures[k]) for k in STAT_LABELS], index=_STAT_INDEX.copy(),
                     dtype=object, name="stats")


def resolve_periods_per_year(inputs: Inputs, periods_per_year: float | None) -> float:
    """`periods_per_year` as a positive float, inferred from the close index when None."""
    per_year = check_periods_per_year(periods_per_year)
    if per_year is None:
        per_year = _once_per_inputs(inputs, "periods_per_year",
                                    lambda: infer_periods_per_year(inputs.index))
    return float(per_year)


def period_returns(value: npt.NDArray[np.float64], start_bar: int) -> npt.NDArray[np.float64]:
    """The simple returns of the bars after `start_bar`: the same numbers as
    ``Result.returns``, as an array (no pandas Series for each statistic to take apart)."""
    returns: npt.NDArray[np.float64] = \
        (value / np.concatenate(([1.0], value[:-1])) - 1.0)[start_bar + 1:]
    return returns


def return_figures(returns: npt.NDArray[np.float64], per_year: float) -> dict[str, Any]:
    """Return, risk and drawdown figures of bar `returns` from empyrical-reloaded
    (RETURN_LABELS), with a risk-free rate and a required return of 0."""
    import empyrical  # takes a second to import: loaded when statistics are first asked for

    return {
        "total_return": empyrical.cum_returns_final(returns),
        "annual_return": empyrical.annual_return(returns, annualization=per_year),
        "annual_volatility": empyrical.annual_volatility(returns, annualization=per_year),
        "sharpe": empyrical.sharpe_ratio(returns, risk_free=0, annualization=per_year),
        "sortino": empyrical.sortino_ratio(returns, required_return=0, annualization=per_year),
        "max_drawdown": empyrical.max_drawdown(returns),
        "calmar": empyrical.calmar_ratio(returns, annualization=per_year),
    }


def _once_per_inputs(inputs: Inputs, key: Hashable, compute: Callable[[], Any]) -> Any:
    known = _PER_INPUTS.setdefault(inputs, {})
    if key not in known:
        known[key] = compute()
    return known[key]


def _plain(x: Any) -> Any:
    """NumPy scalars as Python numbers, so the Series prints and compares plainly."""
    return x.item() if isinstance(x, np.generic) else x


def check_periods_per_year(periods_per_year: Any) -> float | None:
    """`periods_per_year` as a float, or None (inferred); anything but a positive, finite
    number raises."""
    if periods_per_year is None:
        return None
    if isinstance(periods_per_year, (bool, np.bool_)) or \
            not isinstance(periods_per_year, (numbers.Real, np.number)):
        raise TypeError(f"periods_per_year must be a number, not "
                        f"{type(periods_per_year).__name__}")
    value = float(periods_per_year)
    if not (value > 0 and math.isfinite(value)):
        raise ValueError(f"periods_per_year must be a positive, finite number of bars a year, "
                         f"not {periods_per_year!r}")
    return value


def infer_periods_per_year(index: pd.DatetimeIndex) -> float:
    """Bars per year from the spacing of `index` (252 with fewer than two bars).

    A market trades 365 days a year when more than a tenth of its bars fall on a weekend
    (by the dates' own clock), else 252. Bars less than a day apart (median spacing) give
    that many days times the median number of bars on a day; bars one to six days apart
    give it over their median spacing in trading days (weekdays, when weekends do not
    trade); bars a week or more apart give 365.25 days over their median spacing in days,
    rounded to a whole number when at least one: weekly 52, monthly 12, quarterly 4.
    """
    if len(index) < 2:
        return _TRADING_DAYS
    local = index.tz_localize(None) if index.tz is not None else index
    days = local.as_unit("ns").asi8 // _DAY_NS  # calendar day of each bar
    weekends = np.count_nonzero(local.day_of_week >= 5) / len(local) > 0.1
    days_a_year = _CALENDAR_DAYS if weekends else _TRADING_DAYS
    spacing = float(np.median(np.diff(local.as_unit("ns").asi8))) / _DAY_NS
    if spacing < 1.0:
        _, bars_a_day = np.unique(days, return_counts=True)
        return float(np.median(bars_a_day)) * days_a_year
    if spacing >= 7.0:
        per_year = _YEAR_DAYS / spacing
        return float(round(per_year)) if per_year >= 1.0 else per_year
    if weekends:
        return days_a_year / spacing
    dated = days.astype("datetime64[D]")
    trading_days = float(np.median(np.busday_count(dated[:-1], dated[1:])))
    return days_a_year / max(trading_days, 1.0)


def drawdown_dates(value: pd.Series) -> tuple[Any, Any, Any]:
    """(peak, trough, recovery) dates of the worst drawdown of `value`; NaT where none."""
    path = value.to_numpy()
    if len(path) < 2:
        return pd.NaT, pd.NaT, pd.NaT
    falls = path / np.maximum.accumulate(path) - 1.0
    trough = int(np.argmin(falls))
    if not falls[trough] < 0.0:
        return pd.NaT, pd.NaT, pd.NaT
    peak = int(np.argmax(path[:trough + 1]))
    back = np.flatnonzero(path[trough:] >= path[peak])
    recovery = value.index[trough + back[0]] if len(back) else pd.NaT
    return value.index[peak], value.index[trough], recovery


def engine_figures(run_result: Any, start_bar: int) -> tuple[float, float, float]:
    """From the engine's totals of every bar, over the bars after `start_bar`: the one-way
    turnover (half the money traded over the value before each bar, summed), the share of
    bars ending with a holding, and the costs over the value before each bar, summed."""
    path = run_result.value
    before = np.concatenate(([1.0], path[:-1]))[start_bar + 1:]
    traded = run_result.traded[start_bar + 1:] / before
    costs = run_result.costs[start_bar + 1:] / before
    held = run_result.holdings_count[start_bar + 1:] > 0
    share = float(held.mean()) if len(held) else np.nan
    return float(traded.sum()) / 2.0, share, float(costs.sum())


def trade_returns(records: Any) -> npt.NDArray[np.float64]:
    """Each trade's return from the engine's money values: (exit_value - entry_value) /
    |entry_value|, so a short that gains has a positive return (see README.md)."""
    entered, exited = records["entry_value"], records["exit_value"]
    with np.errstate(divide="ignore", invalid="ignore"):
        returns: npt.NDArray[np.float64] = (exited - entered) / np.abs(entered)
    return returns


def trade_figures(run_result: Any) -> dict[str, Any]:
    """Trade count, win rate, profit factor, mean excursions and holding period, from the
    engine's trade records and excursion profiles (row i of each is trade i; see
    ``mirelo._profiles`` for the figures at the exit bar).

    Returns are those of ``trade_returns``; open trades count with their value on the last
    bar. A trade's profit is its return times the absolute weight it was entered with. The
    mean excursions leave out missing values.
    """
    records, profiles = run_result.trades, run_result.profiles
    returns = trade_returns(records)
    profits = returns * np.abs(records["position"])
    gains, losses = profits[profits > 0].sum(), -profits[profits < 0].sum()
    if losses > 0:
        factor = gains / losses
    else:
        factor = np.inf if gains > 0 else np.nan
    exit_bar = records["exit_bar"].astype(np.int64)
    closed = exit_bar >= 0
    held = exit_bar[closed] - records["entry_bar"][closed]
    empty = len(records) == 0
    return {
        "trades": len(records),
        "win_rate": np.nan if empty else float(np.mean(returns > 0)),
        "profit_factor": float(factor),
        "avg_mae": np.nan if empty else _mean_of_present(at_exit(profiles, "mae")),
        "avg_mfe": np.nan if empty else _mean_of_present(at_exit(profiles, "mfe")),
        "avg_bars_held": float(held.mean()) if len(held) else np.nan,
    }


def _mean_of_present(values: npt.NDArray[np.float64]) -> float:
    """Mean of the values that are not NaN (NaN when none is), summed as pandas' mean
    sums: missing values as zeros, in one pairwise sum over a contiguous array."""
    missing = np.isnan(values)
    count = len(values) - int(np.count_nonzero(missing))
    if count == 0:
        return np.nan
    present = np.where(missing, 0.0, values)
    return float(present.sum() / np.float64(count))
