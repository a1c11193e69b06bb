"""A complete backtest on a synthetic market, with a readable report.

Run it with::

    python -m mirelo.demo                 # report on the default market
    python -m mirelo.demo --plot run.png  # also draw the value path and excursions
    python -m mirelo.demo --report run.html   # also write the HTML report
    python -m mirelo.demo --sweep         # a stop-loss x take-profit grid instead
    python -m mirelo.demo --sweep --plot grid.png   # and its Sharpe ratio heatmap
    python -m mirelo.demo --validate      # the grid through walk-forward and CPCV

The market is generated in code from a seed, so every run with the same options
prints the same report. It has a few hundred stocks over about ten years of
business days with open/high/low/close prices, late listings (leading NaN),
suspensions (NaN gaps) and delistings (trailing NaN and a delisting date).

The strategy rebalances at every month end into the top stocks of a momentum
score at equal weight, with a stop-loss, a trailing stop armed after a gain and
an excursion window. It runs through ``mirelo.backtest`` on date-indexed frames,
and the report is built from the ``mirelo.Result``: its statistics (from
empyrical-reloaded), trades, excursions and final operations.

With ``--sweep`` the same strategy runs over a stop-loss x take-profit grid
through ``mirelo.sweep``; the report lists the best trials and says how much
the best one owes to the number of trials (deflated Sharpe ratio, probability
of backtest overfitting).

Each step is a small function (``make_market``, ``month_end_bars``,
``momentum_weights``, ``market_frames``, ``build_strategy``, ``run_demo``,
``summarize``, ``format_report``, ``plot_result``, ``market_benchmark``,
``market_sectors``, ``write_report``, ``run_sweep_demo``,
``format_sweep_report``, ``plot_sweep``) so that they can be reused or called
at a small size.
"""

from __future__ import annotations

import argparse
import math
import sys
import time
from dataclasses import dataclass
from typing import Any

import numpy as np
import pandas as pd

import mirelo
from mirelo._inputs import RULE_DEFAULTS, RULES, check_rules

BARS_PER_YEAR = 252

DEFAULT_SEED = 7
DEFAULT_STOCKS = 300
DEFAULT_YEARS = 10.0
DEFAULT_TOP = 20

# Trading rules of the demo strategy: the engine's defaults (its rule table) but
# for these; any rule can be overridden through run_demo(**rules), and some on
# the command line.
DEMO_RULES: dict[str, Any] = {
    "stop_loss": 0.10,
    "trail_stop": 0.10,
    "trail_stop_activation": 0.15,
    # A stock that stays in the top list keeps one trade across rebalances:
    # resizing it does not close and reopen the trade in the ledger, and its
    # stop levels stay measured from the original entry.
    "retain_cost_when_rebalance": True,
    "excursion_window": 20,
    "excursion_window_step": 5,
}
DEFAULT_RULES: dict[str, Any] = {**RULE_DEFAULTS, **DEMO_RULES}

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
        return int(self.close.shape[0])

    @property
    def n_stocks(self) -> int:
        return int(self.close.shape[1])


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


def market_frames(market: Market) -> dict[str, pd.DataFrame]:
    """The price matrices as date x stock frames over the market's own arrays (no copy)."""
    index = pd.DatetimeIndex(market.dates.astype("datetime64[ns]"), name="date")
    columns = pd.Index(market.names, name="stock")
    return {key: pd.DataFrame(getattr(market, key), index=index, columns=columns, copy=False)
            for key in ("open", "high", "low", "close")}


def delisting_dates(market: Market) -> pd.Series:
    """Stock -> date of its last bar, for the stocks that are delisted."""
    gone = market.delisting_bars >= 0
    dates = market.dates[market.delisting_bars[gone]].astype("datetime64[ns]")
    return pd.Series(dates, index=market.names[gone])


@dataclass
class DemoResult:
    """Everything one demo run used and produced."""

    market: Market
    top: int
    lookback: int
    skip: int
    rules: dict[str, Any]
    weights: pd.DataFrame  # target weights, one row per month-end signal
    rebalance: pd.DatetimeIndex  # month-end dates, and the final bar
    result: mirelo.Result
    backtest_seconds: float  # mirelo.backtest: checks, engine, result
    total_seconds: float = 0.0


