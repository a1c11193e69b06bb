// The bar loop of a backtest: marks holdings to market, applies the exit
// rules, executes exits, rebalances on scheduled bars, closes delisted stocks
// and writes the value of every bar, its totals (when the host keeps them:
// the money it traded, the costs it paid, the number of holdings it ended
// with) and, when the host has a holdings recorder, what the bar held.
//
// The loop reads the price matrices in place and walks only the holdings; it
// knows nothing of Python.  What depends on the caller is asked of the host
// (kernel/host.h).  The rules are fixed for a run, so the walk over the
// holdings is chosen once, specialised for close or touched exits, with or
// without a trailing stop, and with or without bounds checks.
#pragma once

#include "kernel/exit_rules.h"
#include "kernel/holdings.h"
#include "kernel/holdings_record.h"
#include "kernel/host.h"
#include "kernel/loop_data.h"
#include "kernel/rebalance.h"
#include "kernel/underflow.h"
#include "kernel/view.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <utility>
#include <vector>

namespace mirelo::core {

// Stop requests are served within this many bars (a few milliseconds of work
// even with thousands of holdings) and at every rebalance.
inline constexpr Index kBarsBetweenPolls = 1024;

template <BarLoopHost Host>
class BarLoop {
public:
    BarLoop(Host& host, const PriceData& prices, const Targets& targets, const Rules& rules, LoopInputs& inputs)
        : host_(host), prices_(prices), targets_(targets), rules_(rules), inputs_(inputs), columns_(inputs.columns),
          checked_(!cells_in_range()),
          long_levels_(exit_levels(true, 1.0, 1.0, rules.exits)),
          short_levels_(exit_levels(false, 1.0, 1.0, rules.exits)),
          no_exit_below_(std::max(long_levels_.lower, short_levels_.lower)),
          no_exit_above_(std::min(long_levels_.upper, short_levels_.upper)),
          walks_trailing_(trailing_possible(rules.exits)), recorder_(host.holdings_recorder()),
          totals_(host.bar_totals()), walk_(choose_walk()),
          value_slots_(inputs.values.extent(0) >= prices.price_index.extent(0) ? inputs.values.contiguous_data()
                                                                                 : nullptr) {
        find_delisting_bars();
    }

    // Walks every bar, then reports the positions still open with their
    // values on the last bar.
    LoopState run() {
        const Index n = prices_.price_index.extent(0);
        if (n > 0 && targets_.pos_index.extent(0) == 0) throw OutOfBounds{0};  // no first position date
        plan_rebalances(n);
        if (totals_ != nullptr && recorder_ == nullptr) clear_underflow();
        (this->*walk_)(n);
        if (recorder_ != nullptr) recorder_->finish();
        if (totals_ != nullptr) finish_totals(n);
        finish_schedule(n);
        host_.end_analysis(state_.holdings, open_values(n));
        return std::move(state_);
    }

private:
    // What each position is worth at the close of the last bar walked.
    std::vector<double> open_values(Index n) const {
        std::vector<double> values;
        if (state_.holdings.empty()) return values;
        values.reserve(state_.holdings.size());
        const Row<double> price_row = prices_.price.row(n - 1);
        const Row<double> close_row = prices_.close.row(n - 1);
        for (const Position& p : state_.holdings) {
            values.push_back(value_at_close(p.value, price_row.at(p.column), close_row.at(p.column)));
        }
        return values;
    }

    // A holding is carried at the trading price and reported at the close;
    // without either, at its carried value.
    static double value_at_close(double holding, double price, double close) {
        return std::isnan(price) || std::isnan(close) ? holding : holding * close / price;
    }

    // The bars, in order.  Bars dated before the first position row only
    // take the value 1.  `Record`: each bar ends in the holdings record.
    // `Borrow`: each bar starts by paying for the shorts held since the bar
    // before.
    template <bool Touched, bool Trailing, bool Checked, bool Prefetch, bool Record, bool Borrow>
    void walk_bars(Index n) {
        for (Index i = 0; i < first_bar_; ++i) {
            inputs_.values.set(i, 1.0);
            if constexpr (Record) record_bar<Checked>(i);
            if (Record && totals_ != nullptr) totals_->set_count(static_cast<std::size_t>(i), 0);
        }
        const PlannedRebalance* planned = plan_.data();
        const PlannedRebalance* const planned_end = planned + plan_.size();
        Index next_rebalance = planned != planned_end ? planned->bar : n;
        const BarMatrices matrices{prices_.price, prices_.close, prices_.high, prices_.low, prices_.open};
        for (Index i = first_bar_; i < n; ++i) {
            const bool rebalancing = i == next_rebalance;
            if (rebalancing) {
                state_.pos_row = (planned++)->pos_row;
                next_rebalance = planned != planned_end ? planned->bar : n;
            }
            state_.rebalance_today = rebalancing;
            host_.record_date(static_cast<int>(i));
            bar_ = static_cast<int>(i);
            if (i % kBarsBetweenPolls == 0) host_.poll();
            holdings_changed_ = false;
            if constexpr (Borrow) charge_borrow(i);
            PassRecord record;
            if constexpr (Record) record = open_pass_record();
            const double value = mark_to_market<Touched, Trailing, Checked, Prefetch, Record>(i, matrices, record);
            // Most bars trade nothing after the mark-to-market pass, which then
            // already summed the bar's value in the same order.
            if (rebalancing || exits_waiting_ || delisting_on(i) || !early_value_ok_) {
                finish_bar(i, value);
            } else if (value_slots_ != nullptr) {
                value_slots_[i] = value;
            } else {
                inputs_.values.set(i, value);
            }
            if constexpr (Record) {
                // The pass wrote the holdings as they are unless a later step traded.
                if (early_value_ok_ && !holdings_changed_) close_passed_bar<Touched>(record);
                else record_bar<Checked>(i);
                if (totals_ != nullptr) totals_->set_count(static_cast<std::size_t>(i), held_count_);
            } else if (Touched && flat_entries_ != 0 && (std::isnan(value) || flat_held_) && totals_ != nullptr)
                [[unlikely]] {
                settle_bar(i, value);  // a flat entry may count (see settle_bar)
            }
        }
        state_.rebalance_today = false;
    }

