#include "kernel/native_run.h"
#include "kernel/messages.h"

#include "kernel/excursion_profile.h"
#include "kernel/pairwise_sum.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <utility>

namespace mirelo::core {
namespace {

// NumPy's IndexError for integer index `i` on an axis of `size` elements.
[[noreturn]] void numpy_index_error(std::int64_t i, int axis, Index size) {
    char text[160];
    std::snprintf(text, sizeof text, "index %lld is out of bounds for axis %d with size %lld",
                  static_cast<long long>(i), axis, static_cast<long long>(size));
    throw Error{ErrorKind::IndexError, text};
}

// The in-range position of integer index `i`, as NumPy indexing finds it.
Index numpy_index(std::int64_t i, int axis, Index size) {
    if (i < -static_cast<std::int64_t>(size) || i >= static_cast<std::int64_t>(size)) numpy_index_error(i, axis, size);
    return static_cast<Index>(i < 0 ? i + size : i);
}

// A price matrix read as the excursion analysis reads it: NumPy indexing, or
// a column straight from memory.
class Grid {
public:
    explicit Grid(const Mat<double>& m) : m_(m) {}
    std::int64_t rows() const { return m_.extent(0); }
    double at(std::int64_t row, std::int64_t col) const {
        const Index i = numpy_index(row, 0, m_.extent(0));
        return m_(i, numpy_index(col, 1, m_.extent(1)));
    }
    bool direct_column(std::int64_t col, DirectColumn& out) const {
        if (col < 0 || col >= m_.extent(1)) return false;
        out = {m_.data() + col * m_.stride(1), m_.stride(0)};
        return true;
    }

private:
    Mat<double> m_;
};

// One profile, appended to the run's profile storage and filled with -1.0.
class ProfileSink {
public:
    ProfileSink(GrowingArray<double>& storage, std::int64_t length) {
        if (length < 0) throw Error{ErrorKind::ValueError, msg::kNegativeDimensions};
        values_ = storage.extend(static_cast<std::size_t>(length));
        length_ = length;
        // The exit group always fills the last six; a profile of one group
        // has nothing else.
        if (length != static_cast<std::int64_t>(kGroupSize)) std::fill_n(values_, length, -1.0);
    }
    std::int64_t length() const { return length_; }
    void write_group(std::int64_t first, const Group& group) {
        if (first >= 0 && first + static_cast<std::int64_t>(kGroupSize) <= length_) {
            std::copy(group.begin(), group.end(), values_ + first);
            return;
        }
        for (std::size_t k = 0; k < kGroupSize; ++k) {
            std::int64_t i = first + static_cast<std::int64_t>(k);
            if (i < 0) i += length_;
            if (i < 0 || i >= length_) throw OutOfBounds{0};
            values_[i] = group[k];
        }
    }

private:
    double* values_ = nullptr;
    std::int64_t length_ = 0;
};

// What the excursion analysis of a native run reads: the run's rules, the
// bar being worked on, and where its profiles go.
class NativeProfiles {
public:
    NativeProfiles(const NativeRunInput& in, NativeRunOutput& out) : in_(in), out_(out) {}

    void set_current_date(int bar) { current_date_ = bar; }
    std::int64_t current_date() const { return current_date_; }
    int window() const { return in_.excursion_window; }
    int window_step() const { return in_.excursion_window_step; }
    double fee_ratio() const { return in_.rules.fee_ratio; }
    double tax_ratio() const { return in_.rules.tax_ratio; }
    ProfileSink new_profile(std::int64_t length) {
        out_.profile_length = length;
        return ProfileSink(out_.profiles, length);
    }

private:
    const NativeRunInput& in_;
    NativeRunOutput& out_;
    int current_date_ = 0;
};

// The weight row a rebalance uses: a row of pos_values, and the stocks that
// sit the period out (read as 0).
struct NativeWeightRow {
    Vec<double> view;
    std::vector<Index> zeroed;  // ascending, without repeats
};

// The host of a native run: trades and their profiles go to plain vectors;
// the caller's decisions are the run's inputs.
class NativeHost {
public:
    using WeightRow = NativeWeightRow;

    // `record`: the run records its holdings.
    NativeHost(NativeRunInput& in, NativeRunOutput& out, bool record)
        : in_(in), out_(out), price_(in.prices.price), close_(in.prices.close), profiles_(in, out) {
        const auto bars = static_cast<std::size_t>(in.prices.price_index.extent(0));
        out.totals = BarTotals(bars);
        if (record) recorder_ = std::make_unique<HoldingsRecorder>(out.holdings, bars);
    }

    // ---- trade records ----
    void record_date(int bar) { profiles_.set_current_date(bar); }
    void record_entry(const Position&) {}  // the position keeps its open trade
    void record_exit(const Position& position, int is_final, ExitReason reason, double exit_value) {
        record_trade(position, static_cast<int>(profiles_.current_date()), is_final, reason, exit_value);
    }
    void end_analysis(const Holdings& open, const std::vector<double>& values) {
        std::size_t k = 0;
        for (const Position& p : open) {
            if (p.value != 0.0) record_trade(p, -1, 0, ExitReason::Open, values[k]);
            ++k;
        }
    }

