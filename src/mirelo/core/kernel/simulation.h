// The bar loop of a backtest: marks holdings to market, applies the exit
// rules, executes exits, rebalances on scheduled bars, closes delisted stocks
// and writes the value of every bar (and, when the host has a holdings
// recorder, what the bar held).
//
// The loop reads the price matrices in place and walks only the holdings; it
// knows nothing of Python.  What depends on the caller is asked of the host
// (see simulation_host.h): the trade records, the truth of
// stop_trading_next_period, the weight rows and their gross sums, the stop
// requests, the failures that name a stock, and the holdings recorder (null
// when nothing is recorded).
#pragma once

#include "kernel/exit_rules.h"
#include "kernel/holdings.h"
#include "kernel/holdings_record.h"
#include "kernel/view.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <map>
#include <utility>
#include <vector>

namespace mirelo::core {

// The five price matrices (bars x price columns) and the date of every bar.
struct PriceData {
    Mat<double> price, close, high, low, open;
    Vec<std::int64_t> price_index;
};

// The target weights (position rows x position columns, one per sid), the
// date of every row and, when delisting is used, each sid's delisting bar.
struct Targets {
    Mat<double> pos_values;
    Vec<std::int64_t> pos_index;
    Vec<std::int64_t> delisting_bars;
};

// The trading rules of a run; the four distances already made absolute.
struct Rules {
    double fee_ratio = 0.001425;
    double tax_ratio = 0.003;
    ExitRules exits{1.0, 0.0, 0.0, 0.0};
    bool touched_exit = false;
    double position_limit = 1.0;
    bool retain_cost_when_rebalance = false;
};

// The per-stock tracking of the exit rules, indexed by sid, and the reference
// prices, indexed by price column.  Writable views.
struct Tracking {
    Vec<double> cum_return, max_return, min_return, prev_prices;

    // Entering, exiting or delisting a stock starts a new exit horizon.
    void reset(int sid) const {
        cum_return.set(sid, 1.0);
        max_return.set(sid, 1.0);
        min_return.set(sid, 1.0);
    }
};

// What the run setup hands to the loop.
struct LoopInputs {
    std::map<int, int> col_map;           // sid -> price column
    Vec<double> values;                   // the value path, one per bar (written)
    Tracking tracking;
    bool use_delisting = false;
    std::vector<std::int64_t> rebalance_flags;  // one per bar
};

// An exit decided by the exit rules.  The kind is kept apart from the stock
// (a signed sid cannot mark the kind of stock 0).
struct Exit {
    int sid;
    bool profit_side;  // take-profit side ("tp"), else stop side ("sl")
    ExitReason reason;
};

// What the loop leaves for the final stock operations.
struct LoopState {
    Holdings holdings;
    double cash = 1.0;
    std::vector<Exit> pending_exits;   // found on this bar's close, executed next bar
    std::vector<Exit> due_exits;       // found on the previous bar, executed on this one
    std::vector<Exit> stopped_stocks;  // closed by an exit rule since the last rebalance
    std::vector<int> delisted_now;
    Holdings rebalance_holdings;       // holdings right after the last rebalance
    Index pos_row = 0;
    Index weight_row = -1;
    bool rebalance_today = false;
    std::int64_t last_date = 0;        // date of the last bar walked
};

// Each rebalance date flags the last bar dated on or before it (bar 0 for a
// date before the calendar).  One forward sweep: j never moves back, so an
// unsorted date flags the current bar again.  An empty calendar has no bar to
// flag.
inline std::vector<std::int64_t> rebalance_flags(const Vec<std::int64_t>& price_index,
                                                 const Vec<std::int64_t>& resample) {
    const Index n = price_index.extent(0);
    std::vector<std::int64_t> flags(static_cast<std::size_t>(n), 0);
    if (n == 0) return flags;
    Index j = 0;
    for (Index k = 0; k < resample.extent(0); ++k) {
        const std::int64_t date = resample(k);
        while (j + 1 < n && price_index(j + 1) <= date) ++j;
        flags[static_cast<std::size_t>(j)] = 1;
    }
    return flags;
}

// Whether any stock has a delisting bar (negative values mark none).
inline bool any_delisting(const Vec<std::int64_t>& delisting_bars) {
    for (Index k = 0; k < delisting_bars.extent(0); ++k) {
        if (delisting_bars(k) >= 0) return true;
    }
    return false;
}

// The first position whose date is smaller than the one before it, or -1.
inline Index first_step_back(const Vec<std::int64_t>& dates) {
    for (Index k = 1; k < dates.extent(0); ++k) {
        if (dates(k) < dates(k - 1)) return k;
    }
    return -1;
}

// Stop requests are served within this many bars (a few milliseconds of work
// even with thousands of holdings) and at every rebalance.
inline constexpr Index kBarsBetweenPolls = 1024;

template <typename Host>
class BarLoop {
public:
    BarLoop(Host& host, const PriceData& prices, const Targets& targets, const Rules& rules, LoopInputs& in)
        : host_(host), p_(prices), g_(targets), r_(rules), in_(in), t_(in.tracking),
          columns_(in.col_map),
          tracked_stocks_(std::min({t_.cum_return.extent(0), t_.max_return.extent(0), t_.min_return.extent(0)})),
          unchecked_(cells_in_range()), refs_in_place_(one_stock_per_column()),
          recorder_(host.holdings_recorder()) {}