    // The fee on the shorts held from the close of bar i - 1 to bar i: the
    // yearly borrow rate on their money value at that close (their terms of
    // its value, after its trades), for the calendar time between the two
    // bars' dates, read as nanoseconds since the epoch (365 days a year).  A
    // short pays from the bar after its entry through its exit bar: Friday's
    // close to Monday's is three days.  Paid out of the cash before the bar's
    // value is summed, and one of the bar's costs: the bar then ends in
    // finish_bar, which settles its totals.
    [[gnu::noinline]] void charge_borrow(Index i) {
        if (i == 0 || state_.holdings.empty()) return;
        if (checked_) return charge_borrow<true>(i);
        charge_borrow<false>(i);
    }
    template <bool Checked>
    void charge_borrow(Index i) {
        const Row<double> price_row = row_of<Checked>(prices_.price, i - 1);
        const Row<double> close_row = row_of<Checked>(prices_.close, i - 1);
        double shorts = 0.0;  // the money value of the shorts, negative
        for (const Position& p : state_.holdings) {
            if (p.value < 0) {
                shorts += value_at_close(p.value, read<Checked>(price_row, p.column), read<Checked>(close_row, p.column));
            }
        }
        if (shorts == 0) return;
        constexpr double kNanosecondsPerYear = 365.0 * 86400.0 * 1e9;
        const Vec<std::int64_t>& dates = prices_.price_index;
        const double years = static_cast<double>(dates(i) - dates(i - 1)) / kNanosecondsPerYear;
        const double fee = rules_.borrow_rate * -shorts * years;
        state_.cash -= fee;
        bar_fills_.costs += fee;
        bar_traded_ = exits_waiting_ = true;
    }

    // The rebalances of the run follow from the dates alone.  On every bar
    // from the first position row's date on, the schedule moves to the newest
    // row dated before the next bar (every row, after the last bar); a
    // flagged bar then has the next bar rebalance to that row when it is newer
    // than the one of the last rebalance.  The last bar before a first row
    // dated between two bars (or after the last bar) ends with the schedule
    // too, so that row trades on the next bar as every later row dated between
    // bars does.  The rows only move forward, so they need finding on flagged
    // bars only.
    struct PlannedRebalance {
        Index bar;      // n: due after the last bar
        Index pos_row;
    };

    void plan_rebalances(Index n) {
        const Vec<std::int64_t>& dates = prices_.price_index;
        const Vec<std::int64_t>& rows = targets_.pos_index;
        if (n == 0 || rows.extent(0) == 0) return;
        const std::int64_t first_row_date = rows(0);
        Index lo = 0, hi = n;  // the first bar dated on or after the first row (dates ascend)
        while (lo < hi) {
            const Index mid = lo + (hi - lo) / 2;
            if (dates(mid) < first_row_date) lo = mid + 1;
            else hi = mid;
        }
        first_bar_ = lo;
        scheduled_from_ = first_bar_;
        if (first_bar_ > 0 && (first_bar_ == n || dates(first_bar_) > first_row_date)) scheduled_from_ = first_bar_ - 1;
        const Index last_row = rows.extent(0) - 1;
        Index pos_row = 0, weight_row = -1, previous = -1;
        for (const Index f : inputs_.flagged_bars) {
            if (f < scheduled_from_ || f == previous) continue;
            previous = f;
            if (f < n - 1) {
                const std::int64_t next_date = dates(f + 1);
                while (pos_row < last_row && rows(pos_row + 1) < next_date) ++pos_row;
            } else {
                pos_row = last_row;
            }
            if (pos_row != weight_row) {
                plan_.push_back({f + 1, pos_row});
                weight_row = pos_row;
            }
        }
    }

    // The schedule after the last bar: every row reached, and a rebalance due
    // on the next session when the last bar planned one.
    void finish_schedule(Index n) {
        if (n == 0) return;
        state_.last_date = prices_.price_index(n - 1);
        if (scheduled_from_ >= n) return;
        state_.pos_row = targets_.pos_index.extent(0) - 1;
        state_.rebalance_today = !plan_.empty() && plan_.back().bar == n;
    }