@dataclass
class Strategy:
    """The demo market and the strategy's inputs to ``mirelo.backtest``."""

    market: Market
    top: int
    lookback: int
    skip: int
    weights: pd.DataFrame  # target weights, one row per month-end signal
    rebalance: pd.DatetimeIndex  # month-end dates, and the final bar
    # close, open, high, low, trade_at, rebalance, delisted: the market side of a backtest
    market_args: dict[str, Any]


def build_strategy(seed: int, stocks: int, years: float, top: int) -> Strategy:
    """Generates the market and the momentum weights."""
    if top < 1:
        raise ValueError("top must be at least 1")
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

    frames = market_frames(market)
    dates = pd.DatetimeIndex(frames["close"].index)
    weights = pd.DataFrame(pos_values, index=pd.DatetimeIndex(pos_index.astype("datetime64[ns]")),
                           columns=frames["close"].columns)
    rebalance = dates[signals]
    # Orders fill at the open: a rebalance decided on the close of a month end
    # is executed on the following bar, and a close-mode exit seen on one bar's
    # close is executed on the next bar, both at the next session's open, after
    # the information they used. The value path is still reported at the close.
    market_args = dict(close=frames["close"], open=frames["open"], high=frames["high"],
                       low=frames["low"], trade_at="open", rebalance=rebalance,
                       delisted=delisting_dates(market))
    return Strategy(market=market, top=top, lookback=lookback, skip=skip, weights=weights,
                    rebalance=rebalance, market_args=market_args)


def _check_rule_names(rules: dict[str, Any]) -> None:
    """TypeError for a keyword that is not one of the engine's rules."""
    check_rules(rules)


def run_demo(seed: int = DEFAULT_SEED, stocks: int = DEFAULT_STOCKS,
             years: float = DEFAULT_YEARS, top: int = DEFAULT_TOP,
             **rules: Any) -> DemoResult:
    """Generates the market, builds the weights and runs ``mirelo.backtest``."""
    t0 = time.perf_counter()
    _check_rule_names(rules)
    settings = {**DEFAULT_RULES, **rules}
    strategy = build_strategy(seed, stocks, years, top)
    args = dict(strategy.market_args)
    start = time.perf_counter()
    result = mirelo.backtest(args.pop("close"), strategy.weights, **args, **settings)
    backtest_seconds = time.perf_counter() - start

    demo = DemoResult(market=strategy.market, top=top, lookback=strategy.lookback,
                      skip=strategy.skip, rules=settings, weights=strategy.weights,
                      rebalance=strategy.rebalance, result=result,
                      backtest_seconds=backtest_seconds)
    demo.total_seconds = time.perf_counter() - t0
    return demo


# ----------------------------------------------------------------------------
# Sweep
# ----------------------------------------------------------------------------

# The stop-loss x take-profit grid of --sweep (inf: no take-profit).
SWEEP_GRID: dict[str, list[float]] = {
    "stop_loss": [0.05, 0.08, 0.10, 0.15, 0.20, 0.30],
    "take_profit": [0.15, 0.25, 0.40, 0.60, 1.00, math.inf],
}
SWEEP_TOP_ROWS = 5
PBO_SPLITS = 16


@dataclass
class SweepDemo:
    """A stop-loss x take-profit sweep of the demo strategy and its overfitting figures."""

    strategy: Strategy
    rules: dict[str, Any]  # the rules every trial shares
    grid: dict[str, list[float]]
    sweep: mirelo.SweepResult
    deflated_sharpe: float
    pbo: float
    seconds: float  # the sweep itself


