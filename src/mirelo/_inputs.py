"""The one place where user frames become the engine's arrays.

``prepare_inputs`` checks and aligns the price and weight frames and returns an `Inputs`
object holding the arrays of ``batch.Market`` (`MarketArrays`) and of ``Market.run``
(`TargetArrays`); everything after it (``backtest``, sweeps, results) works on that object.
``check_rules`` validates the trading-rule keywords against the engine's rule table.
"""

from __future__ import annotations

import difflib
import numbers
import re
from collections.abc import Mapping, Sequence
from dataclasses import dataclass, field, fields
from typing import Any, cast

import numpy as np
import numpy.typing as npt
import pandas as pd

from mirelo._frames import check_frame, check_same_timezone, float_values, held, nanoseconds
from mirelo._labels import some
from mirelo.core import batch

# The engine's trading rules, declared in its rule table (``mirelo.core.batch.RULES``:
# name, kind, default, range, doc), by name; and their defaults.
RULES: dict[str, batch.Rule] = {rule.name: rule for rule in batch.RULES}
RULE_DEFAULTS: dict[str, Any] = {name: rule.default for name, rule in RULES.items()}

TRADE_AT = ("close", "open")

FloatMatrix = npt.NDArray[np.float64]
Dates = npt.NDArray[np.int64]
Names = npt.NDArray[np.object_]


def _arguments(arrays: Any) -> dict[str, Any]:
    """The fields of a dataclass by name, the arrays themselves (never copies)."""
    return {f.name: getattr(arrays, f.name) for f in fields(arrays)}


@dataclass(frozen=True, eq=False)
class MarketArrays:
    """The arguments of ``batch.Market``: the five price matrices as the engine reads them
    (the trading price is the close or the open; high, low and open stand in for the close
    when not given), the close index in nanoseconds, the stocks' names, and the delisting
    bar of each price column (-1: none) or None."""

    price_values: FloatMatrix
    close_values: FloatMatrix
    high_values: FloatMatrix
    low_values: FloatMatrix
    open_values: FloatMatrix
    price_index: Dates
    price_columns: Names
    delisting_bars: Dates | None

    def arguments(self) -> dict[str, Any]:
        """``batch.Market``'s keyword arguments."""
        return _arguments(self)

    def build(self) -> batch.Market:
        """The market of these arrays (which it reads in place)."""
        return batch.Market(**self.arguments())


@dataclass(frozen=True, eq=False)
class TargetArrays:
    """The position arguments of ``Market.run``: the weights (NaN made 0), their dates in
    nanoseconds, the names of their stocks, and the rebalance dates."""

    pos_values: FloatMatrix
    pos_index: Dates
    pos_columns: Names
    resample: Dates

    def arguments(self) -> dict[str, Any]:
        """``Market.run``'s position keyword arguments."""
        return _arguments(self)


@dataclass(frozen=True, eq=False)
class Inputs:
    """Checked and aligned inputs of a backtest.

    - ``market``: the arrays of ``batch.Market``; ``targets``: those of ``Market.run``;
    - ``index``: the close index (one date per bar); ``columns``: the price stock labels;
    - ``weight_columns`` and ``weight_index``: labels and dates of the weights rows, in the
      order of ``targets.pos_values`` (a trade's ``sid`` indexes ``weight_columns``);
    - ``has_ohlc``: whether open, high and low prices were given (touched exits need them);
    - ``frames``: the frames whose buffers the arrays above may be views of (see
      ``mirelo._frames.held``): while they live, the caller's later writes to the frames
      passed in leave these arrays as they were. They stay in this process: a pickled
      `Inputs` carries the arrays alone.
    """

    market: MarketArrays
    targets: TargetArrays
    index: pd.DatetimeIndex
    columns: pd.Index
    weight_columns: pd.Index
    weight_index: pd.DatetimeIndex
    has_ohlc: bool
    frames: tuple[pd.DataFrame, ...] = field(default=(), repr=False)

    def __getstate__(self) -> dict[str, Any]:
        return {**self.__dict__, "frames": ()}

    def check_rules(self, rules: Mapping[str, Any]) -> dict[str, Any]:
        """``check_rules(rules, has_ohlc=self.has_ohlc)``."""
        return check_rules(rules, has_ohlc=self.has_ohlc)