    // After the mark-to-market pass, on a bar with more to do: exits, the
    // rebalance, delistings, then the bar's value (summed again when a step
    // traded).
    [[gnu::noinline]] void finish_bar(Index i, double summed_value) {
        if (!state_.due_exits.empty()) {
            execute_due_exits();
            state_.due_exits.clear();
        }
        if (!state_.pending_exits.empty()) std::swap(state_.due_exits, state_.pending_exits);
        exits_waiting_ = !state_.due_exits.empty();
        if (state_.rebalance_today) rebalance(i);
        if (delisting_on(i)) delist(i);
        const bool summed = early_value_ok_ && !holdings_changed_;
        const double value = summed ? summed_value : checked_ ? bar_value<true>(i) : bar_value<false>(i);
        inputs_.values.set(i, value);
        if (bar_traded_) settle_bar(i, value);
    }

    // What the mark-to-market pass writes to the holdings record, in the
    // bar's slots.  A flat entry is no holding (see record_bar).  With
    // touched exits they are frequent (a position closed by one waits at 0
    // for the next rebalance): each holding's sid and term go to the next
    // slot, which a flat entry leaves free.  With close exits a holding at 0
    // is all but impossible: each holding's term goes to its slot, the sids
    // follow once the bar is done (close_passed_bar), and the smallest square
    // of a term tells whether a flat entry may be there (a flat entry's term
    // is 0; a NaN term makes it NaN, which counts as maybe).
    struct PassRecord {
        std::int32_t* sids = nullptr;
        double* values = nullptr;
        std::size_t kept = 0;  // with touched exits: the slots written
        double smallest_square = std::numeric_limits<double>::infinity();
        template <bool Touched>
        void put(const Position& p, std::size_t k, double term) {
            if constexpr (Touched) {
                sids[kept] = p.sid;
                values[kept] = term;
                if (term != 0 || p.value != 0) [[likely]] ++kept;
            } else {
                values[k] = term;
                const double square = term * term;
                smallest_square = smallest_square < square ? smallest_square : square;
            }
        }
        bool may_hold_flat() const { return !(smallest_square > 0); }
    };

    // The price matrices, copied for the walk over the bars (the positions'
    // stores cannot change a copy).
    struct BarMatrices {
        Mat<double> price, close, high, low, open;
    };

    // The rows a touched exit reads.
    struct BarPathRows {
        Row<double> high, low, open;
    };

    // Row i of a price matrix: without checks when every cell the walk reads
    // is known to be there.
    template <bool Checked>
    static Row<double> row_of(const Mat<double>& m, Index i) {
        return Checked ? m.row(i) : m.row_in_range(i);
    }

    // Whether every cell the walk over the holdings reads is inside its array:
    // the rows of every bar, the price column of every stock and its exit
    // tracking and reference price.  The shapes cannot change during a run
    // (the buffers are held), so the walk may then read without checks;
    // otherwise each read is checked and fails as the data says.
    bool cells_in_range() const {
        const Index bars = prices_.price_index.extent(0);
        Index columns = inputs_.reference_columns;
        for (const Mat<double>* m : {&prices_.price, &prices_.close, &prices_.high, &prices_.low, &prices_.open}) {
            if (m->extent(0) < bars) return false;
            columns = std::min(columns, m->extent(1));
        }
        if (columns < 1) return false;
        const Index stocks = static_cast<Index>(inputs_.columns.size());
        for (Index sid = 0; sid < stocks; ++sid) {
            const int col = inputs_.columns[static_cast<std::size_t>(sid)];
            if (col >= columns || (col >= 0 && sid >= inputs_.tracked_stocks)) return false;
        }
        return true;
    }

    using Walk = void (BarLoop::*)(Index);

    // Whether the walk fetches the next bar's cells ahead: when the price
    // matrices are too large for the caches, each holding's cell lies on a
    // row of its own and the walk would otherwise wait on memory for every
    // holding; small matrices stay cached and need no hints.
    bool prefetches() const {
        constexpr double kCachedBytes = 8.0 * 1024 * 1024;
        const Mat<double>& m = prices_.price;
        return static_cast<double>(m.extent(0)) * std::fabs(static_cast<double>(m.stride(0))) > kCachedBytes;
    }

    template <bool Touched, bool Trailing, bool Record, bool Borrow>
    Walk walk_for() const {
        if (checked_) return &BarLoop::walk_bars<Touched, Trailing, true, false, Record, Borrow>;
        return prefetches() ? &BarLoop::walk_bars<Touched, Trailing, false, true, Record, Borrow>
                            : &BarLoop::walk_bars<Touched, Trailing, false, false, Record, Borrow>;
    }
    template <bool Record, bool Borrow>
    Walk walk_recording() const {
        if (rules_.touched_exit) {
            return walks_trailing_ ? walk_for<true, true, Record, Borrow>() : walk_for<true, false, Record, Borrow>();
        }
        return walks_trailing_ ? walk_for<false, true, Record, Borrow>() : walk_for<false, false, Record, Borrow>();
    }
    // The walks that pay a borrow fee, for a host whose runs may pay one.
    template <bool Record>
    Walk walk_borrowing() const {
        if constexpr (HostMayBorrow<Host>) {
            if (rules_.borrow_rate != 0) return walk_recording<Record, true>();
        }
        return walk_recording<Record, false>();
    }
    Walk choose_walk() const { return recorder_ != nullptr ? walk_borrowing<true>() : walk_borrowing<false>(); }

