// The bar loop: marks holdings to market, applies the exit rules, executes
// exits, rebalances on scheduled bars, closes delisted stocks and writes the
// value of every bar.  The per-bar work reads the price buffers directly and
// walks only the holdings; Python is called per rebalance, not per bar.
#include "tradesim/exit_rules.h"
#include "tradesim/ledger.h"
#include "tradesim/loop_state.h"
#include "tradesim/state.h"

#include "pyutil/args.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace mirelo::tradesim {
namespace {

// Ctrl-C is noticed within this many bars (a few milliseconds of work even
// with thousands of holdings) and at every rebalance.
constexpr Py_ssize_t kBarsBetweenSignalChecks = 1024;

// Runs the Python signal handlers; a KeyboardInterrupt (or any exception a
// handler raises) fails the run like any other error.
void check_signals() { py::check_status(PyErr_CheckSignals()); }

class BarLoop {
public:
    BarLoop(RunArgs& args, RunSetup& setup)
        : a_(args), s_(setup), t_(setup.tracking),
          rules_{args.stop_loss, args.take_profit, args.trail_stop, args.trail_stop_activation},
          rebalance_ctx_{setup.col_map, args.pos_columns},
          tracked_stocks_(std::min({t_.cum_return.extent(0), t_.max_return.extent(0), t_.min_return.extent(0)})) {
        for (const auto& [sid, col] : setup.col_map) {
            if (sid < 0) continue;
            if (static_cast<size_t>(sid) >= column_of_sid_.size()) column_of_sid_.resize(static_cast<size_t>(sid) + 1, -1);
            column_of_sid_[static_cast<size_t>(sid)] = col;
        }
    }

    void run() {
        const Py_ssize_t n = a_.price_index.extent(0);
        for (Py_ssize_t i = 0; i < n; ++i) bar(i, n);
        PyObject* closed = g_state.excursion.end_analysis(st_.holdings);
        if (closed == nullptr) py::throw_pending();
        Py_DECREF(closed);
        build_stock_operations(a_, st_);
    }

private:
    void bar(Py_ssize_t i, Py_ssize_t n) {
        const std::int64_t date = a_.price_index(i);
        st_.last_date = date;
        if (date < a_.pos_index.at(0)) {
            s_.values.set(i, 1.0);
            return;
        }
        g_state.excursion.record_date(static_cast<int>(i));
        py::check_no_error();
        if (i % kBarsBetweenSignalChecks == 0) check_signals();
        take_rows(i);
        holdings_changed_ = false;
        mark_to_market(i);
        execute_due_exits();
        std::swap(st_.due_exits, st_.pending_exits);
        st_.pending_exits.clear();
        if (st_.rebalance_today) rebalance();
        if (s_.use_delisting) delist(i);
        // Most bars change no holding after the mark-to-market pass, which then
        // already summed the bar's value in the same order.
        s_.values.set(i, early_value_ok_ && !holdings_changed_ ? early_value_ : bar_value(i));
        schedule_next(i, n);
    }

    // The rows of bar i, and of bar i + 1 to prefetch from.
    void take_rows(Py_ssize_t i) {
        row_ = {a_.price_values.row(i), a_.close_values.row(i), a_.high_values.row(i), a_.low_values.row(i),
                a_.open_values.row(i)};
        const Py_ssize_t n = i + 1 < a_.price_index.extent(0) ? i + 1 : i;
        next_ = {a_.price_values.row(n), a_.close_values.row(n), a_.high_values.row(n), a_.low_values.row(n),
                 a_.open_values.row(n)};
    }

    // The trading price of a held stock, validated before it is used.
    double trade_price(Py_ssize_t i, int sid, int col) const {
        const double price = row_.price.at(col);
        validate_trade_price(price, a_.pos_columns.at(sid), static_cast<int>(i));
        return price;
    }

    // The price column of a held stock.  A sid without one reads column 0, as
    // the column map's subscript would (a rebalance never gives such a sid a
    // position).
    int column_of(int sid) const {
        if (sid >= 0 && static_cast<size_t>(sid) < column_of_sid_.size()) {
            const int col = column_of_sid_[static_cast<size_t>(sid)];
            if (col >= 0) return col;
        }
        return 0;
    }

