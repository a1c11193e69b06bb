"""A benchmark beside a backtest: its returns on the result's bars, and the statistics of
the result against it.

Conventions (also in README.md):

- **Prices or returns.** `kind="auto"` takes a Series whose values are all positive for
  prices and any other for returns (a price is never 0 or negative; the returns of a
  benchmark over more than a few bars always have a falling one). ``"prices"`` and
  ``"returns"`` say it outright.
- **Dates.** The benchmark needs a value on every bar of the statistics' period: prices
  from ``Result.start`` (the base) to the last bar, returns on every bar after the start.
  Other dates are ignored, except returns dated between two bars of the period, which are
  compounded into the later bar's return.
- **Statistics** cover the same bars as those of the result: alpha (annualised, as
  empyrical-reloaded compounds the mean daily alpha) and beta from empyrical-reloaded;
  tracking error, the standard deviation (one degree of freedom) of the active returns
  (result minus benchmark) times the square root of the periods per year; information
  ratio, empyrical-reloaded's excess Sharpe (mean over standard deviation of the active
  returns) times that square root; correlation of the bar returns; up and down capture,
  the annual return of the result over that of the benchmark on the bars where the
  benchmark rose (fell), as empyrical-reloaded defines them but with the result's periods
  per year. The benchmark's own return and risk figures are those of the result's
  statistics, prefixed ``benchmark_``.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt
import pandas as pd
from pandas.api.types import is_bool_dtype, is_numeric_dtype

from mirelo._frames import check_dates, check_same_timezone
from mirelo._labels import some
from mirelo._stats import RETURN_LABELS, _plain, return_figures

KINDS = ("auto", "prices", "returns")

RELATIVE_LABELS = ("alpha", "beta", "information_ratio", "tracking_error", "correlation",
                   "up_capture", "down_capture")

# Labels that stats(benchmark=...) adds after those of STAT_LABELS, in this order.
BENCHMARK_LABELS = tuple(f"benchmark_{label}" for label in RETURN_LABELS) + RELATIVE_LABELS


@dataclass(frozen=True)
class Benchmark:
    """A benchmark's simple returns on the bars after the result's start (``returns``,
    indexed by their dates) and its value path from 1.0 on the start bar (``levels``)."""

    returns: pd.Series
    levels: pd.Series


def align_benchmark(benchmark: object, index: pd.DatetimeIndex, start_bar: int,
                    kind: str = "auto") -> Benchmark:
    """`benchmark` (prices or returns by date) on the bars of `index` from `start_bar`.

    Raises TypeError for what is not a Series of numbers by date, and ValueError naming
    the first of the result's dates it has no value for.
    """
    if kind not in KINDS:
        raise ValueError(f"benchmark_kind must be 'auto', 'prices' or 'returns', not {kind!r}")
    series = _checked_series(benchmark, index)
    name = "benchmark" if series.name is None else str(series.name)
    period = index[start_bar:]
    if kind == "auto":
        values = series.to_numpy(dtype=np.float64)
        present = values[~np.isnan(values)]
        kind = "prices" if len(present) and bool((present > 0).all()) else "returns"
    returns = (_price_returns(series, period) if kind == "prices"
               else _bar_returns(series, period))
    levels = np.cumprod(np.concatenate(([1.0] if len(period) else [], 1.0 + returns)))
    return Benchmark(returns=pd.Series(returns, index=period[1:], name=name),
                     levels=pd.Series(levels, index=period, name=name))


def _checked_series(benchmark: object, index: pd.DatetimeIndex) -> pd.Series:
    if not isinstance(benchmark, pd.Series):
        raise TypeError("benchmark must be a pandas Series of prices or returns indexed by "
                        f"date, not {type(benchmark).__name__}")
    dates = check_dates(benchmark.index, "benchmark index")
    check_same_timezone(dates, "benchmark index", index)
    if is_bool_dtype(benchmark.dtype) or not is_numeric_dtype(benchmark.dtype):
        raise TypeError(f"benchmark must hold numbers, not values of dtype {benchmark.dtype}")
    return benchmark.astype(np.float64)


def _missing(values: pd.Series, what: str) -> None:
    absent = values.index[values.isna()]
    if len(absent):
        raise ValueError(f"benchmark has no {what} for {len(absent)} of the result's dates: "
                         f"{some(absent)}")


def _price_returns(series: pd.Series, period: pd.DatetimeIndex) -> npt.NDArray[np.float64]:
    """Returns from prices on the period's bars: the first bar is the base."""
    prices = series.reindex(period)
    _missing(prices, "price")
    bad = prices.index[prices <= 0]
    if len(bad):
        raise ValueError(f"benchmark prices must be positive: not at {some(bad)}")
    values = prices.to_numpy()
    returns: npt.NDArray[np.float64] = values[1:] / values[:-1] - 1.0
    return returns