    template <bool Checked>
    static double read(const Row<double>& row, int col) {
        return Checked ? row.at(col) : row(col);
    }

    // The trading price of a held stock, validated before it is used: NaN
    // (missing) passes; 0, negative or infinite fails the run.
    template <bool Checked>
    double trade_price(Index i, int sid, int col, const Row<double>& price_row) const {
        const double price = read<Checked>(price_row, col);
        if (!valid_trade_price(price)) host_.invalid_trade_price(price, sid, i);
        return price;
    }

    // Every holding moves with its bar-to-bar price ratio and is tested
    // against its exit levels; the bar's value is summed on the way, in the
    // holdings' order (again from the new cash after an exit), its terms
    // kept for that, and written to the holdings record (`Record`) term by
    // term.  What the pass reads of the loop is copied to locals first: the
    // positions' stores cannot change them.
    template <bool Touched, bool Trailing, bool Checked, bool Prefetch, bool Record>
    [[gnu::always_inline]] double mark_to_market(Index i, const BarMatrices& m, PassRecord& bar_record) {
        const Row<double> price_row = row_of<Checked>(m.price, i);
        const Row<double> close_row = row_of<Checked>(m.close, i);
        BarPathRows path_rows;
        if constexpr (Touched) {
            path_rows = {row_of<Checked>(m.high, i), row_of<Checked>(m.low, i), row_of<Checked>(m.open, i)};
        }
        // The cells the holdings read on the next bar are fetched while this
        // one is worked on (see prefetches); the last bar has no next one.
        const bool has_next = i + 1 < m.price.extent(0);
        const Index price_step = has_next ? m.price.stride(0) : 0;
        const Index close_step = has_next ? m.close.stride(0) : 0;
        const Index high_step = has_next ? m.high.stride(0) : 0;
        const Index low_step = has_next ? m.low.stride(0) : 0;
        const Index open_step = has_next ? m.open.stride(0) : 0;
        const ExitRules exits = rules_.exits;
        double value = state_.cash;
        bool value_ok = true;
        PassRecord record;  // a local, kept in registers
        if constexpr (Record) record = bar_record;
        const std::size_t count = state_.holdings.size();
        if (!Record && Touched && terms_.size() < count) terms_.resize(count);
        Position* const first = state_.holdings.data();
        std::size_t k = 0;  // the holding's place, for its term
        for (Position* at = first; at != first + count; ++at, ++k) {
            Position& p = *at;
            const int col = p.column;
            if constexpr (Prefetch) {
                price_row.prefetch_in_row(col, price_step);
                close_row.prefetch_in_row(col, close_step);
                if constexpr (Touched) {
                    path_rows.high.prefetch_in_row(col, high_step);
                    path_rows.low.prefetch_in_row(col, low_step);
                    path_rows.open.prefetch_in_row(col, open_step);
                }
            }
            const double price = read<Checked>(price_row, col);
            if (!(price > 0 && price < std::numeric_limits<double>::infinity())) [[unlikely]] {
                if (!std::isnan(price)) host_.invalid_trade_price(price, p.sid, i);
                // A missing price moves nothing: the ratio is 1, the close level
                // NaN (no exit) and the holding counts at its carried value.
                if (Checked && col >= inputs_.reference_columns) throw OutOfBounds{0};
                if (Checked && p.sid >= inputs_.tracked_stocks) throw OutOfBounds{0};
                if (Touched && p.value != 0) {
                    const double reference = std::isnan(p.reference) ? price : p.reference;
                    if (touched_exit_fills<Trailing, Checked>(p, col, 1.0, reference, path_rows)) {
                        value = value_before<Record>(k, record);
                    }
                } else if (!Touched && Checked && p.value != 0) {
                    close_row.at(col);  // read as the exit rules would
                }
                if (value_ok) value_ok = add_value<Touched, Checked, Record>(value, k, p, price, close_row, record);
                continue;
            }
            if (Checked && col >= inputs_.reference_columns) throw OutOfBounds{0};
            // A missing reference (no valid price since the rebalance) gives a
            // NaN ratio, taken as 1: the price becomes the reference.
            double ratio = price / p.reference;
            if (std::isnan(ratio)) ratio = 1;
            p.value *= ratio;
            if (Checked && p.sid >= inputs_.tracked_stocks) throw OutOfBounds{0};
            const double cum = p.cum_return * ratio;
            p.cum_return = cum;
            // The running extremes only move a trailing stop: without one
            // nothing reads them.
            if constexpr (Trailing) {
                if (cum > p.max_return) {
                    p.max_return = cum;
                    p.long_stop = long_stop(cum, exits);
                }
                if (cum < p.min_return) {
                    p.min_return = cum;
                    p.short_stop = short_stop(cum, exits);
                }
            }
            // A holding of value 0 (closed within a bar) is no position to exit.
            if constexpr (Touched) {
                const double reference = std::isnan(p.reference) ? price : p.reference;
                if (p.value != 0 && touched_exit_fills<Trailing, Checked>(p, col, ratio, reference, path_rows)) {
                    value = value_before<Record>(k, record);
                }
                if (value_ok) value_ok = add_value<true, Checked, Record>(value, k, p, price, close_row, record);
            } else if constexpr (Checked) {
                if (p.value != 0) {
                    const double close = close_row.at(col);
                    queue_close_exit<Trailing>(p, cum, close, price_row.at(col));
                }
                if (value_ok) value_ok = add_value<false, true, Record>(value, k, p, price, close_row, record);
            } else {
                const double close = close_row(col);
                queue_close_exit<Trailing>(p, cum, close, price);
                // value_at_close: the price is valid
                const double term = std::isnan(close) ? p.value : p.value * close / price;
                value += term;
                if constexpr (Record) record.put<false>(p, k, term);
            }
            p.reference = price;
        }
        early_value_ok_ = value_ok;
        if constexpr (Record) bar_record = record;
        return value;
    }