    // Walks every bar, then reports the positions still open with their
    // values on the last bar.
    LoopState run() {
        const Index n = p_.price_index.extent(0);
        for (Index i = 0; i < n; ++i) {
            bar(i, n);
            if (recorder_ == nullptr) continue;
            if (unchecked_) record_bar<false>(*recorder_);
            else record_bar<true>(*recorder_);
        }
        std::vector<double> open_values;
        open_values.reserve(st_.holdings.size());
        for (const auto& [sid, holding] : st_.holdings) {
            const int col = columns_.column_of(sid);
            open_values.push_back(value_at_close(holding, row_.price.at(col), row_.close.at(col)));
        }
        host_.end_analysis(st_.holdings, open_values);
        return std::move(st_);
    }

private:
    void bar(Index i, Index n) {
        const std::int64_t date = p_.price_index(i);
        st_.last_date = date;
        if (date < g_.pos_index.at(0)) {
            in_.values.set(i, 1.0);
            // The last bar before a first row dated between two bars (or after
            // the last bar) still ends with the schedule, so that row trades on
            // the next bar as every later row dated between bars does.
            if (i == n - 1 || p_.price_index.at(i + 1) > g_.pos_index.at(0)) schedule_next(i, n);
            return;
        }
        host_.record_date(static_cast<int>(i));
        if (i % kBarsBetweenPolls == 0) host_.poll();
        take_rows(i);
        holdings_changed_ = false;
        if (unchecked_) mark_to_market<false>(i);
        else mark_to_market<true>(i);
        execute_due_exits();
        std::swap(st_.due_exits, st_.pending_exits);
        st_.pending_exits.clear();
        if (st_.rebalance_today) rebalance();
        if (in_.use_delisting) delist(i);
        // Most bars change no holding after the mark-to-market pass, which then
        // already summed the bar's value in the same order.
        in_.values.set(i, early_value_ok_ && !holdings_changed_ ? early_value_ : bar_value(i));
        schedule_next(i, n);
    }

    // The rows of bar i, and of bar i + 1 to prefetch from.
    void take_rows(Index i) {
        row_ = {p_.price.row(i), p_.close.row(i), p_.high.row(i), p_.low.row(i), p_.open.row(i)};
        const Index n = i + 1 < p_.price_index.extent(0) ? i + 1 : i;
        next_ = {p_.price.row(n), p_.close.row(n), p_.high.row(n), p_.low.row(n), p_.open.row(n)};
    }

    // Whether every cell the walk over the holdings reads is inside its array:
    // the rows of every bar, the price column of every stock (column 0 for a
    // stock without one) and its reference price.  The shapes cannot change
    // during a run (the buffers are held), so the walk may then read without
    // checks; otherwise each read is checked and fails as the data says.
    bool cells_in_range() const {
        const Index bars = p_.price_index.extent(0);
        Index columns = t_.prev_prices.extent(0);
        for (const Mat<double>* m : {&p_.price, &p_.close, &p_.high, &p_.low, &p_.open}) {
            if (m->extent(0) < bars) return false;
            columns = std::min(columns, m->extent(1));
        }
        if (columns < 1) return false;
        for (const auto& [sid, col] : in_.col_map) {
            if (col < 0 || col >= columns) return false;
        }
        return true;
    }

    // Whether no two stocks share a price column: each reference price can
    // then move as soon as its stock has been marked.
    bool one_stock_per_column() const {
        std::vector<int> cols;
        for (const auto& [sid, col] : in_.col_map) cols.push_back(col);
        std::sort(cols.begin(), cols.end());
        return std::adjacent_find(cols.begin(), cols.end()) == cols.end();
    }

