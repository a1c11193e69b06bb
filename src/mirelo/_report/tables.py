"""The numbers behind the report's tables and figures, computed from a result's value
path, returns, trades, exposure and contributions: monthly returns, drawdown periods,
rolling Sharpe ratio, trades by exit reason, exposure summary and the top and bottom
contributors."""

from __future__ import annotations

import numpy as np
import pandas as pd

MONTHS = ("Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec")


def monthly_returns(returns: pd.Series) -> pd.DataFrame:
    """Compounded returns by year (rows) and month (columns "Jan" .. "Dec", NaN for months
    without bars), then the year's compounded return ("Year")."""
    dates = pd.DatetimeIndex(returns.index)
    growth = 1.0 + returns
    by_month = growth.groupby([dates.year, dates.month]).prod() - 1.0
    table = by_month.unstack().reindex(columns=range(1, 13))
    table.columns = pd.Index(MONTHS)
    table["Year"] = growth.groupby(dates.year).prod() - 1.0
    table.index.name = "year"
    return table


def drawdown_periods(value: pd.Series, count: int = 5) -> pd.DataFrame:
    """The `count` worst drawdowns of a value path, deepest first: the dates of the peak,
    the trough and the recovery (NaT while not recovered), the depth (<= 0) and the bars
    from peak to recovery (or to the last bar)."""
    path = value.to_numpy()
    peak_value = np.maximum.accumulate(path) if len(path) else path
    under = np.flatnonzero(path < peak_value)
    columns = ["peak", "trough", "recovery", "depth", "bars"]
    if len(under) == 0:
        return pd.DataFrame(columns=columns)
    starts = under[np.flatnonzero(np.diff(under, prepend=-2) > 1)]
    ends = under[np.flatnonzero(np.diff(under, append=len(path) + 1) > 1)]
    rows = []
    for first, last in zip(starts, ends):
        trough = first + int(np.argmin(path[first:last + 1]))
        recovered = last + 1 < len(path)
        rows.append({
            "peak": value.index[first - 1],
            "trough": value.index[trough],
            "recovery": value.index[last + 1] if recovered else pd.NaT,
            "depth": path[trough] / path[first - 1] - 1.0,
            "bars": (last + 1 if recovered else last) - (first - 1),
        })
    periods = pd.DataFrame(rows, columns=columns)
    return periods.sort_values("depth", kind="stable").head(count).reset_index(drop=True)


def rolling_sharpe(returns: pd.Series, window: int, per_year: float) -> pd.Series:
    """The annualised Sharpe ratio of each `window` bars of `returns` (empyrical-reloaded,
    risk-free rate 0), dated by the window's last bar; empty with fewer bars."""
    import empyrical

    if len(returns) < window:
        return pd.Series(dtype=np.float64)
    values = empyrical.roll_sharpe_ratio(returns.to_numpy(), window, risk_free=0,
                                         annualization=per_year)
    return pd.Series(values, index=returns.index[window - 1:], name=returns.name)


def trades_by_reason(trades: pd.DataFrame) -> pd.DataFrame:
    """Per exit reason (``Result.trades["reason"]``, most frequent first): the number of
    trades, their share, win rate, mean return and mean bars held."""
    groups = trades.groupby("reason", sort=False)
    table = pd.DataFrame({
        "trades": groups.size(),
        "win_rate": groups["return"].agg(lambda r: float((r > 0).mean())),
        "avg_return": groups["return"].mean(),
        "avg_bars_held": groups["bars_held"].mean(),
    })
    table.insert(1, "share", table["trades"] / max(len(trades), 1))
    return table.sort_values("trades", ascending=False, kind="stable")


def exposure_summary(exposure: pd.DataFrame) -> pd.DataFrame:
    """Mean, lowest and highest of each column of ``Result.exposure`` (rows: long, short,
    gross, net, cash, holdings)."""
    return pd.DataFrame({"mean": exposure.mean(), "min": exposure.min(),
                         "max": exposure.max()})


def top_and_bottom(contributions: pd.Series, count: int) -> tuple[pd.Series, pd.Series]:
    """The largest contributions, largest first, and the smallest, smallest first: at most
    `count` each, of the entries that are not 0, never one entry in both."""
    moved = contributions[contributions != 0].sort_values(ascending=False, kind="stable")
    top = min(count, (len(moved) + 1) // 2)
    bottom = min(count, len(moved) - top)
    return moved.iloc[:top], moved.iloc[len(moved) - bottom:].iloc[::-1]