    // ---- decisions of the caller ----
    bool split_trade_on_resize() const {
        return !in_.rules.retain_cost_when_rebalance && in_.periodically_rebalance;
    }
    bool stop_trading() const { return in_.stop_trading_next_period; }
    HoldingsRecorder* holdings_recorder() { return recorder_.get(); }
    BarTotals* bar_totals() { return &out_.totals; }
    void record_fill(int sid, double change, double cost) {
        if (recorder_ != nullptr) [[unlikely]] recorder_->fill(sid, change, cost);
    }
    void poll() const {
        if (in_.cancel != nullptr && in_.cancel->load(std::memory_order_relaxed)) throw Cancelled{};
    }

    WeightRow weight_row(Index pos_row, const std::vector<Exit>& stopped) const {
        const Mat<double>& w = in_.targets.pos_values;
        const Index r = numpy_index(pos_row, 0, w.extent(0));
        const Index columns = w.extent(1);
        const Index stride = w.stride(1);
        WeightRow row{Vec<double>(w.element(r, 0), &columns, &stride), {}};
        if (!stop_trading() || stopped.empty()) return row;
        for (const Exit& exit : stopped) row.zeroed.push_back(numpy_index(exit.sid, 0, columns));
        std::sort(row.zeroed.begin(), row.zeroed.end());
        row.zeroed.erase(std::unique(row.zeroed.begin(), row.zeroed.end()), row.zeroed.end());
        return row;
    }
    WeightRowView weights_of(const WeightRow& row) const { return {row.view, row.zeroed}; }
    // balance / max(abs(w).sum(), 1), and 1.0 when that is NaN.
    double weight_scale(const WeightRow&, const SparseRow& nonzero, double balance) const {
        const double gross = numpy_abs_sum(nonzero);
        const double scale = balance / (1.0 > gross ? 1.0 : gross);
        return std::isnan(scale) ? 1.0 : scale;
    }

    // ---- failures that name a stock ----
    [[noreturn]] void invalid_trade_price(double price, int sid, Index row) const {
        throw InvalidTradePrice{price, sid, row};
    }
    [[noreturn]] void weight_without_prices(int sid) const { throw WeightWithoutPrices{sid}; }
    [[noreturn]] void nan_weight(int sid, Index pos_row) const { throw NaNWeight{sid, pos_row}; }

    template <typename F>
    auto in_rebalance(F&& body) {
        return body();
    }
    template <typename F>
    auto in_set_position(F&& body) {
        return body();
    }

private:
    // The trade, then its profile analysed up to the current date.  A
    // position of 0 or NaN is not greater than 0: a short.
    void record_trade(const Position& p, int exit_bar, int is_final, ExitReason reason, double exit_value) {
        out_.trades.push_back({p.sid, p.entry_bar, exit_bar, p.entry_weight, reason, p.entry_value,
                               p.taken_out + exit_value});
        const FixedDirection is_long{p.entry_weight > 0};
        // With a window of 0 every profile is the exit group at the current
        // bar, which lies in the data, as does the entry.
        DirectColumn price, close;
        if (in_.excursion_window == 0 && price_.direct_column(p.column, price) &&
            close_.direct_column(p.column, close) && p.entry_bar <= profiles_.current_date() &&
            profiles_.current_date() < std::min(price_.rows(), close_.rows())) {
            exit_group_profile(profiles_, price, close, p.entry_bar, profiles_.current_date(), is_long, p.entry_is_new,
                               is_final);
            return;
        }
        excursion_profile(profiles_, price_, close_, p.column, p.entry_bar, is_long, p.entry_is_new, is_final);
    }

    NativeRunInput& in_;
    NativeRunOutput& out_;
    Grid price_, close_;
    NativeProfiles profiles_;
    std::unique_ptr<HoldingsRecorder> recorder_;  // null unless the run records holdings
};

// The size of row 0 of a matrix, as `matrix[0].size` reads it.
Index first_row_size(const Mat<double>& m) {
    if (m.extent(0) == 0) throw Error{ErrorKind::IndexError, msg::kFirstRowMissing};
    return m.extent(1);
}

NativeRunOutput run_once(NativeRunInput& in, LoopInputs& loop, bool record) {
    NativeRunOutput out;
    NativeHost host(in, out, record);
    out.state = run_bar_loop(host, in.prices, in.targets, in.rules, loop);
    return out;
}

}  // namespace

NativeRunOutput run_native(NativeRunInput& in) {
    ExitRules& e = in.rules.exits;
    e.stop_loss = std::fabs(e.stop_loss);
    e.take_profit = std::fabs(e.take_profit);
    e.trail_stop = std::fabs(e.trail_stop);
    e.trail_stop_activation = std::fabs(e.trail_stop_activation);

    LoopInputs loop;
    loop.columns = in.columns;
    loop.values = in.values;
    loop.tracked_stocks = first_row_size(in.targets.pos_values);
    loop.reference_columns = first_row_size(in.prices.price);
    loop.use_delisting = any_delisting(in.targets.delisting_bars);
    loop.flagged_bars = flagged_bars(in.prices.price_index, in.resample);

    NativeRunOutput out = run_once(in, loop, in.record_holdings);
    if (!out.totals.counts_unsure) return out;
    // Some holding's value left the range of doubles between two trades, so
    // the loop cannot tell on which bar the number of holdings changed; the
    // record counts every bar.
    NativeRunOutput again = run_once(in, loop, true);
    if (!in.record_holdings) again.holdings = HoldingsRecord{};
    return again;
}

}  // namespace mirelo::core