def run_sweep_demo(seed: int = DEFAULT_SEED, stocks: int = DEFAULT_STOCKS,
                   years: float = DEFAULT_YEARS, top: int = DEFAULT_TOP,
                   grid: dict[str, list[float]] | None = None, progress: bool = False,
                   **rules: Any) -> SweepDemo:
    """Runs the demo strategy over `grid` (default SWEEP_GRID) with ``mirelo.sweep``,
    keeping the returns for the probability of backtest overfitting; `rules` are the
    rules every trial shares (the demo's defaults otherwise)."""
    _check_rule_names(rules)
    grid = SWEEP_GRID if grid is None else grid
    fixed = {k: v for k, v in {**DEFAULT_RULES, **rules}.items() if k not in grid}
    strategy = build_strategy(seed, stocks, years, top)
    args = dict(strategy.market_args)
    start = time.perf_counter()
    swept = mirelo.sweep(args.pop("close"), strategy.weights, grid, **args,
                         progress=progress, keep_returns=True, holdings=True, **fixed)
    seconds = time.perf_counter() - start
    return SweepDemo(strategy=strategy, rules=fixed, grid=grid, sweep=swept,
                     deflated_sharpe=swept.deflated_sharpe(), pbo=swept.pbo(PBO_SPLITS),
                     seconds=seconds)


def _grid_value(x: float) -> str:
    return "none" if math.isinf(x) else _pct(x, 0)


def format_sweep_report(demo: SweepDemo) -> str:
    s, m, r = demo.strategy, demo.strategy.market, demo.rules
    table = demo.sweep.table
    ok = table[table["status"] == "ok"]
    dates = s.weights.index
    lines: list[str] = []
    add = lines.append
    add("mirelo demo: stop-loss x take-profit sweep of the monthly momentum portfolio")
    add("=" * 76)
    bars = s.market_args["close"].index
    add(f"Data       {m.n_stocks} stocks, {m.n_bars} daily bars, {day(bars[0])} to "
        f"{day(bars[-1])}")
    add(f"Strategy   top {s.top} by {s.lookback}-{s.skip} bar momentum, equal weight, "
        f"{len(s.weights)} month-end signals from {day(dates[0])}")
    for name, values in demo.grid.items():
        add(f"Grid       {name:<12} {' '.join(_grid_value(v) for v in values)}")
    trail = ("no trailing stop" if math.isinf(r["trail_stop"]) else
             f"trailing stop {_pct(r['trail_stop'], 1)} once up "
             f"{_pct(r['trail_stop_activation'], 1)}")
    add(f"Shared     fee {_pct(r['fee_ratio'], 4)}, tax {_pct(r['tax_ratio'], 3)}, {trail}, "
        f"exits {'touched' if r['touched_exit'] else 'on the close'}")
    add(f"Trials     {len(table)}: {len(ok)} ok, {len(table) - len(ok)} failed; "
        f"{demo.seconds:.2f} s")
    add("")
    add(f"Top {SWEEP_TOP_ROWS} trials by Sharpe ratio")
    add(f"  {'stop-loss':>9}  {'take-profit':>11}  {'sharpe':>6}  {'annual':>8}  "
        f"{'max dd':>8}  {'trades':>6}  {'win rate':>8}")
    for _, row in ok.sort_values("sharpe", ascending=False, kind="stable") \
            .head(SWEEP_TOP_ROWS).iterrows():
        add(f"  {_grid_value(row['stop_loss']):>9}  {_grid_value(row['take_profit']):>11}  "
            f"{_number(row['sharpe']):>6}  {_pct(row['annual_return']):>8}  "
            f"{_pct(row['max_drawdown']):>8}  {row['trades']:>6}  "
            f"{_pct(row['win_rate'], 1):>8}")
    add("")
    add("Overfitting")
    add(f"  Deflated Sharpe ratio   {_number(demo.deflated_sharpe, 3):>6}   probability that "
        "the best trial's true Sharpe")
    add(f"                                   ratio beats the best of {len(table)} trials "
        "by luck alone")
    add(f"  PBO                     {_number(demo.pbo, 3):>6}   probability that the "
        "in-sample best trial ranks")
    add(f"                                   below the median out of sample "
        f"({PBO_SPLITS} blocks of bars)")
    return "\n".join(lines)


def plot_sweep(demo: SweepDemo, path: str) -> None:
    """Writes a PNG heatmap of the Sharpe ratio over the grid."""
    ax = demo.sweep.plot("stop_loss", "take_profit", "sharpe")
    ax.set_title("Sharpe ratio by stop-loss and take-profit")
    ax.figure.savefig(path, dpi=110, bbox_inches="tight")


# ----------------------------------------------------------------------------
# Report figures
# ----------------------------------------------------------------------------


