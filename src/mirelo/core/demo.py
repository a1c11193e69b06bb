"""A complete backtest on a synthetic market, with a readable report.

Run it with::

    python -m mirelo.core.demo                 # report on the default market
    python -m mirelo.core.demo --plot run.png  # also draw the value path and excursions

The market is generated in code from a seed, so every run with the same options
prints the same report. It has a few hundred stocks over about ten years of
business days with open/high/low/close prices, late listings (leading NaN),
suspensions (NaN gaps) and delistings (trailing NaN plus ``delisting_bars``).

The strategy rebalances at every month end into the top stocks of a momentum
score at equal weight, with a stop-loss, a trailing stop armed after a gain and
an excursion window, and the report is computed from what ``backtest_`` returns
(the value path) and what the engine keeps afterwards (trades, excursion
profiles, stock operations).

Each step is a small function (``make_market``, ``month_end_bars``,
``momentum_weights``, ``run_demo``, ``summarize``, ``format_report``,
``plot_result``) so that they can be reused or called at a small size.
"""

from __future__ import annotations

import argparse
import math
import sys
import time
from dataclasses import dataclass, field
from typing import Any

import numpy as np

from mirelo.core import excursion, tradesim

BARS_PER_YEAR = 252

DEFAULT_SEED = 7
DEFAULT_STOCKS = 300
DEFAULT_YEARS = 10.0
DEFAULT_TOP = 20

# Trading rules of the demo strategy; any of them can be overridden through
# run_demo(**rules) or the command line.
DEFAULT_RULES: dict[str, Any] = {
    "fee_ratio": 0.001425,
    "tax_ratio": 0.003,
    "stop_loss": 0.10,
    "take_profit": math.inf,
    "trail_stop": 0.10,
    "trail_stop_activation": 0.15,
    "touched_exit": False,
    "position_limit": 1.0,
    # A stock that stays in the top list keeps one trade across rebalances:
    # resizing it does not close and reopen the trade in the ledger, and its
    # stop levels stay measured from the original entry.
    "retain_cost_when_rebalance": True,
    "stop_trading_next_period": True,
    "excursion_window": 20,
    "excursion_window_step": 5,
}

# Excursion profile layout: groups of six values; the last group is the exit bar.
_MAE, _MFE, _RET = 0, 1, 5


# ----------------------------------------------------------------------------
# Synthetic market
# ----------------------------------------------------------------------------


@dataclass
class Market:
    """Price matrices (bars x stocks) and their calendar."""

    dates: np.ndarray  # int64 nanoseconds since the epoch, business days
    names: np.ndarray  # object array of str
    open: np.ndarray
    high: np.ndarray
    low: np.ndarray
    close: np.ndarray
    delisting_bars: np.ndarray  # int64 per stock: last bar with a price, or -1
    listing_bars: np.ndarray  # int64 per stock: first bar with a price
    suspended_stocks: int  # number of stocks with at least one suspension

    @property
    def n_bars(self) -> int:
        return self.close.shape[0]

    @property
    def n_stocks(self) -> int:
        return self.close.shape[1]