    // The cells of the next bar that the holdings will read: fetched while this
    // bar is worked on, so that the walk over the matrices does not wait on
    // memory for every holding.
    void prefetch_next_bar(int col) const {
        next_.price.prefetch(col);
        next_.close.prefetch(col);
        if (a_.touched_exit) {
            next_.high.prefetch(col);
            next_.low.prefetch(col);
            next_.open.prefetch(col);
        }
    }

    // Every holding moves with its bar-to-bar price ratio.  The reference
    // prices advance only after the whole pass, so stocks sharing a price
    // column all see the ratio against the previous bar.
    void mark_to_market(Py_ssize_t i) {
        ref_updates_.clear();
        early_value_ = st_.cash;
        early_value_ok_ = true;
        for (auto& [sid, holding] : st_.holdings) {
            const int col = column_of(sid);
            prefetch_next_bar(col);
            const double price = trade_price(i, sid, col);
            double reference = t_.prev_prices.at(col);
            if (std::isnan(reference)) {
                reference = price;
                t_.prev_prices.set(col, price);
            }
            double ratio = price / reference;
            if (std::isnan(ratio)) ratio = 1;
            holding *= ratio;
            const Returns returns = track_returns(sid, ratio);
            // A holding of value 0 (closed within a bar) is no position to exit.
            if (holding != 0 && apply_exit_rules(sid, col, ratio, reference, returns, holding)) {
                early_value_ok_ = false;  // cash changed within the pass
            }
            if (early_value_ok_) add_early_value(price, col, holding);
            if (!std::isnan(price)) ref_updates_.emplace_back(col, price);
        }
        for (const auto& [col, price] : ref_updates_) t_.prev_prices.set(col, price);
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
        auto get = [&](const Series& a) { return in_range ? a(sid) : a.at(sid); };
        auto put = [&](Series& a, double v) { in_range ? a.put(sid, v) : a.set(sid, v); };
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
        const double close = row_.close.at(col);
        if (std::isnan(price) || std::isnan(close)) early_value_ += holding;
        else early_value_ += holding * close / price;
    }

    // Whether a touched exit closed the position within the bar.
    bool apply_exit_rules(int sid, int col, double ratio, double reference, const Returns& r, double& holding) {
        const double cum = r.cum;
        const double entry_value = holding / cum;
        const ExitLevels lv = exit_levels(entry_value > 0, r.max, r.min, rules_);
        if (a_.touched_exit) {
            const double start = cum / ratio;
            const BarPath path{start * row_.high.at(col) / reference, start * row_.low.at(col) / reference,
                               start * row_.open.at(col) / reference};
            const TouchedExit exit = touched_exit(path, lv, entry_value);
            if (!exit.triggered) return false;
            holding = exit.exit_value;
            st_.stopped_stocks.push_back({sid, exit.profit_side});
            // The entry stays (at 0) while the holdings are being walked.
            st_.cash = checked_cash(set_position(st_.holdings, sid, 0.0, st_.cash, a_.fee_ratio, a_.tax_ratio,
                                                 false, false));
            return true;
        }
        const double close_level = cum * row_.close.at(col) / row_.price.at(col);
        const int side = close_exit(close_level, lv);
        if (side != 0) st_.pending_exits.push_back({sid, side > 0});
        return false;
    }

    bool stop_trading() const { return py::truth(a_.stop_trading_next_period); }