def check_rules(rules: Mapping[str, Any], *, has_ohlc: bool = True) -> dict[str, Any]:
    """Every rule keyword: the engine's defaults updated with `rules`.

    An unknown keyword raises TypeError naming it; ``touched_exit=True`` when open, high and
    low prices were not given (`has_ohlc` false) raises ValueError. Values are checked by
    the engine.
    """
    for key in rules:
        if key not in RULES:
            close = difflib.get_close_matches(str(key), RULES, n=1)
            hint = f"; did you mean {close[0]!r}?" if close else ""
            raise TypeError(f"unknown rule keyword {key!r}{hint} "
                            f"(the rules are {', '.join(RULES)})")
    if rules.get("touched_exit") and not has_ohlc:
        raise ValueError("touched_exit=True compares each bar's open, high and low with the "
                         "stop levels: pass open=, high= and low= price frames")
    return {**RULE_DEFAULTS, **rules}


def rules_doc(indent: str = "") -> str:
    """Two lines per rule: ``name=default`` with the values it accepts, then what it sets."""
    return "".join(f"{indent}{rule.name}={rule.default!r}"
                   + (f" ({rule.range})" if rule.range else "")
                   + f"\n{indent}    {rule.doc}\n" for rule in RULES.values())


def prepare_inputs(close: pd.DataFrame, weights: pd.DataFrame, *,
                   open: pd.DataFrame | None = None, high: pd.DataFrame | None = None,
                   low: pd.DataFrame | None = None, trade_at: str = "close",
                   rebalance: str | Sequence[Any] | pd.DatetimeIndex | None = None,
                   delisted: Mapping[Any, Any] | pd.Series | None = None) -> Inputs:
    """Checks and aligns the frames of a backtest; returns the engine's arguments.

    - `close` (and `open`, `high`, `low` when given): one row per bar, one column per
      stock, an ascending DatetimeIndex without repeats, numbers. `open`/`high`/`low` must
      have the same dates and stocks as `close` and are aligned to it by label.
    - `weights`: target weights (fractions of the balance, signed), one row per date at
      which they become known; every column must be a stock of `close`. NaN means no
      position and becomes 0.
    - `trade_at`: the price at which orders fill, "close" or "open".
    - `rebalance`: None trades on every weights row; a pandas frequency alias ("W", "M",
      "Q", "Y", or an offset such as "ME") rebalances on the last bar of each period of
      the close index; a list of dates rebalances on the last bar on or before each.
    - `delisted`: stock -> date after which the stock no longer trades (NaT: never); a
      position in it is closed on the last bar on or before that date.

    A float64 frame stored in one block is passed on without a copy, and the caller's
    writes to it after this returns do not reach the arrays (see ``mirelo._frames.held``).
    """
    index = check_frame(close, "close")
    weights_index = check_frame(weights, "weights")
    close, weights = held(close), held(weights)
    check_same_timezone(weights_index, "weights index", index)
    same_stocks = weights.columns.equals(close.columns)
    if not same_stocks:
        no_prices = weights.columns.difference(close.columns, sort=False)
        if len(no_prices):
            raise ValueError(f"weights has columns with no prices in close: {some(no_prices)}")
    price_columns = _column_names(close.columns)

    given = {"open": open, "high": high, "low": low}
    frames = {key: _aligned(frame, key, close, index)
              for key, frame in given.items() if frame is not None}
    frames = {key: held(frame) for key, frame in frames.items()}
    if trade_at not in TRADE_AT:
        raise ValueError(f"trade_at must be 'close' or 'open', not {trade_at!r}")
    if trade_at == "open" and "open" not in frames:
        raise ValueError("trade_at='open' fills orders at the open: pass the open= price frame")

    close_values = float_values(close, "close")
    values = {key: float_values(frame, key) for key, frame in frames.items()}
    price_index = nanoseconds(index, "close index")
    market = MarketArrays(
        price_values=values.get(trade_at, close_values),
        close_values=close_values,
        high_values=values.get("high", close_values),
        low_values=values.get("low", close_values),
        open_values=values.get("open", close_values),
        price_index=price_index,
        price_columns=price_columns,
        delisting_bars=_delisting_bars(delisted, close, index, price_index),
    )
    targets = TargetArrays(
        pos_values=_weight_values(weights),
        pos_index=nanoseconds(weights_index, "weights index"),
        pos_columns=price_columns if same_stocks else _column_names(weights.columns),
        resample=_rebalance_dates(rebalance, index, price_index, weights_index),
    )
    return Inputs(market=market, targets=targets, index=index,
                  columns=close.columns, weight_columns=weights.columns,
                  weight_index=weights_index, has_ohlc=len(frames) == 3,
                  frames=(close, weights, *frames.values()))