    // NaN (missing) passes; 0, negative or infinite does not.
    static bool valid_trade_price(double price) {
        return !(price <= 0 || price == std::numeric_limits<double>::infinity());
    }

    // The bar value term of holding k, `p` (at the close; at the trading
    // price when either is missing), kept when a touched exit within the
    // pass may need the sum again, and written to the record.  A close that
    // cannot be read leaves the value to bar_value, which reports the error.
    template <bool Touched, bool Checked, bool Record>
    [[gnu::always_inline]] bool add_value(double& value, std::size_t k, const Position& p, double price,
                                          const Row<double>& close_row, PassRecord& record) {
        if (Checked && !close_row.contains(p.column)) return false;
        const double close = close_row(p.column);
        const double term = value_at_close(p.value, price, close);
        if constexpr (Touched && !Record) terms_[k] = term;
        value += term;
        if constexpr (Record) record.put<Touched>(p, k, term);
        return true;
    }

    // An exit within the pass changed the cash: the bar's value starts again
    // from the new cash, with the terms of the holdings before k, in order.
    // Recording, the terms are those in the record's slots, without the flat
    // entries: their terms are 0, which changes no sum (the cash is never -0).
    template <bool Record>
    double value_before(std::size_t k, const PassRecord& record) const {
        const double* terms = Record ? record.values : terms_.data();
        const std::size_t n = Record ? record.kept : k;
        double value = state_.cash;
        for (std::size_t j = 0; j < n; ++j) value += terms[j];
        return value;
    }

    // The levels of a position: fixed for the run, or from the stops it keeps.
    template <bool Trailing>
    ExitLevels levels(bool is_long, const Position& p) const {
        if constexpr (Trailing) return levels_of(is_long, p.long_stop, p.short_stop, rules_.exits);
        return is_long ? long_levels_ : short_levels_;
    }

    // Close mode: the bar's close against the levels; an exit is queued for
    // the next bar, with its reason and the position's direction.
    template <bool Trailing>
    void queue_close_exit(const Position& p, double cum, double close, double price) {
        const double level = cum * close / price;
        // Between the fixed levels of both directions no exit is possible:
        // most bars stop here, without the position's direction.
        if (!Trailing && no_exit_below_ <= level && level < no_exit_above_) return;
        if (p.value == 0) return;  // closed within a bar: no position to exit
        const bool is_long = p.value / cum > 0;  // the entry value's sign
        const ExitLevels lv = levels<Trailing>(is_long, p);
        const int side = close_exit(level, lv);
        if (side == 0) return;
        const bool profit = is_long ? side > 0 : side < 0;
        state_.pending_exits.push_back({p.sid, exit_reason(profit, lv), is_long});
        exits_waiting_ = true;
    }

    // Touched mode: the bar's open, high and low against the levels, on the
    // position's scale from the previous bar; a triggered exit closes the
    // position at once.  Returns whether it did.
    template <bool Trailing, bool Checked>
    [[gnu::always_inline]] bool touched_exit_fills(Position& p, int col, double ratio, double reference,
                                                   const BarPathRows& rows) {
        const double cum = p.cum_return;
        const double entry_value = p.value / cum;
        const bool is_long = entry_value > 0;
        const ExitLevels lv = levels<Trailing>(is_long, p);
        const double start = cum / ratio;
        const BarPath path{start * read<Checked>(rows.high, col) / reference,
                           start * read<Checked>(rows.low, col) / reference,
                           start * read<Checked>(rows.open, col) / reference};
        if (!touches(path, lv)) [[likely]] return false;
        fill_touched_exit(p, touched_exit(path, lv, entry_value), is_long);
        return true;
    }

    // Closes a position whose bar touched a level, at the exit value; it stays
    // (at 0, a flat entry) until the next rebalance.  The bar then ends in
    // finish_bar, which settles its totals.
    [[gnu::noinline]] void fill_touched_exit(Position& p, const TouchedExit& exit, bool is_long) {
        bar_traded_ = exits_waiting_ = true;
        ++flat_entries_;
        p.value = exit.exit_value;
        state_.stopped_stocks.push_back({p.sid, exit.reason, is_long});
        state_.cash = close_position(host_, p, state_.cash, rules_.fee_ratio, rules_.tax_ratio, exit.reason,
                                     bar_fills_);
    }

