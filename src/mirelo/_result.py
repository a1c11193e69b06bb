"""The result of a backtest: the engine's arrays, with pandas views built on first use."""

from __future__ import annotations

import pathlib
from collections.abc import Callable, Mapping
from functools import cached_property
from typing import TYPE_CHECKING, Any, TypeVar

import numpy as np
import pandas as pd

from mirelo import _holdings
from mirelo._benchmark import Benchmark, align_benchmark, with_benchmark
from mirelo._contribution import contribution, stock_contribution
from mirelo._frames import copy_on_write
from mirelo._inputs import Inputs
from mirelo._orders import order_sheet
from mirelo._profiles import FIELDS, GROUP_SIZE, at_exit, group_count
from mirelo._stats import check_periods_per_year, period_returns, result_stats, trade_returns
from mirelo.core.batch import EXIT_REASONS

if TYPE_CHECKING:
    from matplotlib.figure import Figure

_Documented = TypeVar("_Documented", bound=Callable[..., Any])


def _listing_exit_reasons(func: _Documented) -> _Documented:
    """Writes the exit reasons the engine declares into `func`'s docstring, in place of
    ``(EXIT_REASONS)``: their quoted names in table order, in parentheses."""
    if func.__doc__ is not None:  # None under python -OO
        names = [f'"{name}"' for name in EXIT_REASONS]
        listed = f"({', '.join(names[:-1])}, or {names[-1]})"
        func.__doc__ = func.__doc__.replace("(EXIT_REASONS)", listed)
    return func