def _aligned(frame: pd.DataFrame, name: str, close: pd.DataFrame,
             index: pd.DatetimeIndex) -> pd.DataFrame:
    """`frame` with close's columns and dates in close's order (a copy only when the order
    differs)."""
    frame_index = check_frame(frame, name)
    if not frame.columns.equals(close.columns):
        missing = close.columns.difference(frame.columns, sort=False)
        extra = frame.columns.difference(close.columns, sort=False)
        if len(missing) or len(extra):
            raise ValueError(f"{name} and close have different stocks: "
                             + _difference_text(missing, extra))
        frame = frame[close.columns]
    if not frame_index.equals(index):
        check_same_timezone(frame_index, f"{name} index", index)
        missing_dates = index.difference(frame_index)
        extra_dates = frame_index.difference(index)
        if len(missing_dates) or len(extra_dates):
            raise ValueError(f"{name} and close have different dates: "
                             + _difference_text(missing_dates, extra_dates))
        frame = frame.reindex(index)
    return frame


def _difference_text(missing: pd.Index, extra: pd.Index) -> str:
    parts = []
    if len(missing):
        parts.append(f"missing {some(missing)}")
    if len(extra):
        parts.append(f"not in close {some(extra)}")
    return "; ".join(parts)


def _column_names(columns: pd.Index) -> npt.NDArray[np.object_]:
    """Stock labels as the engine's names: an object array of str."""
    if columns.inferred_type == "string":  # unique text labels are their own names
        return columns.to_numpy(dtype=object)
    names = np.array([str(label) for label in columns], dtype=object)
    texts = pd.Index(names)
    if not texts.is_unique:
        clash = columns[texts.duplicated(keep=False)]
        raise ValueError(f"stock labels {some(clash)} have the same text; the engine matches "
                         "stocks by name, so give every stock a distinct name")
    return names


def _weight_values(weights: pd.DataFrame) -> npt.NDArray[np.float64]:
    """Weights as float64 with NaN (no position) turned into 0; infinities are refused."""
    values = float_values(weights, "weights")
    dates = cast(pd.DatetimeIndex, weights.index)
    if np.isfinite(values.sum()):  # one pass, no mask: a finite sum has no NaN or infinity
        return values
    finite = np.isfinite(values)
    missing = np.isnan(values)
    infinite = ~finite & ~missing
    if infinite.any():
        rows, cols = np.nonzero(infinite)
        cells = [f"({label_date}, {stock!r})" for label_date, stock in
                 zip(dates[rows[:5]].strftime("%Y-%m-%d"), weights.columns[cols[:5]])]
        more = f" and {len(rows) - 5} more" if len(rows) > 5 else ""
        raise ValueError(f"weights has infinite values at {', '.join(cells)}{more}")
    return np.where(missing, 0.0, values)


def _rebalance_dates(rebalance: str | Sequence[Any] | pd.DatetimeIndex | None,
                     index: pd.DatetimeIndex, price_index: npt.NDArray[np.int64],
                     weights_index: pd.DatetimeIndex) -> npt.NDArray[np.int64]:
    if rebalance is None:
        return nanoseconds(weights_index, "weights index")
    if isinstance(rebalance, str):
        return price_index[_period_last_bars(index, rebalance)]
    listed = _date_list(rebalance)
    try:
        dates = pd.DatetimeIndex(listed)
    except (TypeError, ValueError) as err:
        raise TypeError("rebalance must be None, a frequency alias such as 'W', 'M' or 'Q', "
                        f"or a list of dates ({err})") from err
    if dates.hasnans:
        raise ValueError(f"rebalance has missing dates (NaT) at positions "
                         f"{some(np.flatnonzero(dates.isna()).tolist())}")
    check_same_timezone(dates, "rebalance", index)
    return np.unique(nanoseconds(dates, "rebalance"))


