"""Reference model of the backtest engine.

A slow, plain-Python statement of the engine's rules, kept as a test oracle for the compiled
engine. It follows the engine's order of operations and does the money arithmetic on Python
floats (IEEE doubles), so value paths, trade records, excursion profiles and stock operations
can be compared exactly. Readability comes first; it is meant for tiny inputs.

Exit signals are kept as `Exit(sid, profit)` pairs rather than signed sids, so that the kind of
an exit of column 0 is not lost in the sign of zero.
"""

import math
from dataclasses import dataclass, field
from typing import NamedTuple

import numpy as np

from .excursion import Analysis

INT32_MIN, INT32_MAX = -2**31, 2**31 - 1


def fdiv(a, b):
    """IEEE double division (x / 0 gives an infinity or NaN instead of raising)."""
    if b == 0.0:
        with np.errstate(all="ignore"):
            return float(np.float64(a) / np.float64(b))
    return a / b


def _int32(value):
    value = int(value)
    if not INT32_MIN <= value <= INT32_MAX:
        raise OverflowError("value too large to convert to int")
    return value


class Exit(NamedTuple):
    """An exit signal: the stock and whether it was on the profit side ("tp") or the stop
    side ("sl")."""
    sid: int
    profit: bool

    @property
    def label(self):
        return "tp" if self.profit else "sl"


# -- small standalone operations --------------------------------------------------------------

def validate_trade_price(price, stock, row):
    """Reject a price the engine cannot trade at; NaN (a missing price) passes."""
    if math.isnan(price):
        return
    if math.isinf(price) or price <= 0:
        raise ValueError(
            f"Invalid trading price for {stock} at price row {row}: {float(price)!r}. "
            "Expected a positive finite price; check the trading-price dataset.")


def map_columns(price_columns, pos_columns):
    """{position column: price column} by UTF-8 name; a repeated price name keeps its last
    position, and position columns without a price column get no entry."""
    by_name = {}
    for i, name in enumerate(price_columns):
        by_name[name.encode("UTF-8")] = i
    result = {}
    for i, name in enumerate(pos_columns):
        key = name.encode("UTF-8")
        if key in by_name:
            result[_int32(i)] = by_name[key]
    return result


def rebalance_flags(price_index, resample):
    """One flag per bar: each rebalance date marks the last bar dated on or before it (bar 0
    for earlier dates). The sweep never moves back, so unsorted dates re-mark the current bar."""
    n = len(price_index)
    flags = [0] * n
    j = 0
    for d in resample:
        while j + 1 < n and price_index[j + 1] <= d:
            j += 1
        flags[j] = 1
    return flags


def normalize_weight(weights, position_limit):
    """Scale a {key: weight} dict to a gross exposure of at most 1, then clip each weight to
    ±position_limit. Changes and returns the same dict."""
    weight_sum = 0.0
    for sid, w in weights.items():
        weight_sum += abs(weights[sid])
    for sid in weights:
        if weight_sum > 1:
            weights[sid] = weights[sid] * (1 / weight_sum)
    for sid in weights:
        if weights[sid] > position_limit:
            weights[sid] = position_limit
        elif weights[sid] < -position_limit:
            weights[sid] = -position_limit
    return weights


def trade_rows(trades, trade_positions, pos_columns, price_index, touched_exit):
    """The nine-element rows of the trade ledger. A date past the last bar (the execution
    date of an entry or close-mode exit on the last bar) is reported as -1, like the dates
    of a trade still open."""
    n = len(price_index)

    def bar_date(bar):
        return price_index[bar] if bar < n else -1

    rows = []
    for i, t in enumerate(trades):
        sid, entry_bar, exit_bar = t[0], t[1], t[2]
        is_open = exit_bar == -1
        if is_open:
            exit_exec = -1
        elif touched_exit:
            exit_exec = price_index[exit_bar]
        else:
            exit_exec = bar_date(exit_bar + 1)
        rows.append([
            pos_columns[sid],
            price_index[entry_bar],
            -1 if is_open else price_index[exit_bar],
            bar_date(entry_bar + 1),
            exit_exec,
            trade_positions[i],
            n - entry_bar if is_open else exit_bar - entry_bar,
            entry_bar,
            exit_bar,
        ])
    return rows