def summarize(demo: DemoResult) -> dict[str, Any]:
    """The report's figures: the result's statistics, plus the best and worst
    trades, the median excursions and the counts the report prints."""
    trades = demo.result.trades
    by_return = trades.sort_values("return", kind="stable")
    stats = {str(label): figure for label, figure in demo.result.stats().items()}
    return {
        **stats,
        "open_trades": int(trades["exit_date"].isna().sum()),
        "best": by_return.iloc[::-1].head(5),
        "worst": by_return.head(5),
        "median_mae": float(trades["mae"].median()),
        "median_mfe": float(trades["mfe"].median()),
        "rebalances": len(demo.weights),
    }


# ----------------------------------------------------------------------------
# Printing
# ----------------------------------------------------------------------------


def day(date: Any) -> str:
    """A date as YYYY-MM-DD ("n/a" for NaT)."""
    return "n/a" if pd.isna(date) else f"{pd.Timestamp(date):%Y-%m-%d}"


def _pct(x: float, digits: int = 2) -> str:
    return "n/a" if not math.isfinite(x) else f"{100.0 * x:.{digits}f}%"


def _number(x: float, digits: int = 2) -> str:
    return "n/a" if not math.isfinite(x) else f"{x:.{digits}f}"


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


def format_report(demo: DemoResult, summary: dict[str, Any] | None = None) -> str:
    s = summary if summary is not None else summarize(demo)
    m = demo.market
    r = demo.rules
    dates = demo.result.index
    lines: list[str] = []
    add = lines.append
    late = int(np.count_nonzero(m.listing_bars > 0))
    delisted = int(np.count_nonzero(m.delisting_bars >= 0))
    mode = ("touched: intrabar at the stop level (the open on a gap)" if r["touched_exit"]
            else "close: seen on the close, filled at the next open")

    add("mirelo demo: monthly momentum portfolio on a synthetic market")
    add("=" * 68)
    add(f"Data       {m.n_stocks} stocks, {m.n_bars} daily bars, "
        f"{day(dates[0])} to {day(dates[-1])}")
    add(f"           {late} late listings, {m.suspended_stocks} stocks with "
        f"suspensions, {delisted} delistings")
    add(f"Strategy   top {demo.top} by {demo.lookback}-{demo.skip} bar momentum, "
        f"equal weight, {s['rebalances']} month-end signals")
    add("           trading price = open: orders decided on a close fill at the next open")
    add(f"Rules      fee {_pct(r['fee_ratio'], 4)}, tax {_pct(r['tax_ratio'], 3)}, {_rules_line(r)}")
    add(f"           exits {mode}")
    add(f"           excursion window {r['excursion_window']} bars, "
        f"step {r['excursion_window_step']}")
    add("")
    add(f"Performance  {day(s['start'])} to {day(s['end'])}  "
        f"({s['periods_per_year']:.0f} bars a year, risk-free rate 0)")
    add(f"  Total return            {_pct(s['total_return']):>9}")
    add(f"  Annualised return       {_pct(s['annual_return']):>9}")
    add(f"  Annualised volatility   {_pct(s['annual_volatility']):>9}")
    add(f"  Sharpe ratio            {_number(s['sharpe']):>9}")
    add(f"  Sortino ratio           {_number(s['sortino']):>9}")
    add(f"  Maximum drawdown        {_pct(s['max_drawdown']):>9}   "
        f"(peak {day(s['max_drawdown_peak'])}, trough {day(s['max_drawdown_trough'])}, "
        f"recovered {day(s['max_drawdown_recovery'])})")
    add(f"  Calmar ratio            {_number(s['calmar']):>9}")
    add(f"  Exposure                {_pct(s['exposure'], 1):>9}   (bars ending with a position)")
    add(f"  Turnover                {_number(s['turnover']):>9}   "
        "a year (one-way, money traded over value)")
    add("")
    add("Trades")
    add(f"  Number of trades        {s['trades']:>9}   ({s['open_trades']} still open)")
    add(f"  Win rate                {_pct(s['win_rate'], 1):>9}")
    add(f"  Profit factor           {_number(s['profit_factor']):>9}")
    add(f"  Average holding period  {_number(s['avg_bars_held'], 1):>9}   bars (closed trades)")

    def trade_table(title: str, trades: pd.DataFrame) -> None:
        add(f"  {title}")
        add(f"    {'stock':<6} {'entry':<10}  {'exit':<10}  {'bars':>5}  {'return':>8}")
        for t in trades.to_dict("records"):
            exit_day = "open" if pd.isna(t["exit_date"]) else day(t["exit_date"])
            add(f"    {t['stock']:<6} {day(t['entry_date']):<10}  {exit_day:<10}  "
                f"{t['bars_held']:>5}  {_pct(t['return']):>8}")

    trade_table("Five best trades", s["best"])
    trade_table("Five worst trades", s["worst"])
    add("")
    add("Excursions (at each trade's exit bar)")
    add(f"  Median maximum adverse excursion     {_pct(s['median_mae']):>8}")
    add(f"  Median maximum favourable excursion  {_pct(s['median_mfe']):>8}")
    add(f"  Mean MAE / MFE                       {_pct(s['avg_mae']):>8} / {_pct(s['avg_mfe'])}")
    add("")
    add(_operations_text(demo))
    add("")
    add("Notes")
    add("  Statistics from empyrical-reloaded on the bar returns after the first signal.")
    add("  A trade's return is the money it made over the money it was entered with, as")
    add("  the engine booked them: the exit's proceeds after fee and tax against the")
    add("  entry's cost with its fee (money a resize added counts in, money it took out")
    add("  counts out); open trades are valued at the last close without exit costs. It")
    add(f"  does not depend on the excursion window ({r['excursion_window']} bars), which")
    add("  only shapes the MAE/MFE profiles.")
    add("  Actions: enter/exit/hold are the orders of the rebalance due after the last")
    add("  bar; sl_/tp_ mark stocks closed by a stop-loss/profit exit since the last")
    add("  rebalance; sl/tp an exit seen on the last bar, to be filled at the next open.")
    add(f"Run time: mirelo.backtest {1000.0 * demo.backtest_seconds:.0f} ms, whole demo "
        f"{demo.total_seconds:.2f} s")
    return "\n".join(lines)