def _date_list(rebalance: Sequence[Any] | pd.DatetimeIndex) -> list[Any] | pd.DatetimeIndex:
    """The rebalance dates as given; numbers are refused, since pandas would read them as
    nanoseconds after 1970 (bar numbers such as [20, 40] would be one date in 1970)."""
    if isinstance(rebalance, pd.DatetimeIndex):
        return rebalance
    values = list(rebalance)
    numbers_given = [v.item() if isinstance(v, np.generic) else v
                     for v in values if _is_number(v)]
    if numbers_given:
        raise TypeError(f"rebalance must list dates, not numbers: {some(numbers_given)}; "
                        "to rebalance on given bars, pass their dates, e.g. "
                        "close.index[[20, 40]]")
    return values


def _is_number(value: object) -> bool:
    """A number that is not NaN (None, NaN and NaT count as missing dates)."""
    return isinstance(value, (numbers.Number, np.number, np.bool_)) and bool(value == value)


def _period_last_bars(index: pd.DatetimeIndex, alias: str) -> npt.NDArray[np.intp]:
    """Positions of the last bar of each period of `alias` (the last bar always counts).

    A multiple ("2W", "2M", "3ME") groups the periods as pandas' ``resample`` bins them.
    """
    multiple = re.match(r"\s*([-+]?\d+)", alias)
    if multiple and int(multiple.group(1)) < 1:
        raise ValueError(f"rebalance={alias!r}: the multiple of a frequency alias must be "
                         "1 or more")
    local = index.tz_localize(None) if index.tz is not None else index
    offset: Any = alias
    try:
        periods = local.to_period(alias)  # "W", "M", "Q", "Y" and their anchored forms
    except ValueError:
        periods = None
    if periods is not None and periods.freq is not None:
        if periods.freq.n == 1:
            ends = np.flatnonzero(periods[1:] != periods[:-1])
            return np.append(ends, len(index) - 1)
        offset = periods.freq  # "2M" as the offset "2ME", which resample bins
    positions = pd.Series(np.arange(len(index)), index=local)
    try:
        last = positions.resample(offset).max()  # offsets such as "ME", "QE", "2W"
    except ValueError as err:
        raise ValueError(f"rebalance={alias!r} is not a pandas frequency alias "
                         f"(such as 'W', 'M', 'Q'): {err}") from err
    return last.dropna().to_numpy(dtype=np.intp)


def _delisting_bars(delisted: Mapping[Any, Any] | pd.Series | None, close: pd.DataFrame,
                    index: pd.DatetimeIndex,
                    price_index: npt.NDArray[np.int64]) -> npt.NDArray[np.int64] | None:
    """Per price column (the market looks a run's stocks up by name): the last bar on or
    before the stock's delisting date, or -1."""
    if delisted is None:
        return None
    dates = pd.Series(delisted, dtype=object) if isinstance(delisted, Mapping) else delisted
    if not isinstance(dates, pd.Series):
        raise TypeError("delisted must be a Series or dict of stock -> delisting date, "
                        f"not {type(delisted).__name__}")
    if not dates.index.is_unique:
        raise ValueError(f"delisted lists stocks more than once: "
                         f"{some(dates.index[dates.index.duplicated()].unique())}")
    unknown = dates.index.difference(close.columns, sort=False)
    if len(unknown):
        raise ValueError(f"delisted names stocks that are not in close: {some(unknown)}")
    try:
        when = pd.DatetimeIndex(pd.to_datetime(dates.reindex(close.columns)))
    except (TypeError, ValueError) as err:
        raise ValueError(f"delisted has values that are not dates: {err}") from err
    known = when.notna()
    if known.any():
        check_same_timezone(when, "delisted", index)
    bars = np.full(len(close.columns), -1, dtype=np.int64)
    bars[known] = np.searchsorted(price_index, nanoseconds(when[known], "delisted"),
                                  side="right") - 1
    early = known & (bars < 0)
    if early.any():
        raise ValueError("delisted dates before close's first date for "
                         f"{some(close.columns[early])}")
    return bars


__all__ = ["Inputs", "MarketArrays", "RULES", "RULE_DEFAULTS", "TargetArrays", "check_rules",
           "prepare_inputs", "rules_doc"]