# -- holdings and rebalance -------------------------------------------------------------------

class Book:
    """The two operations that change holdings: `set_position` for one stock and `rebalance`
    for a row of weights. Both take and return the cash balance.

    `retain_cost_when_rebalance` and `periodically_rebalance` are the run options the engine
    publishes as module globals. `col_map` (None: every column has prices) and `pos_columns`
    let `rebalance` refuse a weighted stock without prices."""

    def __init__(self, analysis, retain_cost_when_rebalance=False, periodically_rebalance=True,
                 col_map=None, pos_columns=None):
        self.analysis = analysis
        self.retain_cost_when_rebalance = retain_cost_when_rebalance
        self.periodically_rebalance = periodically_rebalance
        self.col_map = col_map
        self.pos_columns = pos_columns

    def set_position(self, holdings, sid, target_value, cash, fee_ratio, tax_ratio,
                     check_held=True, erase_if_flat=False, weight_base=1):
        target_value = float(target_value)
        held = True if not check_held else sid in holdings
        has_pos = sid in holdings and holdings[sid] != 0  # NaN counts as a position
        new_pos = target_value != 0

        # Trade records: a resize outside the "retain cost" mode is booked as an exit and a
        # re-entry at the new weight (a split of the trade, without exit costs).
        if has_pos and not new_pos:
            self.analysis.record_exit(sid, 1)
        elif has_pos and new_pos:
            if not self.retain_cost_when_rebalance and self.periodically_rebalance:
                self.analysis.record_exit(sid, 0)
                self.analysis.record_entry(sid, float(target_value / weight_base), 0)
        elif new_pos:
            self.analysis.record_entry(sid, float(target_value / weight_base), 1)

        exit_ratio = fee_ratio + tax_ratio
        if new_pos:
            if not held:
                holdings[sid] = 0.0
            holdings.setdefault(sid, 0.0)
            delta = target_value - holdings[sid]
            buying = delta > 0
            # Tax applies only when the absolute exposure shrinks, long or short.
            adding = (target_value >= 0 and delta > 0) or (target_value <= 0 and delta < 0)
            cost = abs(delta) * (fee_ratio if adding else exit_ratio)
            if buying:
                # A purchase debits its full value; its cost comes out of the position.
                cash -= delta
                holdings[sid] += delta - cost
            else:
                cash += -delta - cost
                holdings[sid] += delta
            if erase_if_flat and holdings[sid] == 0:
                del holdings[sid]
        elif held:
            value = holdings.setdefault(sid, 0.0)
            cash += value - abs(value) * exit_ratio
            if erase_if_flat:
                del holdings[sid]
            else:
                holdings[sid] = 0.0
        return cash

    def rebalance(self, holdings, new_weights, cash, fee_ratio, tax_ratio, position_limit,
                  pos_row=0):
        # 0. A NaN weight would scale every other weight against 1.0 instead of the balance.
        for sid, w in enumerate(new_weights):
            if math.isnan(w):
                raise ValueError(f"Stock {self.pos_columns[sid]} has a NaN weight in position "
                                 f"row {pos_row}")
        # 1. Opening balance: the holdings are summed from 0.0 in ascending sid first.
        total = 0.0
        for sid in sorted(holdings):
            total += holdings[sid]
        balance = cash + total

        # 2. Weights beyond a gross exposure of 1 are scaled down; NumPy's own summation
        #    order decides the last bits of the gross sum.
        gross = np.abs(new_weights).sum()
        scale = balance / (1 if 1 > gross else gross)
        if math.isnan(scale):
            scale = 1.0

        # 3. One cap for all columns, from the opening balance.
        cap = balance * position_limit

        # 4. Every column in order; a zero weight closes a held stock. A ruined portfolio
        #    (negative balance) opens and resizes nothing: every target is 0.
        for i, w in enumerate(new_weights):
            value = float(w * scale)
            if balance < 0:
                value = 0.0
            elif abs(value) > cap:
                value = cap * (1 if value > 0 else -1)
            sid = _int32(i)
            if value != 0 and self.col_map is not None and sid not in self.col_map:
                name = self.pos_columns[sid]
                raise ValueError(f"Stock {name} has a non-zero weight but no trading prices")
            cash = self.set_position(holdings, sid, value, cash, fee_ratio, tax_ratio,
                                     True, True, balance)
        return cash