class Result:
    """A backtest's value path, trades, excursion profiles and final operations.

    Holds the engine's arrays (``run_result``) and the inputs they came from; the pandas
    views below are built on first access and kept. Nothing here refers to module state,
    so results of runs in different threads are independent.

    - ``value``: Series of the portfolio value on the close index, 1.0 at the start;
    - ``returns``: its simple bar returns (0.0 on the first bar);
    - ``trades``: one row per trade (see the property);
    - ``excursions``: the trades' excursion profiles, one row per trade and offset;
    - ``operations``: the orders and weights due after the last bar, by stock;
    - what the run held (when run with the holdings record, as ``mirelo.backtest`` does by
      default): ``positions``, ``positions_value``, ``exposure``, ``turnover``, ``costs``
      and ``contribution()``;
    - ``stats()``: performance statistics, against a benchmark when given; ``plot()``:
      value, drawdown and excursions; ``report()``: all of it as one HTML file;
    - ``orders()``: the orders that take an account to the run's next targets.
    """

    def __init__(self, inputs: Inputs, run_result: Any, rules: dict[str, Any],
                 periods_per_year: float | None = None) -> None:
        self.inputs = inputs
        self.run_result = run_result
        self.rules = rules
        self.periods_per_year = check_periods_per_year(periods_per_year)

    def __repr__(self) -> str:
        total = float(self.run_result.value[-1]) - 1.0
        return (f"<mirelo.Result: {len(self.index)} bars x {len(self.inputs.columns)} stocks, "
                f"{len(self.run_result.trades)} trades, total return {100.0 * total:.2f}%>")

    @property
    def index(self) -> pd.DatetimeIndex:
        """The close index: one date per bar."""
        return self.inputs.index

    @cached_property
    def start_bar(self) -> int:
        """Where statistics start: the last bar on or before the first weights date (whose
        schedule trades the first row on the next bar; the value is 1.0 up to it), bar 0
        when the weights start before the first bar, and one past the last bar when they
        start after it."""
        first = self.inputs.targets.pos_index[0]
        dates = self.inputs.market.price_index
        if len(dates) == 0 or first > dates[-1]:
            return len(dates)
        return max(int(np.searchsorted(dates, first, side="right")) - 1, 0)

    @property
    def start(self) -> pd.Timestamp | Any:
        """Date of ``start_bar`` (NaT when the weights start after the last bar)."""
        return self.index[self.start_bar] if self.start_bar < len(self.index) else pd.NaT

    @property
    def value(self) -> pd.Series:
        """Portfolio value per bar (the engine's array, not copied); 1.0 = starting balance.

        Each access gives a Series of its own: a write to it makes pandas copy its data
        first (or, without copy-on-write, it is a copy), so the result stays as it ran.
        """
        return self._value.copy(deep=not copy_on_write())

    @cached_property
    def _value(self) -> pd.Series:
        return pd.Series(self.run_result.value, index=self.index, name="value", copy=False)

    @cached_property
    def returns(self) -> pd.Series:
        """Simple return of each bar: value / previous value - 1 (the first against 1.0)."""
        value = self.value
        return (value / value.shift(1, fill_value=1.0) - 1.0).rename("returns")

    # ---- what the run held (the engine's holdings record) ----

    @property
    def has_holdings(self) -> bool:
        """Whether the run recorded its holdings (the views below need them)."""
        return getattr(self.run_result, "holdings_offsets", None) is not None

    @cached_property
    def _record(self) -> _holdings.HoldingsRecord:
        return _holdings.HoldingsRecord.of(self.run_result, self.index,
                                           self.inputs.weight_columns)

    @cached_property
    def _bars(self) -> _holdings.HoldingsRecord:
        """The run's totals of every bar, which need no record."""
        return _holdings.HoldingsRecord(self.run_result, self.index, self.inputs.weight_columns)

    @property
    def positions(self) -> pd.DataFrame:
        """Dates x stocks (the weights' columns): each holding after the bar's trades, at
        the close, as a fraction of that bar's value; 0 where not held."""
        return _own(self._positions)

    @cached_property
    def _positions(self) -> pd.DataFrame:
        return _holdings.positions(self._record)

    @property
    def positions_value(self) -> pd.DataFrame:
        """``positions`` in money: each holding's value at the close (1.0 = the starting
        balance)."""
        return _own(self._positions_value)

    @cached_property
    def _positions_value(self) -> pd.DataFrame:
        return _holdings.positions_value(self._record)

    @cached_property
    def exposure(self) -> pd.DataFrame:
        """By date: ``long``, ``short`` (<= 0), ``gross``, ``net`` and ``cash`` as fractions
        of the bar's value (net + cash = 1), and ``holdings``, the number of stocks held."""
        return _holdings.exposure(self._record)

    @cached_property
    def turnover(self) -> pd.Series:
        """Money traded on each bar (|change of position| at the fills, fees excluded) over
        the value before the bar (the previous bar's; 1.0 before the first).  Every run has
        it, with or without the holdings record."""
        return _holdings.turnover(self._bars)

    @cached_property
    def costs(self) -> pd.Series:
        """Fees and tax paid on each bar over the value before the bar (every run has it)."""
        return _holdings.costs(self._bars)

    def contribution(self, by: Mapping[Any, Any] | pd.Series | None = None,
                     freq: str | None = None) -> pd.DataFrame:
        """Each stock's share of each bar's return, and ``costs``: arithmetic contributions.

        A stock's contribution is its price move on the bar (its value at the close, less
        its value at the previous close, less what was bought of it at the bar's fills) over
        the value before the bar; ``costs`` is minus the fees and tax over that value. Each
        row adds up to ``returns`` to rounding. `by` (a mapping or Series stock -> group,
        such as sectors) sums the stock columns by group; `freq` ("W", "M", "Q", "Y", or a
        pandas offset such as "ME") sums the rows by period. Sums over a period add up to
        the sum of its bar returns, not to its compounded return.
        """
        return contribution(_own(self._stock_contribution), by, freq)

    @cached_property
    def _stock_contribution(self) -> pd.DataFrame:
        return stock_contribution(self._record)

    # ---- trades ----

    @cached_property
    @_listing_exit_reasons
    def trades(self) -> pd.DataFrame:
        """One row per trade, in the engine's order (closed trades as they closed, then the
        open ones), so that row i is record i of ``run_result.trades`` and profile i.

        Columns: ``stock``; ``entry_date`` and ``exit_date``, the dates of the bars on which
        the entry and the exit filled (NaT while open); ``side`` ("long"/"short");
        ``position``, the signed weight at entry; ``bars_held``, exit bar - entry bar (an
        open trade counts to the last bar); ``return``, from the money the engine booked:
        (exit value - entry value) / |entry value|, where the entry value is what a long
        paid, fee included (minus what a short received, fee deducted) and the exit value
        what the sale brought after fee and tax (minus what covering a short cost), an
        open trade's its value on the last bar as ``value`` counts it -- the same whatever
        the excursion window, and defined for a fill on a missing price; ``mae`` and
        ``mfe`` at the exit bar (from the excursion profile, NaN for a trade entered on a
        bar without a trading price or close); ``reason`` the trade closed for
        (EXIT_REASONS).
        """
        records = self.run_result.trades
        profiles = self.run_result.profiles
        exit_bar = records["exit_bar"].astype(np.int64)
        closed = exit_bar >= 0
        last_bar = np.where(closed, exit_bar, len(self.index) - 1)
        position = records["position"]
        return pd.DataFrame({
            "stock": self.inputs.weight_columns[records["sid"]],
            "entry_date": self.index[records["entry_bar"]],
            "exit_date": self.index[last_bar].where(closed),  # NaT while open
            "side": np.where(position < 0, "short", "long"),
            "position": position,
            "bars_held": last_bar - records["entry_bar"],
            "return": trade_returns(records),
            "mae": at_exit(profiles, "mae"),
            "mfe": at_exit(profiles, "mfe"),
            "reason": records["reason"].astype(object),
        })

    @cached_property
    def excursions(self) -> pd.DataFrame:
        """The excursion profiles, one row per trade and sampled offset.

        ``trade`` is the row of ``trades``; ``offset`` the bars after entry (0, step,
        2 x step, ... below the excursion window, then the exit bar with ``at_exit`` true);
        then MAE, MFE, MFE reached before the adverse extreme, drawdown from a running
        peak, profitable bars and cumulative return, all up to that offset. Offsets past
        the last bar are NaN.
        """
        profiles = self.run_result.profiles
        count, groups = len(profiles), group_count(profiles)
        exit_group = groups - 1
        records = self.run_result.trades
        step = int(self.rules["excursion_window_step"])
        offsets = np.tile(np.append(np.arange(exit_group) * step, 0), (count, 1))
        offsets[:, exit_group] = self.trades["bars_held"].to_numpy()
        values = profiles.reshape(count, groups, GROUP_SIZE).copy()
        beyond = records["entry_bar"][:, None] + offsets > len(self.index) - 1
        values[beyond] = np.nan
        frame = pd.DataFrame(values.reshape(count * groups, GROUP_SIZE), columns=list(FIELDS))
        frame.insert(0, "trade", np.repeat(np.arange(count), groups))
        frame.insert(1, "stock", np.repeat(self.trades["stock"].to_numpy(), groups))
        frame.insert(2, "offset", offsets.reshape(-1))
        frame.insert(3, "at_exit", np.tile(np.arange(groups) == exit_group, count))
        return frame

    @cached_property
    def operations(self) -> dict[str, Any]:
        """What is due after the last bar, by stock label.

        ``actions`` (Series stock -> "enter", "exit", "hold", "sl_", "tp_", "sl", "tp",
        ...), ``weights`` (the weights in force) and ``next_weights`` (those of the next
        rebalance), and ``weight_date`` / ``next_weight_date``, the dates of the weights
        rows they come from (NaT before any rebalance).
        """
        ops = self.run_result.operations
        labels = self.inputs.weight_columns
        dates = self.inputs.weight_index

        def by_stock(mapping: dict[int, Any], dtype: str, name: str) -> pd.Series:
            return pd.Series({labels[sid]: v for sid, v in mapping.items()}, dtype=dtype,
                             name=name)

        def row_date(row: int) -> Any:
            return dates[row] if 0 <= row < len(dates) else pd.NaT

        return {
            "actions": by_stock(ops["actions"], "object", "action"),
            "weights": by_stock(ops["weights"], "float64", "weight"),
            "next_weights": by_stock(ops["next_weights"], "float64", "next_weight"),
            "weight_date": row_date(int(ops["weight_time"])),
            "next_weight_date": row_date(int(ops["next_weight_time"])),
        }

    def stats(self, periods_per_year: float | None = None, benchmark: pd.Series | None = None,
              *, benchmark_kind: str = "auto") -> pd.Series:
        """Performance statistics, a Series (dtype object) with a fixed index.

        Labels, in order: start, end, periods_per_year, total_return, annual_return,
        annual_volatility, sharpe, sortino, max_drawdown, max_drawdown_peak,
        max_drawdown_trough, max_drawdown_recovery, calmar, turnover, exposure, costs,
        trades, win_rate, profit_factor, avg_mae, avg_mfe, avg_bars_held. Dates are
        Timestamps (NaT where none), ``trades`` an int, the rest floats (NaN where
        undefined).

        Returns, risk and drawdown come from empyrical-reloaded on ``returns`` after
        ``start``; the risk-free rate is 0. Turnover, exposure and costs come from the
        engine's totals of every bar (``turnover``, ``costs``, the number of holdings),
        with or without the holdings record. `periods_per_year`
        annualises them: given here, else as given to ``backtest``, else inferred from the
        spacing of the index (daily 252, or 365 when weekends trade; weekly 52, monthly 12,
        ...). See ``mirelo._stats``.

        With a `benchmark` (a Series of prices or of returns by date, covering the bars
        from ``start``; `benchmark_kind` "auto", "prices" or "returns"), the benchmark's
        own return figures follow (benchmark_total_return ... benchmark_calmar), then
        alpha, beta, information_ratio, tracking_error, correlation, up_capture and
        down_capture, on the same bars. See ``mirelo._benchmark``.
        """
        aligned = None if benchmark is None else self._benchmark(benchmark, benchmark_kind)
        return self._stats(periods_per_year, aligned)

    def _stats(self, periods_per_year: float | None, benchmark: Benchmark | None) -> pd.Series:
        if periods_per_year is None:
            periods_per_year = self.periods_per_year
        stats = result_stats(self.inputs, self.run_result, self.start_bar, periods_per_year)
        if benchmark is None:
            return stats
        return with_benchmark(stats, period_returns(self.run_result.value, self.start_bar),
                              benchmark)

    def _benchmark(self, benchmark: pd.Series, kind: str) -> Benchmark:
        """`benchmark` (prices or returns by date) on this result's bars from ``start``."""
        return align_benchmark(benchmark, self.index, self.start_bar, kind)

    def plot(self, path: str | None = None, *, title: str | None = None,
             benchmark: pd.Series | None = None, benchmark_kind: str = "auto") -> Figure:
        """A matplotlib Figure: value path over its drawdown (beside the value of a
        `benchmark` from ``start`` when given), and MAE against MFE per trade coloured by
        outcome; saved as an image when `path` is given. Needs matplotlib
        (``pip install matplotlib``, or ``pip install ".[plot]"`` from the checkout)."""
        from mirelo._plot import plot_result

        levels = None if benchmark is None else self._benchmark(benchmark, benchmark_kind).levels
        return plot_result(self.value, self.trades, path, title, levels)

    def report(self, path: str | pathlib.Path, benchmark: pd.Series | None = None,
               title: str | None = None, *, benchmark_kind: str = "auto",
               by: Mapping[Any, Any] | pd.Series | None = None) -> pathlib.Path:
        """Writes an HTML report to `path` and returns the path: one self-contained file
        (inline SVG figures, plain tables, no network resources) with the headline
        statistics (the benchmark's beside them), the value path against the benchmark,
        drawdowns, monthly returns by year, the rolling Sharpe ratio, exposure over time,
        the top and bottom contributors by stock (and every group's contribution, given
        `by`, a mapping or Series stock -> group as for ``contribution``), trades by exit
        reason and MAE against MFE. Needs matplotlib (the plot extra)."""
        from mirelo._report import ReportData, write_report

        aligned = None if benchmark is None else self._benchmark(benchmark, benchmark_kind)
        held: dict[str, Any] = {}
        if self.has_holdings:
            after = slice(self.start_bar + 1, None)
            held["exposure"] = self.exposure.iloc[self.start_bar:]
            held["contributions"] = self.contribution().iloc[after].sum()
            if by is not None:
                held["group_contributions"] = self.contribution(by=by).iloc[after].sum()
        data = ReportData(
            title=title or "Backtest report", stats=self._stats(None, aligned),
            value=self.value.iloc[self.start_bar:],
            returns=self.returns.iloc[self.start_bar + 1:], trades=self.trades,
            stocks=len(self.inputs.columns), rules=dict(self.rules), benchmark=aligned,
            **held)
        return write_report(path, data)

    def _repr_html_(self) -> str:
        """A compact table of the main statistics, for notebooks."""
        from mirelo._report import summary_html

        return summary_html(self.stats(), f"mirelo.Result: {len(self.index)} bars x "
                                          f"{len(self.inputs.columns)} stocks")

    def orders(self, held: pd.Series, prices: pd.Series, *, capital: float | None = None,
               lot_size: float | pd.Series = 1, cash_buffer: float = 0.0) -> pd.DataFrame:
        """The orders that move an account to the run's targets for the next bar
        (``operations["next_weights"]``), one row per stock to trade.

        `held`: the account's shares by stock (every stock one of the run's); `prices`: a
        price for every stock to hold or held, by stock; `capital`: the money the targets
        are fractions of (default: the value of `held` at `prices`), of which
        `cash_buffer` (a fraction) stays in cash; `lot_size`: shares per lot, a whole
        number or a Series of them by stock. Target shares are rounded towards zero to
        whole lots.

        Columns: ``action`` ("buy"/"sell"), ``target_weight``, ``target_shares``,
        ``current_shares``, ``order_shares`` (signed), ``price``, ``value`` (order shares
        x price) and ``fees`` (at the run's fee and tax rates, as the engine charges
        them). The orders are meant for the bar after the last one, at its trading price.
        """
        return order_sheet(self.operations["next_weights"], self.inputs.columns, held, prices,
                           capital=capital, lot_size=lot_size, cash_buffer=cash_buffer,
                           fee_ratio=float(self.rules["fee_ratio"]),
                           tax_ratio=float(self.rules["tax_ratio"]))


def _own(frame: pd.DataFrame) -> pd.DataFrame:
    """A frame of the caller's own: under copy-on-write a shallow copy (a write to it copies
    its data first), else a copy."""
    return frame.copy(deep=not copy_on_write())