def _bar_returns(series: pd.Series, period: pd.DatetimeIndex) -> npt.NDArray[np.float64]:
    """The returns on the bars after the period's first, compounding those dated between
    two bars into the later one."""
    bars = period[1:]
    _missing(series.reindex(bars), "return")
    if len(bars) == 0:
        return np.empty(0)
    inside = series[(series.index > period[0]) & (series.index <= period[-1])]
    gaps = inside.index[inside.isna()]
    if len(gaps):
        raise ValueError(f"benchmark has missing returns (NaN) between the result's dates: "
                         f"{some(gaps)}")
    if len(inside) == len(bars):  # one return per bar: taken as it is
        return inside.to_numpy()
    dates = pd.DatetimeIndex(inside.index).as_unit(bars.unit)
    bar_of = np.searchsorted(bars.asi8, dates.asi8, side="left")
    growth = pd.Series(1.0 + inside.to_numpy()).groupby(bar_of).prod()
    returns: npt.NDArray[np.float64] = np.asarray(growth, dtype=np.float64) - 1.0
    return returns


def benchmark_figures(returns: npt.NDArray[np.float64], benchmark: npt.NDArray[np.float64],
                      per_year: float) -> dict[str, Any]:
    """The benchmark's own return figures and the result's figures against it
    (BENCHMARK_LABELS), on the same bars."""
    import empyrical

    own = return_figures(benchmark, per_year)
    figures = {f"benchmark_{label}": own[label] for label in RETURN_LABELS}
    n = len(returns)
    root = math.sqrt(per_year)
    with np.errstate(divide="ignore", invalid="ignore"):
        alpha, beta = empyrical.alpha_beta_aligned(returns, benchmark, risk_free=0.0,
                                                   annualization=per_year)
        active = returns - benchmark
        figures.update({
            "alpha": alpha,
            "beta": beta,
            "information_ratio": empyrical.excess_sharpe(returns, benchmark) * root,
            "tracking_error": float(np.std(active, ddof=1)) * root if n > 1 else np.nan,
            "correlation": _correlation(returns, benchmark),
            "up_capture": _capture(returns, benchmark, benchmark > 0, per_year),
            "down_capture": _capture(returns, benchmark, benchmark < 0, per_year),
        })
    return figures


def _correlation(a: npt.NDArray[np.float64], b: npt.NDArray[np.float64]) -> float:
    if len(a) < 2 or np.std(a) == 0 or np.std(b) == 0:
        return np.nan
    return float(np.corrcoef(a, b)[0, 1])


def _capture(returns: npt.NDArray[np.float64], benchmark: npt.NDArray[np.float64],
             bars: npt.NDArray[np.bool_], per_year: float) -> float:
    import empyrical

    if not bars.any():
        return np.nan
    ours = empyrical.annual_return(returns[bars], annualization=per_year)
    theirs = empyrical.annual_return(benchmark[bars], annualization=per_year)
    return float(ours / theirs) if theirs != 0 else np.nan


def with_benchmark(stats: pd.Series, returns: npt.NDArray[np.float64],
                   benchmark: Benchmark) -> pd.Series:
    """`stats` (``Result.stats()``) followed by the figures against `benchmark`."""
    figures = benchmark_figures(returns, benchmark.returns.to_numpy(),
                                float(stats["periods_per_year"]))
    extra = pd.Series([_plain(figures[k]) for k in BENCHMARK_LABELS], index=BENCHMARK_LABELS,
                      dtype=object)
    combined: pd.Series = pd.concat([stats, extra]).rename(stats.name)
    return combined