    // Exits found on the previous bar's close fill at this bar's trading
    // price, unless today's rebalance keeps the stock.
    [[gnu::noinline]] void execute_due_exits() {
        for (const Exit& exit : state_.due_exits) {
            const int s = exit.sid;
            const bool keep = state_.rebalance_today && !host_.stop_trading() &&
                              targets_.pos_values.at(state_.pos_row, s) != 0;
            auto found = state_.holdings.find(s);
            if (found == state_.holdings.end() || found->value == 0 || keep) continue;
            state_.cash = close_position(host_, *found, state_.cash, rules_.fee_ratio, rules_.tax_ratio, exit.reason,
                                         bar_fills_);
            state_.holdings.erase(found);
            holdings_changed_ = bar_traded_ = true;
            state_.stopped_stocks.push_back(exit);
            auto& pending = state_.pending_exits;
            auto queued = std::find_if(pending.begin(), pending.end(), [s](const Exit& e) { return e.sid == s; });
            if (queued != pending.end()) pending.erase(queued);
        }
    }

    // Entering starts a new exit horizon: for every stock, or with
    // retain_cost_when_rebalance only for new and reversed positions (new
    // positions start at 1 anyway).  The row is read as pos_values[pos_row].
    void reset_tracking() {
        if (!rules_.retain_cost_when_rebalance) {
            for (Position& p : state_.holdings) p.reset_tracking();
            return;
        }
        const Mat<double>& weights = targets_.pos_values;
        const Index columns = weights.extent(1);
        if (columns == 0) return;
        const Index row = weights.checked(state_.pos_row, 0);
        if (inputs_.tracked_stocks < columns) refuse_untracked_entries(row, columns);
        for (Position& p : state_.holdings) {
            if (p.sid >= columns) continue;
            const double w = weights(row, p.sid);
            if (w != 0 && p.value * w <= 0) p.reset_tracking();
        }
    }

    // The run setup's tracking arrays end before the row does: the first stock
    // past them that the reset would start afresh fails.
    void refuse_untracked_entries(Index row, Index columns) const {
        for (Index sid = std::max<Index>(inputs_.tracked_stocks, 0); sid < columns; ++sid) {
            const double w = targets_.pos_values(row, sid);
            if (w == 0) continue;
            auto found = state_.holdings.find(static_cast<int>(sid));
            if (found == state_.holdings.end() || found->value * w <= 0) throw OutOfBounds{0};
        }
    }

    [[gnu::noinline]] void rebalance(Index i) {
        host_.poll();
        holdings_changed_ = bar_traded_ = true;
        flats_moved_ = flat_entries_ != 0;  // closed or bought again, but those past the row
        reset_tracking();
        auto weights = host_.weight_row(state_.pos_row, state_.stopped_stocks);
        // The exits queued on this bar were decided on the old positions.
        due_before_.clear();
        for (const Exit& exit : state_.due_exits) due_before_.push_back(state_.holdings.value_of(exit.sid));
        const RebalanceTerms terms{rules_.fee_ratio, rules_.tax_ratio, rules_.position_limit, state_.pos_row, bar_};
        BarFills fills = bar_fills_;  // kept in registers while the stocks are moved
        state_.cash = core::rebalance(host_, columns_, state_.holdings, weights, nonzero_, state_.cash, terms, fills);
        bar_fills_ = fills;
        drop_exits_of_reversed_positions();
        state_.stopped_stocks.clear();
        state_.rebalanced_sids.clear();
        for (const Position& p : state_.holdings) state_.rebalanced_sids.push_back(p.sid);
        state_.weight_row = state_.pos_row;
        take_references(prices_.price.row(i));
    }

    // After a rebalance every position's reference is today's trading price,
    // as if the whole row of reference prices were copied (and failing as
    // that copy would).
    void take_references(const Row<double>& row) {
        const Index columns = inputs_.reference_columns;
        if (columns > 0 && !row.valid()) throw OutOfBounds{0};
        if (columns > 0 && row.size() < columns) throw OutOfBounds{1};
        for (Position& p : state_.holdings) {
            if (p.column >= 0 && p.column < columns) p.reference = row(p.column);
        }
        if (walks_trailing_) {
            for (Position& p : state_.holdings) {
                p.long_stop = long_stop(p.max_return, rules_.exits);
                p.short_stop = short_stop(p.min_return, rules_.exits);
            }
        }
    }

    // A queued exit was decided on the levels of the position before the
    // rebalance; once the rebalance has turned a long into a short (or back),
    // the new position has levels of its own, so that exit no longer applies.
    // Resizes on the same side and closes keep their queued exits.
    void drop_exits_of_reversed_positions() {
        std::size_t kept = 0;
        for (std::size_t k = 0; k < state_.due_exits.size(); ++k) {
            const Exit exit = state_.due_exits[k];
            if (due_before_[k] * state_.holdings.value_of(exit.sid) < 0) continue;
            state_.due_exits[kept++] = exit;
        }
        state_.due_exits.resize(kept);
    }

    // The bars on which some stock is delisted.  When a held stock could lie
    // past the delisting array, every bar reads it (and fails where it does).
    void find_delisting_bars() {
        if (!inputs_.use_delisting) return;
        const Vec<std::int64_t>& bars = targets_.delisting_bars;
        for (Index sid = bars.extent(0); sid < static_cast<Index>(inputs_.columns.size()); ++sid) {
            if (inputs_.columns[static_cast<std::size_t>(sid)] >= 0) delisting_every_bar_ = true;
        }
        const Index n = prices_.price_index.extent(0);
        delisting_on_bar_.assign(static_cast<std::size_t>(n), 0);
        for (Index k = 0; k < bars.extent(0); ++k) {
            const std::int64_t d = bars(k);
            if (d >= 0 && d < n) delisting_on_bar_[static_cast<std::size_t>(d)] = 1;
        }
    }