# -- the backtest -----------------------------------------------------------------------------

@dataclass
class BacktestResult:
    value_path: np.ndarray
    trades: list
    trade_positions: list
    excursion: list
    stock_operations: dict
    analysis: Analysis = field(repr=False)

    def trade_rows(self, pos_columns, price_index, touched_exit):
        return trade_rows(self.trades, self.trade_positions, pos_columns, price_index,
                          touched_exit)


class _Run:
    """State and steps of one backtest run (the bar loop and what it closes with)."""

    def __init__(self, a):
        self.a = a  # the converted arguments, as a namespace
        self.analysis = Analysis()

    # -- run setup ------------------------------------------------------------------------

    def setup(self):
        a = self.a
        self.col_map = map_columns(a.price_columns, a.pos_columns)
        self.book = Book(self.analysis, a.retain_cost_when_rebalance, a.periodically_rebalance,
                         self.col_map, a.pos_columns)
        n_bars = len(a.price_index)
        self.value_path = np.empty(n_bars, dtype=np.float64)
        n_pos = a.pos_values[0].size
        self.cum_return = [1.0] * n_pos
        self.max_return = [1.0] * n_pos
        self.min_return = [1.0] * n_pos
        self.prev_prices = [1.0] * a.price_values[0].size
        if a.delisting_bars is None:
            self.use_delisting = False
        else:
            self.use_delisting = bool((np.asarray(a.delisting_bars) >= 0).any())
        # Exit thresholds are distances: their sign is dropped.
        a.stop_loss = abs(a.stop_loss)
        a.take_profit = abs(a.take_profit)
        a.trail_stop = abs(a.trail_stop)
        a.trail_stop_activation = abs(a.trail_stop_activation)
        self.rebalance_flags = rebalance_flags(a.price_index, a.resample)
        self.analysis.start_analysis(a.price_values, a.close_values, dict(self.col_map),
                                     len(a.pos_columns), a.fee_ratio, a.tax_ratio,
                                     a.excursion_window, a.excursion_window_step)

        self.holdings = {}
        self.cash = 1.0
        self.pending_exits = []
        self.due_exits = []
        self.stopped_stocks = []
        self.rebalance_holdings = {}
        self.pos_row = 0
        self.weight_row = -1
        self.rebalance_today = False

    # -- helpers --------------------------------------------------------------------------

    def price(self, i, col):
        return float(self.a.price_values[i, col])

    def reset_tracking(self, sid):
        self.cum_return[sid] = 1.0
        self.max_return[sid] = 1.0
        self.min_return[sid] = 1.0

    def close_position(self, sid, erase_if_flat):
        a = self.a
        self.cash = self.book.set_position(self.holdings, sid, 0.0, self.cash, a.fee_ratio,
                                           a.tax_ratio, False, erase_if_flat)

    # -- the bar loop ---------------------------------------------------------------------

    def run(self):
        a = self.a
        for i, date in enumerate(a.price_index):
            self.date = date
            # 1. Bars before the first position date are flat at 1 and touch nothing, but
            #    the last of them schedules a first row dated before the next bar.
            if date < a.pos_index[0]:
                self.value_path[i] = 1
                if self.next_date(i) > a.pos_index[0]:
                    self.schedule(i)
                continue
            self.analysis.record_date(i)
            self.mark_to_market(i)
            self.execute_due_exits()
            self.due_exits = self.pending_exits
            self.pending_exits = []
            if self.rebalance_today:
                self.rebalance(i)
            if self.use_delisting:
                self.delist(i)
            self.value_path[i] = self.bar_value(i)
            self.schedule(i)
        self.finish()

    def mark_to_market(self, i):
        a = self.a
        for sid in sorted(self.holdings):
            col = self.col_map[sid]
            price = self.price(i, col)
            validate_trade_price(price, a.pos_columns[sid], i)
            if math.isnan(self.prev_prices[col]):
                self.prev_prices[col] = price
            ratio = fdiv(self.price(i, col), self.prev_prices[col])
            if math.isnan(ratio):
                ratio = 1.0
            self.holdings[sid] *= ratio
            self.cum_return[sid] *= ratio
            cum = self.cum_return[sid]
            if cum > self.max_return[sid]:
                self.max_return[sid] = cum
            if cum < self.min_return[sid]:
                self.min_return[sid] = cum
            # A holding of value 0 is a position already closed by a touched exit.
            if self.holdings[sid] != 0:
                self.apply_exit_rules(i, sid, col, ratio)
        # The reference prices move only after every holding has been marked, so that
        # holdings sharing a price column all see the ratio against the previous bar.
        for sid in sorted(self.holdings):
            col = self.col_map[sid]
            price = self.price(i, col)
            if not math.isnan(price):
                self.prev_prices[col] = price

    def exit_levels(self, sid, entry_value):
        """(upper_bound, lower_bound) on the cum_return scale. For a long the upper bound is
        the take-profit and the lower the (trailing) stop; for a short the reverse. An entry
        value of 0 follows the short rules."""
        a = self.a
        if entry_value > 0:
            armed = self.max_return[sid] >= 1 + a.trail_stop_activation
            upper = 1 + a.take_profit
            lower = 1 - a.stop_loss
            if armed:
                trailing = self.max_return[sid] - a.trail_stop
                if trailing > lower:
                    lower = trailing
        else:
            armed = self.min_return[sid] <= 1 - a.trail_stop_activation
            upper = 1 + a.stop_loss
            if armed:
                trailing = self.min_return[sid] + a.trail_stop
                if trailing < upper:
                    upper = trailing
            lower = 1 - a.take_profit
        return upper, lower

    def apply_exit_rules(self, i, sid, col, ratio):
        a = self.a
        entry_value = fdiv(self.holdings[sid], self.cum_return[sid])
        upper, lower = self.exit_levels(sid, entry_value)

        if a.touched_exit:
            # The bar's path on the cum_return scale, from the previous bar's level and the
            # previous reference price.
            start = fdiv(self.cum_return[sid], ratio)
            prev = self.prev_prices[col]
            high_level = fdiv(start * float(a.high_values[i, col]), prev)
            low_level = fdiv(start * float(a.low_values[i, col]), prev)
            open_level = fdiv(start * float(a.open_values[i, col]), prev)
            touched_lower = low_level <= lower
            touched_upper = high_level >= upper
            opened_beyond = open_level >= upper or open_level <= lower
            if opened_beyond:
                self.holdings[sid] = entry_value * open_level
            elif touched_upper:
                self.holdings[sid] = entry_value * upper
            elif touched_lower:
                self.holdings[sid] = entry_value * lower
            if opened_beyond or touched_upper or touched_lower:
                new_value = self.holdings[sid]
                stop_side = ((touched_lower and new_value > 0)
                             or (touched_upper and new_value < 0))
                self.stopped_stocks.append(Exit(sid, not stop_side))
                # Not erased: `holdings` is being walked; the next rebalance settles it.
                self.close_position(sid, erase_if_flat=False)
        else:
            close_level = fdiv(self.cum_return[sid] * float(a.close_values[i, col]),
                               self.price(i, col))
            # Inclusive at the upper bound, strict at the lower; the kind is the bound crossed.
            if close_level >= upper:
                self.pending_exits.append(Exit(sid, True))
            elif close_level < lower:
                self.pending_exits.append(Exit(sid, False))

    def execute_due_exits(self):
        a = self.a
        for stock in self.due_exits:
            s = stock.sid
            # A stock that today's rebalance buys again is resized by it instead.
            keep = (self.rebalance_today and not a.stop_trading_next_period
                    and a.pos_values[self.pos_row, s] != 0)
            if s in self.holdings and self.holdings[s] != 0 and not keep:
                self.close_position(s, erase_if_flat=True)
                self.stopped_stocks.append(stock)
                self.reset_tracking(s)
                for k, pending in enumerate(self.pending_exits):
                    if pending.sid == s:
                        del self.pending_exits[k]
                        break

    def rebalance(self, i):
        a = self.a
        row = a.pos_values[self.pos_row]
        # 1. New entries start a fresh exit horizon; with retained cost only new or reversed
        #    positions do.
        if a.retain_cost_when_rebalance:
            for sid, w in enumerate(row):
                if w != 0 and (sid not in self.holdings or self.holdings[sid] * w <= 0):
                    self.reset_tracking(sid)
        else:
            for sid in range(len(self.cum_return)):
                self.reset_tracking(sid)
        # 2. Stocks stopped out since the last rebalance sit this one out.
        if a.stop_trading_next_period and self.stopped_stocks:
            weights = row.copy()
            for stock in self.stopped_stocks:
                weights[stock.sid] = 0
        else:
            weights = row
        before = [self.holdings.get(stock.sid, 0.0) for stock in self.due_exits]
        self.cash = self.book.rebalance(self.holdings, weights, self.cash, a.fee_ratio,
                                        a.tax_ratio, a.position_limit, self.pos_row)
        # An exit queued on this bar was decided on the position before the rebalance; a
        # position the rebalance reversed has levels of its own.
        self.due_exits = [stock for stock, held in zip(self.due_exits, before)
                          if not held * self.holdings.get(stock.sid, 0.0) < 0]
        # 3.-4.
        self.stopped_stocks = []
        self.rebalance_holdings = dict(self.holdings)
        self.weight_row = self.pos_row
        self.prev_prices = [float(p) for p in a.price_values[i].copy()]

    def delist(self, i):
        a = self.a
        delisted_now = [sid for sid in sorted(self.holdings)
                        if a.delisting_bars[sid] == i and self.holdings[sid] != 0]
        for sid in delisted_now:
            self.close_position(sid, erase_if_flat=True)
            self.reset_tracking(sid)

    def bar_value(self, i):
        """Cash plus holdings carried at the trading price and reported at the close."""
        a = self.a
        value = self.cash
        for sid in sorted(self.holdings):
            col = self.col_map[sid]
            price = self.price(i, col)
            validate_trade_price(price, a.pos_columns[sid], i)
            close = float(a.close_values[i, col])
            if math.isnan(price) or math.isnan(close):
                value += self.holdings[sid]
            else:
                value += fdiv(self.holdings[sid] * close, price)
        return value

    def next_date(self, i):
        """The date of the bar after bar `i`; after the last bar, later than every row."""
        a = self.a
        return a.price_index[i + 1] if i < len(a.price_index) - 1 else a.pos_index[-1] + np.inf

    def schedule(self, i):
        """Advance to the newest position row dated before the next bar; the next bar
        rebalances if this bar is flagged and that row is newer than the last one used."""
        a = self.a
        next_date = self.next_date(i)
        while self.pos_row < len(a.pos_index) - 1 and a.pos_index[self.pos_row + 1] < next_date:
            self.pos_row += 1
        self.rebalance_today = self.pos_row != self.weight_row and self.rebalance_flags[i] != 0

    # -- after the last bar -------------------------------------------------------------------

    def finish(self):
        a = self.a
        self.analysis.end_analysis(self.holdings)
        ops = {"actions": {}, "weights": {}, "next_weights": {}}
        actions, weights, next_weights = ops["actions"], ops["weights"], ops["next_weights"]
        stop_next = bool(a.stop_trading_next_period)

        # Weights of the last rebalance; a stock closed since then (also by a touched exit,
        # which leaves a 0 entry) reports 0.
        total = 0
        for sid in sorted(self.rebalance_holdings):
            w = a.pos_values[self.weight_row, sid]
            weights[sid] = w if self.holdings.get(sid, 0) != 0 else 0
            total += w
        divisor = total if total > 1 else 1
        for sid in weights:
            weights[sid] = weights[sid] / divisor

        excluded = {s.sid for s in self.stopped_stocks} | {s.sid for s in self.due_exits}
        total_next = 0
        for sid, w in enumerate(a.pos_values[self.pos_row]):
            total_next += abs(w)
            if w != 0 and not (stop_next and sid in excluded):
                next_weights[sid] = w
        divisor = total_next if total_next > 1 else 1
        for sid in next_weights:
            next_weights[sid] = next_weights[sid] / divisor

        ops["weight_time"] = self.weight_row
        ops["next_weight_time"] = self.pos_row
        ops["weights"] = normalize_weight(ops["weights"], a.position_limit)
        ops["next_weights"] = normalize_weight(ops["next_weights"], a.position_limit)

        if self.rebalance_today:
            for sid, w in enumerate(a.pos_values[self.pos_row]):
                h = self.holdings.get(sid, 0.0)
                if h == 0 and w != 0:
                    actions[sid] = "enter"
                elif h != 0 and w == 0:
                    actions[sid] = "exit"
                elif h != 0 and w != 0:
                    actions[sid] = "hold"

        # Exits detected on the last bar and not executed.
        for stock in self.due_exits:
            s = stock.sid
            if stop_next:
                actions[s] = stock.label
            elif self.date > a.pos_index[self.pos_row]:
                actions[s] = stock.label
            elif s in next_weights and next_weights[s] != 0:
                actions[s] = stock.label + "_enter"

        # Exits executed since the last rebalance.
        for stock in self.stopped_stocks:
            s = stock.sid
            if stop_next or s not in actions:
                actions[s] = stock.label + "_"
        self.stock_operations = ops