def _operations_text(demo: DemoResult) -> str:
    ops = demo.result.operations
    actions, weights, next_weights = ops["actions"], ops["weights"], ops["next_weights"]
    current = (f"the signal of {day(ops['weight_date'])}" if pd.notna(ops["weight_date"])
               else "no rebalance yet")
    out = [
        "Final operations",
        f"  current weights: {current}; next weights: the signal of "
        f"{day(ops['next_weight_date'])}",
    ]
    counts = actions.value_counts().sort_index()
    if len(counts):
        out.append("  actions: " + ", ".join(f"{k} {v}" for k, v in counts.items()))
    else:
        out.append("  actions: none (no rebalance due after the last bar)")
    stocks = set(actions.index) | set(weights.index[weights != 0]) \
        | set(next_weights.index[next_weights != 0])
    order = sorted(stocks, key=lambda k: (actions.get(k, "~"), str(k)))
    out.append(f"    {'stock':<6} {'action':<9} {'weight':>8}  {'next':>8}")
    for stock in order:
        out.append(f"    {str(stock):<6} {actions.get(stock, '-'):<9} "
                   f"{_pct(float(weights.get(stock, 0.0))):>8}  "
                   f"{_pct(float(next_weights.get(stock, 0.0))):>8}")
    return "\n".join(out)


# ----------------------------------------------------------------------------
# Plot
# ----------------------------------------------------------------------------


PLOT_HINT = ("--plot and --report need matplotlib, which is not installed: "
             "pip install matplotlib  (or, from the mirelo checkout: pip install '.[plot]')")


def plot_result(demo: DemoResult, path: str) -> None:
    """Writes a PNG: value path with its drawdown, and MAE against MFE per trade."""
    demo.result.plot(path, title="Monthly momentum portfolio")


def market_benchmark(market: Market) -> pd.Series:
    """The market's equal-weight index as bar returns: the mean close-to-close return of
    the stocks with both closes (0 on the first bar and where no stock has one)."""
    close = market.close
    moves = close[1:] / close[:-1] - 1.0
    priced = np.isfinite(moves)
    counts = priced.sum(axis=1)
    sums = np.where(priced, moves, 0.0).sum(axis=1)
    means = np.divide(sums, counts, out=np.zeros_like(sums), where=counts > 0)
    index = pd.DatetimeIndex(market.dates.astype("datetime64[ns]"), name="date")
    return pd.Series(np.concatenate(([0.0], means)), index=index,
                     name="market (equal weight)")