    // Whether the delisting step has stocks to look at on bar i.
    bool delisting_on(Index i) const {
        return inputs_.use_delisting && (delisting_every_bar_ || delisting_on_bar_[static_cast<std::size_t>(i)] != 0);
    }

    [[gnu::noinline]] void delist(Index i) {
        for (const Position& p : state_.holdings) {
            if (targets_.delisting_bars.at(p.sid) == i && p.value != 0) delisted_now_.push_back(p.sid);
        }
        if (!delisted_now_.empty()) holdings_changed_ = bar_traded_ = true;
        for (int sid : delisted_now_) {
            auto found = state_.holdings.find(sid);
            state_.cash = close_position(host_, *found, state_.cash, rules_.fee_ratio, rules_.tax_ratio,
                                         ExitReason::Delisting, bar_fills_);
            state_.holdings.erase(found);
        }
        delisted_now_.clear();
    }

    // Holdings are carried at the trading price and reported at the close.
    template <bool Checked>
    [[gnu::noinline]] double bar_value(Index i) const {
        const Row<double> price_row = row_of<Checked>(prices_.price, i);
        const Row<double> close_row = row_of<Checked>(prices_.close, i);
        double value = state_.cash;
        for (const Position& p : state_.holdings) {
            const double price = trade_price<Checked>(i, p.sid, p.column, price_row);
            value += value_at_close(p.value, price, read<Checked>(close_row, p.column));
        }
        return value;
    }

    // Bar i as its value counts it: each holding at the close, in the order
    // of the sum, then the cash.  A flat entry (a position closed within a
    // bar by a touched exit waits at 0 for the next rebalance) is no holding:
    // its term is 0, and leaving it out changes no sum, since the cash is
    // never -0.  Most bars are written by the mark-to-market pass (see
    // close_passed_bar); this writes a bar whose holdings changed after the
    // pass, or a bar before the first weights row (it holds nothing).  The
    // bar's prices were read (and checked) when it was valued.
    template <bool Checked>
    [[gnu::noinline]] void record_bar(Index i) {
        const HoldingsRecorder::Slots slots = recorder_->open_bar(state_.holdings.size());
        std::size_t kept = 0;
        if (!state_.holdings.empty()) {
            const Row<double> price_row = row_of<Checked>(prices_.price, i);
            const Row<double> close_row = row_of<Checked>(prices_.close, i);
            for (const Position& p : state_.holdings) {
                const double term =
                    value_at_close(p.value, read<Checked>(price_row, p.column), read<Checked>(close_row, p.column));
                if (term == 0 && p.value == 0) continue;
                slots.sid[kept] = p.sid;
                slots.value[kept++] = term;
            }
        }
        end_recorded_bar(kept);
    }

    PassRecord open_pass_record() {
        const HoldingsRecorder::Slots slots = recorder_->open_bar(state_.holdings.size());
        return {slots.sid, slots.value};
    }

    // A bar whose holdings the pass wrote, as they still are.  With touched
    // exits the slots are done; with close exits the sids follow (those of
    // the bar before when it recorded every holding: no step between two bars
    // changes the holdings).  Then the bar closes.
    template <bool Touched>
    void close_passed_bar(const PassRecord& record) {
        if constexpr (Touched) {
            end_recorded_bar(record.kept);
        } else {
            const std::size_t count = state_.holdings.size();
            if (record.may_hold_flat()) [[unlikely]] return drop_flat_entries(record);
            std::int32_t* sids = record.sids;
            if (recorded_every_holding_ && count > 8) {
                std::memcpy(sids, sids - count, count * sizeof *sids);
            } else {
                for (const Position& p : state_.holdings) *sids++ = p.sid;
            }
            end_recorded_bar(count);
        }
    }

    // The pass's terms (close exits) without the flat entries, with their sids.
    [[gnu::noinline]] void drop_flat_entries(const PassRecord& record) {
        std::size_t kept = 0;
        const double* term = record.values;
        for (const Position& p : state_.holdings) {
            const double value = *term++;
            if (value == 0 && p.value == 0) continue;
            record.sids[kept] = p.sid;
            record.values[kept++] = value;
        }
        end_recorded_bar(kept);
    }

    void end_recorded_bar(std::size_t kept) {
        recorder_->end_bar(kept, state_.cash);
        recorded_every_holding_ = kept == state_.holdings.size();
        held_count_ = static_cast<std::int32_t>(kept);
    }