class _Args:
    pass


def run_backtest(price_values, close_values, high_values, low_values, open_values,
                 price_index, price_columns, pos_values, pos_index, pos_columns, resample,
                 fee_ratio=0.001425, tax_ratio=0.003, stop_loss=1.0, take_profit=np.inf,
                 trail_stop=np.inf, trail_stop_activation=0.0, touched_exit=False,
                 position_limit=1.0, retain_cost_when_rebalance=False,
                 stop_trading_next_period=True, excursion_window=0, excursion_window_step=1,
                 periodically_rebalance=True, delisting_bars=None):
    """Run the model backtest with the engine's parameters and defaults."""
    a = _Args()
    a.price_values, a.close_values = price_values, close_values
    a.high_values, a.low_values, a.open_values = high_values, low_values, open_values
    a.price_index, a.price_columns = price_index, price_columns
    a.pos_values, a.pos_index, a.pos_columns = pos_values, pos_index, pos_columns
    a.resample = resample
    a.fee_ratio = float(fee_ratio)
    a.tax_ratio = float(tax_ratio)
    a.stop_loss = float(stop_loss)
    a.take_profit = float(take_profit)
    a.trail_stop = float(trail_stop)
    a.trail_stop_activation = float(trail_stop_activation)
    a.touched_exit = bool(touched_exit)
    a.position_limit = float(position_limit)
    a.retain_cost_when_rebalance = bool(retain_cost_when_rebalance)
    a.stop_trading_next_period = stop_trading_next_period
    a.excursion_window = _int32(excursion_window)
    a.excursion_window_step = _int32(excursion_window_step)
    a.periodically_rebalance = bool(periodically_rebalance)
    a.delisting_bars = None if delisting_bars is None else np.asarray(delisting_bars)
    # A negative cap would turn every column, zero weights included, into a position; a NaN
    # cap would remove the cap.
    if a.position_limit < 0:
        raise ValueError("position_limit must not be negative")
    if math.isnan(a.position_limit):
        raise ValueError("position_limit must not be NaN")
    # A calendar that steps back is refused (equal neighbouring dates are fine).
    for name, dates in (("price_index", price_index), ("pos_index", pos_index)):
        if dates is not None and any(later < earlier for earlier, later in zip(dates, dates[1:])):
            raise ValueError(f"{name} must be in ascending order")

    run = _Run(a)
    run.setup()
    run.run()
    an = run.analysis
    return BacktestResult(run.value_path, an.trades, an.trade_positions, an.excursion,
                          run.stock_operations, an)