    template <bool Checked>
    static double read(const Row<double>& row, int col) {
        return Checked ? row.at(col) : row(col);
    }

    // The trading price of a held stock, validated before it is used: NaN
    // (missing) passes; 0, negative or infinite fails the run.
    template <bool Checked = true>
    double trade_price(Index i, int sid, int col) const {
        const double price = read<Checked>(row_.price, col);
        if (!std::isnan(price) && (std::isinf(price) || price <= 0)) host_.invalid_trade_price(price, sid, i);
        return price;
    }

    // The cells of the next bar that the holdings will read: fetched while this
    // bar is worked on, so that the walk over the matrices does not wait on
    // memory for every holding.
    void prefetch_next_bar(int col) const {
        next_.price.prefetch(col);
        next_.close.prefetch(col);
        if (r_.touched_exit) {
            next_.high.prefetch(col);
            next_.low.prefetch(col);
            next_.open.prefetch(col);
        }
    }

    // Every holding moves with its bar-to-bar price ratio.  The reference
    // prices advance only after the whole pass, so stocks sharing a price
    // column all see the ratio against the previous bar (when no column is
    // shared, each advances at once).
    template <bool Checked>
    void mark_to_market(Index i) {
        const Vec<double>& prev = t_.prev_prices;
        ref_updates_.clear();
        early_value_ = st_.cash;
        early_value_ok_ = true;
        for (auto& [sid, holding] : st_.holdings) {
            const int col = columns_.column_of(sid);
            prefetch_next_bar(col);
            const double price = trade_price<Checked>(i, sid, col);
            double reference = Checked ? prev.at(col) : prev(col);
            if (std::isnan(reference)) {
                reference = price;
                prev.set(col, price);
            }
            double ratio = price / reference;
            if (std::isnan(ratio)) ratio = 1;
            holding *= ratio;
            const Returns returns = track_returns(sid, ratio);
            // A holding of value 0 (closed within a bar) is no position to exit.
            if (holding != 0 && apply_exit_rules<Checked>(sid, col, ratio, reference, returns, holding)) {
                early_value_ok_ = false;  // cash changed within the pass
            }
            if (early_value_ok_) add_early_value(price, col, holding);
            if (!std::isnan(price)) {
                if (!Checked && refs_in_place_) prev.put(col, price);
                else ref_updates_.emplace_back(col, price);
            }
        }
        for (const auto& [col, price] : ref_updates_) prev.set(col, price);
    }

    // The stock's price relative to its entry and the running extremes since
    // the entry, moved by this bar's ratio (an extreme moves only on a strict
    // improvement).
    struct Returns {
        double cum, max, min;
    };
    Returns track_returns(int sid, double ratio) {
        // Sids below tracked_stocks_ are in all three arrays: one check for all.
        const bool in_range = sid >= 0 && sid < tracked_stocks_;
        auto get = [&](const Vec<double>& a) { return in_range ? a(sid) : a.at(sid); };
        auto put = [&](const Vec<double>& a, double v) { in_range ? a.put(sid, v) : a.set(sid, v); };
        Returns r{get(t_.cum_return) * ratio, get(t_.max_return), get(t_.min_return)};
        put(t_.cum_return, r.cum);
        if (r.cum > r.max) {
            r.max = r.cum;
            put(t_.max_return, r.cum);
        }
        if (r.cum < r.min) {
            r.min = r.cum;
            put(t_.min_return, r.cum);
        }
        return r;
    }

    // The bar value term of one holding, as bar_value adds it; a close that
    // cannot be read leaves the value to bar_value, which reports the error.
    void add_early_value(double price, int col, double holding) {
        if (!row_.close.contains(col)) {
            early_value_ok_ = false;
            return;
        }
        early_value_ += value_at_close(holding, price, row_.close(col));
    }

    // A holding is carried at the trading price and reported at the close;
    // without either, at its carried value.
    static double value_at_close(double holding, double price, double close) {
        if (std::isnan(price) || std::isnan(close)) return holding;
        return holding * close / price;
    }