def business_days(start: str, count: int) -> np.ndarray:
    """`count` consecutive weekdays from `start` as int64 nanoseconds."""
    first = np.datetime64(start, "D")
    # 7/5 calendar days per business day, plus a margin for the start weekday.
    days = first + np.arange(count * 7 // 5 + 8)
    days = days[np.is_busday(days)][:count]
    return days.astype("datetime64[ns]").astype(np.int64)


def _tickers(rng: np.random.Generator, count: int) -> list[str]:
    letters = np.array(list("ABCDEFGHIJKLMNOPQRSTUVWXYZ"))
    seen: set[str] = set()
    names: list[str] = []
    while len(names) < count:
        name = "".join(rng.choice(letters, size=int(rng.integers(3, 5))))
        if name not in seen:
            seen.add(name)
            names.append(name)
    return names


def make_market(seed: int = DEFAULT_SEED, stocks: int = DEFAULT_STOCKS,
                years: float = DEFAULT_YEARS) -> Market:
    """Builds a reproducible synthetic equity market.

    Daily log returns are a market factor (fat-tailed, with slowly changing
    volatility) times a per-stock beta, plus fat-tailed idiosyncratic noise and
    a slowly drifting per-stock expected return, which gives momentum something
    to find. Part of each return happens overnight (close to open), the rest
    during the session; highs and lows extend beyond the open and the close.
    """
    if stocks < 1:
        raise ValueError("the market needs at least one stock")
    n = int(round(years * BARS_PER_YEAR))
    if n < 2:
        raise ValueError("the market needs at least two bars")
    rng = np.random.default_rng(seed)

    # Market factor: Student-t (4 degrees of freedom, unit variance) shocks
    # scaled by a log-volatility that follows an AR(1) process.
    log_vol = np.empty(n)
    h = 0.0
    shocks = rng.standard_normal(n)
    for t in range(n):
        h = 0.985 * h + 0.12 * shocks[t]
        log_vol[t] = h
    market = 0.0003 + 0.009 * np.exp(log_vol) * rng.standard_t(4, n) / math.sqrt(2.0)

    beta = rng.uniform(0.5, 1.5, stocks)
    idio_vol = np.exp(rng.normal(math.log(0.016), 0.35, stocks))
    idio = rng.standard_t(4, (n, stocks)) / math.sqrt(2.0) * idio_vol

    # Per-stock expected return: AR(1) with a half-life of about 140 bars.
    drift = np.empty((n, stocks))
    a = rng.normal(0.0, 0.0004, stocks)
    drift_shocks = rng.normal(0.0, 0.00005, (n, stocks))
    for t in range(n):
        a = 0.995 * a + drift_shocks[t]
        drift[t] = a

    log_ret = drift + beta * market[:, None] + idio

    # Late listings: about a third of the stocks start trading later.
    listing = np.zeros(stocks, dtype=np.int64)
    late = rng.random(stocks) < 0.35
    listing[late] = rng.integers(1, max(2, int(0.7 * n)), late.sum())

    # Delistings: about 8% of the stocks, half of them after a slide.
    delisting = np.full(stocks, -1, dtype=np.int64)
    for s in np.flatnonzero(rng.random(stocks) < 0.08):
        low_bar = max(int(listing[s]) + 60, int(0.2 * n))
        if low_bar >= n - 2:
            continue
        d = int(rng.integers(low_bar, n - 2))
        delisting[s] = d
        if rng.random() < 0.5:
            start = max(int(listing[s]) + 1, d - 40)
            log_ret[start:d + 1, s] -= 0.015

    prev_close = np.exp(rng.normal(math.log(30.0), 0.8, stocks))
    close = prev_close * np.exp(np.cumsum(log_ret, axis=0))
    before = np.vstack([prev_close, close[:-1]])
    # About a third of the day's move happens overnight.
    gap = 0.35 * log_ret + rng.normal(0.0, 0.3, (n, stocks)) * idio_vol
    open_ = before * np.exp(gap)
    wick = np.abs(rng.normal(0.0, 0.5, (2, n, stocks))) * idio_vol
    high = np.maximum(open_, close) * np.exp(wick[0])
    low = np.minimum(open_, close) * np.exp(-wick[1])

    missing = np.zeros((n, stocks), dtype=bool)
    rows = np.arange(n)[:, None]
    missing |= rows < listing
    missing |= (delisting >= 0) & (rows > delisting)

    # Suspensions: gaps of 1 to 15 bars inside a stock's trading life.
    suspended = 0
    for s in np.flatnonzero(rng.random(stocks) < 0.15):
        last = int(delisting[s]) if delisting[s] >= 0 else n - 1
        first = int(listing[s]) + 1
        if last - first < 30:
            continue
        suspended += 1
        for _ in range(int(rng.integers(1, 4))):
            g0 = int(rng.integers(first, last - 16))
            missing[g0:g0 + int(rng.integers(1, 16)), s] = True

    for matrix in (open_, high, low, close):
        matrix[missing] = np.nan

    return Market(
        dates=business_days("2014-01-02", n),
        names=np.array(_tickers(rng, stocks), dtype=object),
        open=open_, high=high, low=low, close=close,
        delisting_bars=delisting, listing_bars=listing,
        suspended_stocks=suspended,
    )


# ----------------------------------------------------------------------------
# Strategy
# ----------------------------------------------------------------------------


def month_end_bars(dates: np.ndarray) -> np.ndarray:
    """Indices of the last bar of every month; the final bar always counts,
    so that the run ends with the orders for the next session."""
    months = dates.astype("datetime64[ns]").astype("datetime64[M]")
    ends = np.flatnonzero(months[:-1] != months[1:])
    return np.append(ends, len(dates) - 1).astype(np.int64)


def momentum_weights(market: Market, signal_bars: np.ndarray, top: int,
                     lookback: int, skip: int) -> tuple[np.ndarray, np.ndarray]:
    """Target weights at each signal bar from which `lookback` bars of history exist.

    Score = close `skip` bars ago / close `lookback` bars ago - 1, using closes
    up to the signal bar only. A stock is eligible when the three closes (now,
    `skip` and `lookback` bars ago) exist and no delisting is announced within
    the next five bars. The `top` best scores get 1/`top` each.

    Returns (pos_values, pos_index): one row per usable signal bar.
    """
    close = market.close
    bars = signal_bars[signal_bars >= lookback]
    weights = np.zeros((len(bars), market.n_stocks))
    delist = market.delisting_bars
    for row, t in enumerate(bars):
        score = close[t - skip] / close[t - lookback] - 1.0
        ok = np.isfinite(score) & np.isfinite(close[t])
        ok &= ~((delist >= 0) & (delist <= t + 5))
        candidates = np.flatnonzero(ok)
        chosen = candidates[np.argsort(-score[candidates], kind="stable")[:top]]
        weights[row, chosen] = 1.0 / top
    return weights, market.dates[bars]


# ----------------------------------------------------------------------------
# Run
# ----------------------------------------------------------------------------


@dataclass
class DemoResult:
    """Everything one demo run used and produced."""

    market: Market
    top: int
    lookback: int
    skip: int
    rules: dict[str, Any]
    pos_values: np.ndarray
    pos_index: np.ndarray
    resample: np.ndarray
    value_path: np.ndarray
    trades: list  # rows of get_trade_stocks
    profiles: list  # excursion profile of each trade, same order
    operations: dict  # get_stock_operations()
    start_bar: int  # first bar on or after the first position date
    engine_seconds: float
    total_seconds: float = 0.0
    extra: dict = field(default_factory=dict)


def run_demo(seed: int = DEFAULT_SEED, stocks: int = DEFAULT_STOCKS,
             years: float = DEFAULT_YEARS, top: int = DEFAULT_TOP,
             **rules: Any) -> DemoResult:
    """Generates the market, builds the weights and runs ``backtest_``."""
    t0 = time.perf_counter()
    unknown = set(rules) - set(DEFAULT_RULES)
    if unknown:
        raise TypeError(f"unknown rule(s): {', '.join(sorted(unknown))}")
    if top < 1:
        raise ValueError("top must be at least 1")
    settings = {**DEFAULT_RULES, **rules}

    market = make_market(seed, stocks, years)
    # 12-1 month momentum; on data shorter than three years the look-back
    # shrinks to a third of the data so that short runs still trade.
    skip = 21
    lookback = min(BARS_PER_YEAR, max(2 * skip, market.n_bars // 3))
    signals = month_end_bars(market.dates)
    pos_values, pos_index = momentum_weights(market, signals, top, lookback, skip)
    if len(pos_index) == 0:
        raise ValueError(
            f"{market.n_bars} bars leave no month end after the {lookback}-bar "
            "momentum look-back; use more years")

    # price_values is the price at which the engine fills and marks positions
    # on each bar. A rebalance decided on the close of a month end is executed
    # on the following bar, and a close-mode exit seen on one bar's close is
    # executed on the next bar: with the open as trading price both fill at
    # the next session's open, after the information they used. The value
    # path is still reported at the close (holdings x close / open).
    resample = market.dates[signals]
    start = time.perf_counter()
    value_path = tradesim.backtest_(
        market.open, market.close, market.high, market.low, market.open,
        market.dates, market.names, pos_values, pos_index, market.names,
        resample, delisting_bars=market.delisting_bars, **settings)
    engine_seconds = time.perf_counter() - start

    trades, _ = tradesim.get_trade_stocks(market.names, market.dates,
                                          settings["touched_exit"])
    # The excursion module refills its lists in place on the next run: copy.
    profiles = [np.array(p, copy=True) for p in excursion.excursion]
    operations = {key: dict(value) if isinstance(value, dict) else value
                  for key, value in tradesim.get_stock_operations().items()}

    start_bar = int(np.searchsorted(market.dates, pos_index[0], side="left"))
    result = DemoResult(
        market=market, top=top, lookback=lookback, skip=skip, rules=settings,
        pos_values=pos_values, pos_index=pos_index, resample=resample,
        value_path=value_path, trades=trades, profiles=profiles,
        operations=operations, start_bar=start_bar,
        engine_seconds=engine_seconds)
    result.total_seconds = time.perf_counter() - t0
    return result


# ----------------------------------------------------------------------------
# Report figures
# ----------------------------------------------------------------------------


def max_drawdown(path: np.ndarray) -> tuple[float, int, int]:
    """(worst fall from a running peak, peak bar, trough bar) of a value path."""
    peaks = np.maximum.accumulate(path)
    falls = path / peaks - 1.0
    trough = int(np.argmin(falls))
    peak = int(np.argmax(path[:trough + 1]))
    return float(falls[trough]), peak, trough


@dataclass
class TradeView:
    stock: str
    entry_bar: int
    exit_bar: int  # -1 while open
    holding_bars: int
    ret: float  # exit group: cumulative return - 1
    mae: float  # exit group: maximum adverse excursion
    mfe: float  # exit group: maximum favourable excursion


def trade_views(result: DemoResult) -> list[TradeView]:
    views = []
    for row, profile in zip(result.trades, result.profiles):
        exit_group = profile[-6:]
        views.append(TradeView(
            stock=str(row[0]), entry_bar=int(row[7]), exit_bar=int(row[8]),
            holding_bars=int(row[6]), ret=float(exit_group[_RET]),
            mae=float(exit_group[_MAE]), mfe=float(exit_group[_MFE])))
    return views


def summarize(result: DemoResult) -> dict[str, Any]:
    """The report's figures, computed from the value path, trades and profiles."""
    path = result.value_path
    active = path[result.start_bar:]
    years = (len(active) - 1) / BARS_PER_YEAR
    total = path[-1] / path[0] - 1.0
    growth = path[-1] / path[result.start_bar]
    annual = growth ** (1.0 / years) - 1.0 if years > 0 and growth > 0 else math.nan
    daily = active[1:] / active[:-1] - 1.0
    vol = float(np.std(daily, ddof=1) * math.sqrt(BARS_PER_YEAR)) if len(daily) > 1 else math.nan
    dd, peak, trough = max_drawdown(path)

    views = trade_views(result)
    closed = [v for v in views if v.exit_bar >= 0]
    returns = np.array([v.ret for v in views])
    return {
        "total_return": float(total),
        "annual_return": float(annual),
        "annual_volatility": vol,
        "max_drawdown": dd,
        "drawdown_peak_bar": peak,
        "drawdown_trough_bar": trough,
        "trades": len(views),
        "open_trades": len(views) - len(closed),
        "win_rate": float(np.mean(returns > 0)) if len(views) else math.nan,
        "avg_holding_bars": float(np.mean([v.holding_bars for v in closed])) if closed else math.nan,
        "best": sorted(views, key=lambda v: v.ret, reverse=True)[:5],
        "worst": sorted(views, key=lambda v: v.ret)[:5],
        "median_mae": float(np.median([v.mae for v in views])) if views else math.nan,
        "median_mfe": float(np.median([v.mfe for v in views])) if views else math.nan,
        "rebalances": len(result.pos_index),
    }


# ----------------------------------------------------------------------------
# Printing
# ----------------------------------------------------------------------------


def day(dates: np.ndarray, bar: int) -> str:
    return str(np.datetime64(int(dates[bar]), "ns").astype("datetime64[D]"))


def _pct(x: float, digits: int = 2) -> str:
    return "n/a" if not math.isfinite(x) else f"{100.0 * x:.{digits}f}%"


def _rules_line(rules: dict[str, Any]) -> str:
    tp = rules["take_profit"]
    ts = rules["trail_stop"]
    parts = [
        f"stop-loss {_pct(abs(rules['stop_loss']), 1)}",
        "no take-profit" if math.isinf(tp) else f"take-profit {_pct(abs(tp), 1)}",
        "no trailing stop" if math.isinf(ts) else
        f"trailing stop {_pct(abs(ts), 1)} once up {_pct(abs(rules['trail_stop_activation']), 1)}",
    ]
    return ", ".join(parts)


def format_report(result: DemoResult, summary: dict[str, Any] | None = None) -> str:
    s = summary if summary is not None else summarize(result)
    m = result.market
    r = result.rules
    dates = m.dates
    lines: list[str] = []
    add = lines.append
    late = int(np.count_nonzero(m.listing_bars > 0))
    delisted = int(np.count_nonzero(m.delisting_bars >= 0))
    mode = ("touched: intrabar at the stop level (the open on a gap)" if r["touched_exit"]
            else "close: seen on the close, filled at the next open")

    add("mirelo.core demo: monthly momentum portfolio on a synthetic market")
    add("=" * 68)
    add(f"Data       {m.n_stocks} stocks, {m.n_bars} daily bars, "
        f"{day(dates, 0)} to {day(dates, m.n_bars - 1)}")
    add(f"           {late} late listings, {m.suspended_stocks} stocks with "
        f"suspensions, {delisted} delistings")
    add(f"Strategy   top {result.top} by {result.lookback}-{result.skip} bar momentum, "
        f"equal weight, {s['rebalances']} month-end signals")
    add("           trading price = open: orders decided on a close fill at the next open")
    add(f"Rules      fee {_pct(r['fee_ratio'], 4)}, tax {_pct(r['tax_ratio'], 3)}, {_rules_line(r)}")
    add(f"           exits {mode}")
    add(f"           excursion window {r['excursion_window']} bars, "
        f"step {r['excursion_window_step']}")
    add("")
    add(f"Performance  {day(dates, result.start_bar)} to {day(dates, m.n_bars - 1)}")
    add(f"  Total return            {_pct(s['total_return']):>9}")
    add(f"  Annualised return       {_pct(s['annual_return']):>9}")
    add(f"  Annualised volatility   {_pct(s['annual_volatility']):>9}")
    add(f"  Maximum drawdown        {_pct(s['max_drawdown']):>9}   "
        f"(peak {day(dates, s['drawdown_peak_bar'])}, "
        f"trough {day(dates, s['drawdown_trough_bar'])})")
    add("")
    add("Trades")
    add(f"  Number of trades        {s['trades']:>9}   ({s['open_trades']} still open)")
    add(f"  Win rate                {_pct(s['win_rate'], 1):>9}")
    hold = s["avg_holding_bars"]
    hold_text = f"{hold:.1f}" if math.isfinite(hold) else "n/a"
    add(f"  Average holding period  {hold_text:>9}   bars (closed trades)")

    def trade_table(title: str, views: list[TradeView]) -> None:
        add(f"  {title}")
        add(f"    {'stock':<6} {'entry':<10}  {'exit':<10}  {'bars':>5}  {'return':>8}")
        for v in views:
            exit_day = day(dates, v.exit_bar) if v.exit_bar >= 0 else "open"
            add(f"    {v.stock:<6} {day(dates, v.entry_bar):<10}  {exit_day:<10}  "
                f"{v.holding_bars:>5}  {_pct(v.ret):>8}")

    trade_table("Five best trades", s["best"])
    trade_table("Five worst trades", s["worst"])
    add("")
    add("Excursions (at each trade's exit bar)")
    add(f"  Median maximum adverse excursion     {_pct(s['median_mae']):>8}")
    add(f"  Median maximum favourable excursion  {_pct(s['median_mfe']):>8}")
    add("")
    add(_operations_text(result))
    add("")
    add("Notes")
    add("  A trade's return is its cumulative return at the exit bar from the excursion")
    add("  profile, net of the entry fee. It includes the exit fee and tax, and the fill")
    add("  at the exit bar's trading price, when the trade lasted at least the excursion")
    add(f"  window ({r['excursion_window']} bars); a shorter trade is valued at the exit")
    add("  bar's close before exit costs, and a touched exit at the trading price rather")
    add("  than at the stop level. Open trades are marked at the last close without exit")
    add("  costs.")
    add("  Actions: enter/exit/hold are the orders of the rebalance due after the last")
    add("  bar; sl_/tp_ mark stocks closed by a stop-loss/profit exit since the last")
    add("  rebalance; sl/tp an exit seen on the last bar, to be filled at the next open.")
    add(f"Run time: backtest_ {1000.0 * result.engine_seconds:.0f} ms, whole demo "
        f"{result.total_seconds:.2f} s")
    return "\n".join(lines)


def _operations_text(result: DemoResult) -> str:
    ops = result.operations
    names = result.market.names
    actions = ops.get("actions", {})
    weights = ops.get("weights", {})
    next_weights = ops.get("next_weights", {})
    pos_index = result.pos_index
    weight_time = ops.get("weight_time", -1)
    current = (f"the signal of {_date_text(pos_index[weight_time])}" if weight_time >= 0
               else "no rebalance yet")
    out = [
        "Final operations",
        f"  current weights: {current}; next weights: the signal of "
        f"{_date_text(pos_index[ops.get('next_weight_time', 0)])}",
    ]
    counts: dict[str, int] = {}
    for label in actions.values():
        counts[label] = counts.get(label, 0) + 1
    if counts:
        out.append("  actions: " + ", ".join(f"{k} {v}" for k, v in sorted(counts.items())))
    else:
        out.append("  actions: none (no rebalance due after the last bar)")
    sids = sorted(set(actions) | {k for k, w in weights.items() if w != 0}
                  | {k for k, w in next_weights.items() if w != 0},
                  key=lambda k: (actions.get(k, "~"), str(names[k])))
    out.append(f"    {'stock':<6} {'action':<9} {'weight':>8}  {'next':>8}")
    for sid in sids:
        out.append(f"    {str(names[sid]):<6} {actions.get(sid, '-'):<9} "
                   f"{_pct(float(weights.get(sid, 0.0))):>8}  "
                   f"{_pct(float(next_weights.get(sid, 0.0))):>8}")
    return "\n".join(out)


def _date_text(ns: int) -> str:
    return str(np.datetime64(int(ns), "ns").astype("datetime64[D]"))


# ----------------------------------------------------------------------------
# Plot
# ----------------------------------------------------------------------------


PLOT_HINT = ("--plot needs matplotlib, which is not installed: "
             "pip install matplotlib  (or the plot extra: pip install 'mirelo-core[plot]')")


def plot_result(result: DemoResult, path: str) -> None:
    """Writes a PNG: value path with its drawdown, and MAE against MFE per trade."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    m = result.market
    days = m.dates.astype("datetime64[ns]")
    value = result.value_path
    drawdown = value / np.maximum.accumulate(value) - 1.0
    views = trade_views(result)
    mae = np.array([v.mae for v in views]) * 100.0
    mfe = np.array([v.mfe for v in views]) * 100.0
    won = np.array([v.ret > 0 for v in views], dtype=bool)

    fig = plt.figure(figsize=(13, 6.5))
    grid = fig.add_gridspec(2, 2, height_ratios=(3, 1), width_ratios=(1.6, 1))
    ax_value = fig.add_subplot(grid[0, 0])
    ax_dd = fig.add_subplot(grid[1, 0], sharex=ax_value)
    ax_exc = fig.add_subplot(grid[:, 1])

    ax_value.plot(days, value, color="tab:blue", lw=1.0)
    ax_value.set_ylabel("portfolio value (start = 1)")
    ax_value.set_title("Monthly momentum portfolio")
    ax_value.grid(True, alpha=0.3)
    ax_dd.fill_between(days, drawdown * 100.0, 0.0, color="tab:red", alpha=0.5, lw=0)
    ax_dd.set_ylabel("drawdown %")
    ax_dd.grid(True, alpha=0.3)

    ax_exc.scatter(mae[won], mfe[won], s=10, alpha=0.5, color="tab:green", label="winning trade")
    ax_exc.scatter(mae[~won], mfe[~won], s=10, alpha=0.5, color="tab:red", label="losing trade")
    ax_exc.set_xlabel("maximum adverse excursion %")
    ax_exc.set_ylabel("maximum favourable excursion %")
    ax_exc.set_title(f"Excursions of {len(views)} trades")
    ax_exc.grid(True, alpha=0.3)
    ax_exc.legend(loc="upper left")

    fig.tight_layout()
    fig.savefig(path, dpi=100)
    plt.close(fig)


# ----------------------------------------------------------------------------
# Command line
# ----------------------------------------------------------------------------


def build_parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog="python -m mirelo.core.demo",
        description="Backtest a monthly momentum portfolio on a synthetic market "
                    "and print a report.")
    d = DEFAULT_RULES
    p.add_argument("--exit", choices=("close", "touched"), default="close",
                   help="close: exits seen on the close fill at the next open; "
                        "touched: exits fill within the bar at the level (default close)")
    p.add_argument("--fee", type=float, default=d["fee_ratio"], help="fee ratio per trade")
    p.add_argument("--tax", type=float, default=d["tax_ratio"], help="tax ratio on sales")
    p.add_argument("--stop-loss", type=float, default=d["stop_loss"], help="stop-loss fraction")
    p.add_argument("--take-profit", type=float, default=d["take_profit"],
                   help="take-profit fraction (default inf: none)")
    p.add_argument("--trail-stop", type=float, default=d["trail_stop"],
                   help="trailing stop distance (inf: none)")
    p.add_argument("--trail-activation", type=float, default=d["trail_stop_activation"],
                   help="gain that arms the trailing stop")
    p.add_argument("--window", type=int, default=d["excursion_window"],
                   help="excursion window in bars")
    p.add_argument("--window-step", type=int, default=d["excursion_window_step"],
                   help="excursion sample step in bars")
    p.add_argument("--seed", type=int, default=DEFAULT_SEED, help="market seed")
    p.add_argument("--stocks", type=int, default=DEFAULT_STOCKS, help="number of stocks")
    p.add_argument("--years", type=float, default=DEFAULT_YEARS, help="years of daily bars")
    p.add_argument("--top", type=int, default=DEFAULT_TOP, help="stocks held")
    p.add_argument("--plot", metavar="FILE.png", help="also draw the results into a PNG file")
    return p


def main(argv: list[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    if args.plot:
        try:
            import matplotlib  # noqa: F401
        except ImportError:
            print(PLOT_HINT, file=sys.stderr)
            return 2
    if args.window < 0 or args.window_step < 1:
        print("error: --window must be >= 0 and --window-step >= 1", file=sys.stderr)
        return 2
    rules = {
        "touched_exit": args.exit == "touched",
        "fee_ratio": args.fee,
        "tax_ratio": args.tax,
        "stop_loss": args.stop_loss,
        "take_profit": args.take_profit,
        "trail_stop": args.trail_stop,
        "trail_stop_activation": args.trail_activation,
        "excursion_window": args.window,
        "excursion_window_step": args.window_step,
    }
    try:
        result = run_demo(seed=args.seed, stocks=args.stocks, years=args.years,
                          top=args.top, **rules)
    except ValueError as err:
        print(f"error: {err}", file=sys.stderr)
        return 2
    print(format_report(result))
    if args.plot:
        plot_result(result, args.plot)
        print(f"Plot written to {args.plot}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