    // Bar i, valued `value`, traded or may count a flat entry: its totals,
    // after those of the quiet bars before it (no fill, the holdings of the
    // last bar settled).  Without the record the holdings are counted here:
    // all but the flat entries, which touched exits leave and a rebalance
    // closes or buys again.  A flat entry counts where its value at the close
    // is not 0 but NaN (see count_holdings), which makes the bar's value NaN:
    // the walk with touched exits settles such a bar while it holds a flat
    // entry, and the bars after it while one counts.  With close exits the
    // only flat entry is one that the mark-to-market pass made, rounding a
    // holding's value, or its price ratio, to 0 (prices and references are
    // positive and finite, or NaN, which moves nothing).  That raises the
    // underflow flag: the counts are then unsure, and the run is made again
    // with the record, which counts every bar (see run_native).
    [[gnu::noinline]] void settle_bar(Index i, double value) {
        bar_traded_ = false;
        const BarFills fills = std::exchange(bar_fills_, BarFills{});
        if (totals_ == nullptr) return;
        const bool counting = recorder_ == nullptr;
        if (counting) check_underflow();
        const auto bar = static_cast<std::size_t>(i);
        if (settled_ <= bar) {
            totals_->quiet(settled_, bar, held_count_, counting);
            totals_->set_fills(bar, fills);
            settled_ = bar + 1;
        }
        if (!counting) return;
        if (flat_entries_ != 0 && (flats_moved_ || flat_held_ || std::isnan(value))) {
            held_count_ = checked_ ? count_holdings<true>(i) : count_holdings<false>(i);
        } else {
            held_count_ = static_cast<std::int32_t>(state_.holdings.size() - flat_entries_);
        }
        totals_->set_count(bar, held_count_);
    }

    void check_underflow() {
        if (underflow_raised()) [[unlikely]] {
            totals_->counts_unsure = true;
            clear_underflow();
        }
    }

    // The holdings after bar i's trades as record_bar keeps them: every
    // entry but a flat one whose value at the close is 0 (its prices were
    // read when the bar was valued).  Counts the flat entries on the way.
    template <bool Checked>
    std::int32_t count_holdings(Index i) {
        std::int32_t count = 0;
        flat_entries_ = 0;
        flat_held_ = flats_moved_ = false;
        for (const Position& p : state_.holdings) {
            if (p.value != 0) {
                ++count;
                continue;
            }
            ++flat_entries_;
            const double price = read<Checked>(row_of<Checked>(prices_.price, i), p.column);
            if (value_at_close(p.value, price, read<Checked>(row_of<Checked>(prices_.close, i), p.column)) != 0) {
                ++count;  // NaN: a flat entry at an infinite close
                flat_held_ = true;
            }
        }
        return count;
    }

    // After the last bar: the quiet bars at the end.
    void finish_totals(Index n) {
        const bool counting = recorder_ == nullptr;
        if (counting) check_underflow();
        totals_->quiet(settled_, static_cast<std::size_t>(n), held_count_, counting);
        totals_->finish();
    }

    Host& host_;
    const PriceData& prices_;
    const Targets& targets_;
    const Rules& rules_;
    LoopInputs& inputs_;
    const ColumnTable columns_;
    const bool checked_;              // see cells_in_range
    const ExitLevels long_levels_;    // the levels when no trailing stop can move them
    const ExitLevels short_levels_;
    // The band of close levels where neither direction exits (fixed levels).
    const double no_exit_below_;
    const double no_exit_above_;
    const bool walks_trailing_;       // a trailing stop can move the levels (positions keep their stops)
    HoldingsRecorder* const recorder_;  // null: nothing is recorded
    BarTotals* const totals_;         // null: the host keeps none
    const Walk walk_;                 // the walk over the bars for these rules
    double* const value_slots_;       // the value path when contiguous with a place for every bar
    LoopState state_;
    Index first_bar_ = 0;             // the first bar dated on or after the first position row
    Index scheduled_from_ = 0;        // the first bar that ends with the schedule
    std::vector<PlannedRebalance> plan_;
    int bar_ = 0;                     // the bar being worked on
    SparseRow nonzero_;               // the non-zero weights of the rebalance's row
    std::vector<double> due_before_;  // holding of each due exit's stock before a rebalance
    std::vector<int> delisted_now_;
    std::vector<char> delisting_on_bar_;  // some stock is delisted on the bar
    bool delisting_every_bar_ = false;
    std::vector<double> terms_;       // the bar value terms of the pass, with touched exits
    bool early_value_ok_ = false;     // the mark-to-market pass summed the bar's value
    bool exits_waiting_ = false;      // the bar ends in finish_bar: an exit queued or due or filled, a fee paid
    bool holdings_changed_ = false;   // a step after the mark-to-market pass traded
    bool recorded_every_holding_ = false;  // the last bar recorded ended with the holdings' sids, in order
    BarFills bar_fills_;              // the fills of the bar so far
    bool bar_traded_ = false;         // the bar filled something: its totals are due (settle_bar)
    std::size_t settled_ = 0;         // the bars before it have their totals
    std::int32_t held_count_ = 0;     // the holdings after the last bar counted
    std::size_t flat_entries_ = 0;    // holdings at 0, left by a touched exit until the next rebalance
    bool flat_held_ = false;          // the last count counted a flat entry
    bool flats_moved_ = false;        // a rebalance moved the flat entries since they were counted
};

// Runs the bar loop of one backtest on `host`; returns what the final stock
// operations are built from.
template <BarLoopHost Host>
LoopState run_bar_loop(Host& host, const PriceData& prices, const Targets& targets, const Rules& rules,
                       LoopInputs& inputs) {
    return BarLoop<Host>(host, prices, targets, rules, inputs).run();
}

}  // namespace mirelo::core
