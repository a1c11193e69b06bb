"""Reference model of the trade excursion analytics.

One `Analysis` object plays the part of the excursion module's process-wide state for one
backtest: the engine opens a run with `start_analysis`, reports every bar, entry and exit, and
closes the run with `end_analysis`. Each finished trade gets its excursion profile from
`excursion_analysis`. The arithmetic is done on Python floats in the same order as the compiled
module, so profiles can be compared bit for bit.
"""

import math

import numpy as np

OUT_OF_BOUNDS = "Out of bounds on buffer access (axis 0)"


class Analysis:
    def __init__(self):
        self.price_matrix = np.empty((0, 0), dtype=np.float64)
        self.close_matrix = np.empty((0, 0), dtype=np.float64)
        self.col_map = {}
        self.fee_ratio = 0.0
        self.tax_ratio = 0.0
        self.window = 0
        self.window_step = 0
        self.current_date = 0
        self.entry = np.zeros(0, dtype=int)
        self.position = np.zeros(0, dtype=float)
        self.entry_is_new = np.zeros(0, dtype=int)
        self.trades = []
        self.trade_positions = []
        self.excursion = []
        # Every record_entry/record_exit call in order, so that tests can check what the
        # engine reported and when; the compiled module keeps no such log.
        self.events = []

    # -- the analysis run -------------------------------------------------------------------

    def start_analysis(self, price_matrix, close_matrix, col_map, stock_count, fee_ratio,
                       tax_ratio, window, window_step):
        self.price_matrix = price_matrix
        self.close_matrix = close_matrix
        self.col_map = dict(col_map)
        self.window = int(window)
        self.window_step = int(window_step)
        # The result lists are emptied in place: callers may hold references to them.
        self.trades.clear()
        self.trade_positions.clear()
        self.excursion.clear()
        self.events.clear()
        self.entry = np.zeros(stock_count, dtype=int)
        self.position = np.zeros(stock_count, dtype=float)
        self.entry_is_new = np.zeros(stock_count, dtype=int)
        self.fee_ratio = float(fee_ratio)
        self.tax_ratio = float(tax_ratio)

    def record_date(self, bar):
        self.current_date = int(bar)

    def record_entry(self, sid, position, is_new):
        self.events.append(("entry", sid, position, is_new, self.current_date))
        self.entry[sid] = self.current_date
        self.position[sid] = position
        self.entry_is_new[sid] = is_new

    def record_exit(self, sid, is_final):
        self.events.append(("exit", sid, is_final, self.current_date))
        self.trades.append([int(sid), self.entry[sid], self.current_date])
        self.trade_positions.append(self.position[sid])
        profile = self.excursion_analysis(
            sid, int(self.entry[sid]), self.current_date, self.position[sid] > 0,
            int(self.entry_is_new[sid]), is_final)
        self.excursion.append(profile)

    def end_analysis(self, open_positions):
        """Append the trades still open (non-zero value) in ascending sid, without exit costs."""
        for sid in sorted(open_positions):
            if open_positions[sid] != 0.0:
                self.trades.append([int(sid), self.entry[sid], -1])
                self.trade_positions.append(self.position[sid])
                profile = self.excursion_analysis(
                    sid, int(self.entry[sid]), self.current_date, self.position[sid] > 0,
                    int(self.entry_is_new[sid]), 0)
                self.excursion.append(profile)
        return None

    # -- one trade's profile ----------------------------------------------------------------

    def _price(self, bar, col):
        return float(self.price_matrix[bar, col])

    def _close(self, bar, col):
        return float(self.close_matrix[bar, col])

    def excursion_analysis(self, sid, entry_bar, exit_bar, is_long, is_new, is_final):
        """The trade's profile: six running statistics sampled every `window_step` bars below
        `window` bars from the entry, then the same six at the exit bar (`current_date`)."""
        # A sid without a price column is analysed on column 0 and remembered as such.
        col = self.col_map.setdefault(sid, 0)

        # 1. The span covers at least `window` bars after the entry, also past the exit.
        end = self.current_date
        if entry_bar + self.window > end:
            end = entry_bar + self.window
        n = self.price_matrix.shape[0]
        if end >= n:
            end = n - 1
        if end - entry_bar + 1 < 0:
            raise OverflowError("can't convert negative value to size_t")

        # 2. Entry bar: a short's return mirrors the long one around break-even (2 - x).
        pt = self._price(entry_bar, col)
        pc = self._close(entry_bar, col)
        if pt == 0.0:
            raise ZeroDivisionError("float division")
        r = pc / pt if is_long else 2 - pc / pt
        if is_new:
            r = (1 - self.fee_ratio) * r

        # NaN comparisons are false, so a NaN return keeps the neutral first values.
        returns = [r]
        run_max = [1.0 if 1.0 > r else r]
        run_min = [1.0 if r > 1.0 else r]
        min_pos = [0]
        drawdown = [r - 1 if 0 > r - 1 else 0.0]
        profit_bars = [1.0 if r > 1.0 else 0.0]

        # 3. One element per bar; a NaN close repeats the previous statistics.
        last_close = pc
        ith = None
        for j, ith in enumerate(range(entry_bar + 1, end + 1)):
            pc = self._close(ith, col)
            if not math.isnan(pc):
                if last_close == 0.0:
                    raise ZeroDivisionError("float division")
                ratio = pc / last_close
                last_close = pc
                if not math.isnan(ratio):
                    if is_long:
                        r = r * ratio
                    else:
                        r = 2 - (2 - r) * ratio
            m = run_max[j]
            mn = run_min[j]
            if r > m:
                run_max.append(r)
                m = r
            else:
                run_max.append(m)
            if mn > r:
                run_min.append(r)
                min_pos.append(j)
            else:
                run_min.append(mn)
                min_pos.append(min_pos[j])
            dd = r / m - 1
            drawdown.append(dd if drawdown[j] > dd else drawdown[j])
            if not math.isnan(pc) and r > 1.0:
                profit_bars.append(profit_bars[j] + 1)
            else:
                profit_bars.append(profit_bars[j])
            returns.append(r)

        # 4. A real exit is re-priced from the close to the trading price of bar `end` and
        #    pays commission and tax; only the last return changes.
        if is_final:
            if entry_bar != end:
                if ith is None:
                    raise UnboundLocalError(
                        "local variable 'ith' referenced before assignment")
                pt = self._price(ith, col)
                pc = self._close(ith, col)
                if pc == 0.0:
                    raise ZeroDivisionError("float division")
                last = returns[-1]
                if is_long:
                    last = (pt / pc) * last
                else:
                    last = 2 - ((2 - last) * pt) / pc
                returns[-1] = last
            returns[-1] = returns[-1] * ((1 - self.fee_ratio) - self.tax_ratio)

        # 5. Profile: sampled groups, unwritten groups at -1, exit group last.
        window, step = self.window, self.window_step
        if step == 0:
            raise ZeroDivisionError("integer division or modulo by zero")
        if step == -1 and window - 1 == -2**31:
            raise OverflowError("value too large to perform division")
        sample_count = (window - 1) // step
        profile = np.empty((sample_count + 2) * 6, dtype=np.float64)
        profile.fill(-1)

        def group(d):
            return (run_min[d] - 1, run_max[d] - 1, run_max[min_pos[d]] - 1,
                    drawdown[d], profit_bars[d], returns[d] - 1)

        def write(at, values):
            for k, v in enumerate(values):
                if not 0 <= at + k < len(profile):
                    raise IndexError(OUT_OF_BOUNDS)
                profile[at + k] = v

        # A negative window compares as larger than any size.
        span = len(run_max) if window < 0 else min(window, len(run_max))
        w = 0
        for d in range(0, span, step):
            write(w, group(d))
            w += 6

        idx = self.current_date - entry_bar
        if idx > len(run_max) - 1 or idx < 0:
            idx = len(run_max) - 1
        write(len(profile) - 6, group(idx))
        return profile