    // Exits found on the previous bar's close fill at this bar's trading
    // price, unless today's rebalance keeps the stock.
    void execute_due_exits() {
        for (const Exit& exit : st_.due_exits) {
            const int s = exit.sid;
            const bool keep = st_.rebalance_today && !stop_trading() && a_.pos_values.at(st_.pos_row, s) != 0;
            auto found = st_.holdings.find(s);
            if (found == st_.holdings.end() || found->second == 0 || keep) continue;
            st_.cash = checked_cash(set_position(st_.holdings, s, 0.0, st_.cash, a_.fee_ratio, a_.tax_ratio,
                                                 false, true));
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
        const Py_ssize_t columns = a_.pos_values.extent(1);
        if (!a_.retain_cost_when_rebalance) {
            t_.cum_return.fill(1.0);
            t_.max_return.fill(1.0);
            t_.min_return.fill(1.0);
            return;
        }
        for (Py_ssize_t sid = 0; sid < columns; ++sid) {
            const double w = a_.pos_values.at(st_.pos_row, sid);
            if (w == 0) continue;
            auto found = st_.holdings.find(static_cast<int>(sid));
            if (found == st_.holdings.end() || found->second * w <= 0) t_.reset(static_cast<int>(sid));
        }
    }

    // pos_values[pos_row], with the stocks stopped out since the last
    // rebalance set to 0 when they sit out the next period.
    py::Ref target_row() {
        py::Ref index = py::check(PyLong_FromSsize_t(st_.pos_row));
        py::Ref row = py::check(PyObject_GetItem(a_.pos_values_obj, index.get()));
        if (!stop_trading() || st_.stopped_stocks.empty()) return row;
        py::Ref copy = py::check(PyObject_CallMethod(row.get(), "copy", nullptr));
        py::Ref zero = py::check(PyLong_FromLong(0));
        for (const Exit& exit : st_.stopped_stocks) {
            py::Ref sid = py::check(PyLong_FromLong(exit.sid));
            py::check_status(PyObject_SetItem(copy.get(), sid.get(), zero.get()));
        }
        return copy;
    }

    double holding_of(int sid) const {
        auto found = st_.holdings.find(sid);
        return found != st_.holdings.end() ? found->second : 0.0;
    }

    void rebalance() {
        check_signals();
        holdings_changed_ = true;
        reset_tracking();
        py::Ref weights = target_row();
        // The exits queued on this bar were decided on the old positions.
        due_before_.clear();
        for (const Exit& exit : st_.due_exits) due_before_.push_back(holding_of(exit.sid));
        st_.cash = checked_cash(tradesim::rebalance(rebalance_ctx_, st_.holdings, weights.get(), st_.cash,
                                                    a_.fee_ratio, a_.tax_ratio, a_.position_limit,
                                                    st_.pos_row));
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

    void delist(Py_ssize_t i) {
        for (const auto& [sid, holding] : st_.holdings) {
            if (a_.delisting_bars.at(sid) == i && holding != 0) st_.delisted_now.push_back(sid);
        }
        if (!st_.delisted_now.empty()) holdings_changed_ = true;
        for (int sid : st_.delisted_now) {
            st_.cash = checked_cash(set_position(st_.holdings, sid, 0.0, st_.cash, a_.fee_ratio, a_.tax_ratio,
                                                 false, true));
            t_.reset(sid);
        }
        st_.delisted_now.clear();
    }

    // Holdings are carried at the trading price and reported at the close.
    double bar_value(Py_ssize_t i) {
        double value = st_.cash;
        for (const auto& [sid, holding] : st_.holdings) {
            const int col = column_of(sid);
            const double price = trade_price(i, sid, col);
            const double close = row_.close.at(col);
            if (std::isnan(price) || std::isnan(close)) value += holding;
            else value += holding * close / price;
        }
        return value;
    }

    // Moves to the newest position row dated before the next bar (all rows
    // after the last bar); a flagged bar then rebalances on the next bar if
    // that row is newer than the one of the last rebalance.
    void schedule_next(Py_ssize_t i, Py_ssize_t n) {
        const Py_ssize_t last_row = a_.pos_index.extent(0) - 1;
        if (i < n - 1) {
            const std::int64_t next_date = a_.price_index.at(i + 1);
            while (st_.pos_row < last_row && a_.pos_index.at(st_.pos_row + 1) < next_date) ++st_.pos_row;
        } else if (st_.pos_row < last_row) {
            st_.pos_row = last_row;
        }
        st_.rebalance_today = st_.pos_row != st_.weight_row && s_.rebalance_flags[static_cast<size_t>(i)] != 0;
    }

    RunArgs& a_;
    RunSetup& s_;
    Tracking& t_;
    const ExitRules rules_;
    const RebalanceContext rebalance_ctx_;
    const Py_ssize_t tracked_stocks_;  // sids below this are in all three tracking arrays
    LoopState st_;
    std::vector<std::pair<int, double>> ref_updates_;
    std::vector<double> due_before_;  // holding of each due exit's stock before a rebalance
    std::vector<int> column_of_sid_;  // col_map as a flat table, -1 where a sid has no price column
    struct Rows {
        py::RowView<double> price, close, high, low, open;
    };
    Rows row_, next_;  // the current bar's rows and the next bar's
    double early_value_ = 0.0;      // the bar's value summed by the mark-to-market pass
    bool early_value_ok_ = false;   // ... valid as long as no exit changed the cash
    bool holdings_changed_ = false; // a step after the mark-to-market pass traded
};

}  // namespace

void run_bar_loop(RunArgs& args, RunSetup& setup) { BarLoop(args, setup).run(); }

}  // namespace mirelo::tradesim