    // Whether a touched exit closed the position within the bar.
    template <bool Checked>
    bool apply_exit_rules(int sid, int col, double ratio, double reference, const Returns& r, double& holding) {
        const double cum = r.cum;
        const double entry_value = holding / cum;
        const bool is_long = entry_value > 0;
        const ExitLevels lv = exit_levels(is_long, r.max, r.min, r_.exits);
        if (r_.touched_exit) {
            const double start = cum / ratio;
            const BarPath path{start * read<Checked>(row_.high, col) / reference,
                               start * read<Checked>(row_.low, col) / reference,
                               start * read<Checked>(row_.open, col) / reference};
            const TouchedExit exit = touched_exit(path, lv, entry_value);
            if (!exit.triggered) return false;
            holding = exit.exit_value;
            const ExitReason reason = exit_reason(exit.profit_side, lv);
            st_.stopped_stocks.push_back({sid, exit.profit_side, reason});
            // The entry stays (at 0) while the holdings are being walked.
            st_.cash = close_position(host_, st_.holdings, sid, st_.cash, r_.fee_ratio, r_.tax_ratio, false, reason);
            return true;
        }
        const double close_level = cum * read<Checked>(row_.close, col) / read<Checked>(row_.price, col);
        const int side = close_exit(close_level, lv);
        if (side != 0) {
            // The label follows the level crossed; the reason follows the position.
            const bool profit = is_long ? side > 0 : side < 0;
            st_.pending_exits.push_back({sid, side > 0, exit_reason(profit, lv)});
        }
        return false;
    }

    // Exits found on the previous bar's close fill at this bar's trading
    // price, unless today's rebalance keeps the stock.
    void execute_due_exits() {
        for (const Exit& exit : st_.due_exits) {
            const int s = exit.sid;
            const bool keep = st_.rebalance_today && !host_.stop_trading() && g_.pos_values.at(st_.pos_row, s) != 0;
            auto found = st_.holdings.find(s);
            if (found == st_.holdings.end() || found->second == 0 || keep) continue;
            st_.cash = close_position(host_, st_.holdings, s, st_.cash, r_.fee_ratio, r_.tax_ratio, true, exit.reason);
            holdings_changed_ = true;
            st_.stopped_stocks.push_back(exit);
            t_.reset(s);
            auto& pending = st_.pending_exits;
            for (auto it = pending.begin(); it != pending.end(); ++it) {
                if (it->sid == s) {
                    pending.erase(it);
                    break;
                }
            }
        }
    }

    // Entering starts a new exit horizon: for every stock, or with
    // retain_cost_when_rebalance only for new and reversed positions.
    void reset_tracking() {
        const Index columns = g_.pos_values.extent(1);
        if (!r_.retain_cost_when_rebalance) {
            t_.cum_return.fill(1.0);
            t_.max_return.fill(1.0);
            t_.min_return.fill(1.0);
            return;
        }
        for (Index sid = 0; sid < columns; ++sid) {
            const double w = g_.pos_values.at(st_.pos_row, sid);
            if (w == 0) continue;
            auto found = st_.holdings.find(static_cast<int>(sid));
            if (found == st_.holdings.end() || found->second * w <= 0) t_.reset(static_cast<int>(sid));
        }
    }

    double holding_of(int sid) const {
        auto found = st_.holdings.find(sid);
        return found != st_.holdings.end() ? found->second : 0.0;
    }

    void rebalance() {
        host_.poll();
        holdings_changed_ = true;
        reset_tracking();
        auto weights = host_.weight_row(st_.pos_row, st_.stopped_stocks);
        // The exits queued on this bar were decided on the old positions.
        due_before_.clear();
        for (const Exit& exit : st_.due_exits) due_before_.push_back(holding_of(exit.sid));
        st_.cash = core::rebalance(host_, columns_, st_.holdings, weights, st_.cash, r_.fee_ratio, r_.tax_ratio,
                                   r_.position_limit, st_.pos_row);
        drop_exits_of_reversed_positions();
        st_.stopped_stocks.clear();
        st_.rebalance_holdings = st_.holdings;
        st_.weight_row = st_.pos_row;
        t_.prev_prices.assign_row(row_.price);
    }

    // A queued exit was decided on the levels of the position before the
    // rebalance; once the rebalance has turned a long into a short (or back),
    // the new position has levels of its own, so that exit no longer applies.
    // Resizes on the same side and closes keep their queued exits.
    void drop_exits_of_reversed_positions() {
        std::size_t kept = 0;
        for (std::size_t k = 0; k < st_.due_exits.size(); ++k) {
            const Exit exit = st_.due_exits[k];
            if (due_before_[k] * holding_of(exit.sid) < 0) continue;
            st_.due_exits[kept++] = exit;
        }
        st_.due_exits.resize(kept);
    }