SECTORS = 8


def market_sectors(market: Market) -> pd.Series:
    """A sector for every stock, for the report's contributions by group. The synthetic
    market has no sectors of its own (one factor moves every stock): stock k is put in
    "sector k mod 8", so that the groups only show how the report splits a return."""
    return pd.Series([f"sector {k % SECTORS + 1}" for k in range(len(market.names))],
                     index=market.names, name="sector")


def write_report(demo: DemoResult, path: str) -> None:
    """Writes the HTML report of the run, against the market's equal-weight index, with
    the contributions by (synthetic) sector."""
    demo.result.report(path, benchmark=market_benchmark(demo.market),
                       title=f"Monthly momentum portfolio: top {demo.top} of "
                             f"{demo.market.n_stocks} stocks", benchmark_kind="returns",
                       by=market_sectors(demo.market))


# ----------------------------------------------------------------------------
# Command line
# ----------------------------------------------------------------------------


def build_parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog="python -m mirelo.demo",
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
    p.add_argument("--plot", metavar="FILE.png", help="also draw the results into a PNG file "
                   "(with --sweep: a heatmap of the Sharpe ratio over the grid)")
    p.add_argument("--report", metavar="FILE.html",
                   help="also write an HTML report (statistics against the market's "
                        "equal-weight index, figures, monthly returns, trades by exit reason)")
    p.add_argument("--sweep", action="store_true",
                   help="run a stop-loss x take-profit grid instead of one backtest and "
                        "print its best trials, deflated Sharpe ratio and PBO; the other "
                        "rules apply to every trial")
    p.add_argument("--validate", action="store_true",
                   help="choose a trial of the --sweep grid on training windows and "
                        "measure it on the windows after them (walk-forward, then a "
                        "combinatorial purged cross-validation summary)")
    return p


def main(argv: list[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    if args.sweep and args.report:
        print("error: --report writes the report of one backtest; drop --sweep",
              file=sys.stderr)
        return 2
    if args.plot or args.report:
        try:
            import matplotlib  # noqa: F401
        except ImportError:
            print(PLOT_HINT, file=sys.stderr)
            return 2
    if _below_range(args.window, "excursion_window") \
            or _below_range(args.window_step, "excursion_window_step"):
        print(f"error: --window must be {RULES['excursion_window'].range} and --window-step "
              f"{RULES['excursion_window_step'].range}", file=sys.stderr)
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
    if args.sweep or args.validate:
        return _sweep_main(args, rules)
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
    if args.report:
        write_report(result, args.report)
        print(f"Report written to {args.report}")
    return 0


def _below_range(value: float, rule: str) -> bool:
    minimum = RULES[rule].minimum
    return minimum is not None and value < minimum


def _sweep_main(args: argparse.Namespace, rules: dict[str, Any]) -> int:
    if (rules["stop_loss"], rules["take_profit"]) != (DEFAULT_RULES["stop_loss"],
                                                      DEFAULT_RULES["take_profit"]):
        option = "--validate" if args.validate else "--sweep"
        print(f"error: {option} takes the stop-loss and take-profit from its grid; drop "
              "--stop-loss and --take-profit", file=sys.stderr)
        return 2
    if args.validate:
        from mirelo.demo_validate import validate_main

        try:
            print(validate_main(args.seed, args.stocks, args.years, args.top, args.plot, rules))
        except ValueError as err:
            print(f"error: {err}", file=sys.stderr)
            return 2
        return 0
    shared = {k: v for k, v in rules.items() if k not in SWEEP_GRID}
    try:
        result = run_sweep_demo(seed=args.seed, stocks=args.stocks, years=args.years,
                                top=args.top, progress=True, **shared)
    except ValueError as err:
        print(f"error: {err}", file=sys.stderr)
        return 2
    print(format_sweep_report(result))
    if args.plot:
        plot_sweep(result, args.plot)
        print(f"Plot written to {args.plot}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