    void delist(Index i) {
        for (const auto& [sid, holding] : st_.holdings) {
            if (g_.delisting_bars.at(sid) == i && holding != 0) st_.delisted_now.push_back(sid);
        }
        if (!st_.delisted_now.empty()) holdings_changed_ = true;
        for (int sid : st_.delisted_now) {
            st_.cash = close_position(host_, st_.holdings, sid, st_.cash, r_.fee_ratio, r_.tax_ratio, true,
                                      ExitReason::Delisting);
            t_.reset(sid);
        }
        st_.delisted_now.clear();
    }

    double bar_value(Index i) {
        double value = st_.cash;
        for (const auto& [sid, holding] : st_.holdings) {
            const int col = columns_.column_of(sid);
            const double price = trade_price(i, sid, col);
            value += value_at_close(holding, price, row_.close.at(col));
        }
        return value;
    }

    // The bar just walked as its value counts it: each holding at the close,
    // in the order of the sum, then the cash.  A flat entry (a position
    // closed within a bar by a touched exit waits at 0 for the next
    // rebalance) is no holding: its term is 0, and leaving it out changes no
    // sum, since the cash is never -0.  The bar's prices were read (and
    // checked) when it was valued; a bar before the first weights row holds
    // nothing.
    template <bool Checked>
    [[gnu::noinline]] void record_bar(HoldingsRecorder& recorder) {
        // The holdings' price columns, looked up again when a trade changed
        // the holdings.
        if (holdings_changed_ || record_columns_.size() != st_.holdings.size()) {
            record_columns_.clear();
            for (const auto& [sid, holding] : st_.holdings) record_columns_.push_back(columns_.column_of(sid));
        }
        const HoldingsRecorder::Slots slots = recorder.open_bar(st_.holdings.size());
        // Written through nothing else, and kept out of the bar loop's body:
        // the walk runs in registers.
        std::int32_t* __restrict sid_out = slots.sid;
        double* __restrict value_out = slots.value;
        const int* column = record_columns_.data();
        const Row<double> price = row_.price, close = row_.close;
        for (const auto& [sid, holding] : st_.holdings) {
            const int col = *column++;
            const double value = value_at_close(holding, read<Checked>(price, col), read<Checked>(close, col));
            if (value == 0 && holding == 0) [[unlikely]] continue;
            *sid_out++ = sid;
            *value_out++ = value;
        }
        recorder.end_bar(static_cast<std::size_t>(sid_out - slots.sid), st_.cash);
    }

    // Moves to the newest position row dated before the next bar (all rows
    // after the last bar); a flagged bar then rebalances on the next bar if
    // that row is newer than the one of the last rebalance.
    void schedule_next(Index i, Index n) {
        const Index last_row = g_.pos_index.extent(0) - 1;
        if (i < n - 1) {
            const std::int64_t next_date = p_.price_index.at(i + 1);
            while (st_.pos_row < last_row && g_.pos_index.at(st_.pos_row + 1) < next_date) ++st_.pos_row;
        } else if (st_.pos_row < last_row) {
            st_.pos_row = last_row;
        }
        st_.rebalance_today = st_.pos_row != st_.weight_row && in_.rebalance_flags[static_cast<std::size_t>(i)] != 0;
    }

    Host& host_;
    const PriceData& p_;
    const Targets& g_;
    const Rules& r_;
    LoopInputs& in_;
    const Tracking& t_;
    const ColumnTable columns_;
    const Index tracked_stocks_;  // sids below this are in all three tracking arrays
    const bool unchecked_;        // see cells_in_range
    const bool refs_in_place_;    // see one_stock_per_column
    LoopState st_;
    std::vector<std::pair<int, double>> ref_updates_;
    std::vector<double> due_before_;  // holding of each due exit's stock before a rebalance
    struct Rows {
        Row<double> price, close, high, low, open;
    };
    Rows row_, next_;  // the current bar's rows and the next bar's
    double early_value_ = 0.0;      // the bar's value summed by the mark-to-market pass
    bool early_value_ok_ = false;   // ... valid as long as no exit changed the cash
    bool holdings_changed_ = false; // a step after the mark-to-market pass traded
    HoldingsRecorder* const recorder_;  // null: nothing is recorded
    std::vector<int> record_columns_;   // the price column of each holding, for the recorder
};

// Runs the bar loop of one backtest on `host`; returns what the final stock
// operations are built from.
template <typename Host>
LoopState run_bar_loop(Host& host, const PriceData& prices, const Targets& targets, const Rules& rules,
                       LoopInputs& inputs) {
    return BarLoop<Host>(host, prices, targets, rules, inputs).run();
}

}  // namespace mirelo::core
