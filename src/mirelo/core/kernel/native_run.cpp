#include "kernel/native_run.h"
#include "kernel/messages.h"

#include "kernel/excursion_profile.h"
#include "kernel/pairwise_sum.h"

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

// A price matrix read as the excursion analysis reads it: NumPy indexing.
class Grid {
public:
    explicit Grid(const Mat<double>& m) : m_(m) {}
    std::int64_t rows() const { return m_.extent(0); }
    double at(std::int64_t row, std::int64_t col) const {
        const Index i = numpy_index(row, 0, m_.extent(0));
        return m_(i, numpy_index(col, 1, m_.extent(1)));
    }

private:
    Mat<double> m_;
};

// The per-sid slots of the open trades: entry bar, position, whether the
// entry was new.
template <typename T>
class SidArray {
public:
    explicit SidArray(Index size) : v_(static_cast<std::size_t>(size), T{}) {}
    T& operator[](int sid) { return v_[static_cast<std::size_t>(numpy_index(sid, 0, static_cast<Index>(v_.size())))]; }

private:
    std::vector<T> v_;
};

// One profile, appended to the run's profile storage and filled with -1.0.
class ProfileSink {
public:
    ProfileSink(std::vector<double>& storage, std::int64_t length) : storage_(storage) {
        if (length < 0) throw Error{ErrorKind::ValueError, msg::kNegativeDimensions};
        first_ = storage.size();
        length_ = length;
        storage.resize(first_ + static_cast<std::size_t>(length), -1.0);
    }
    std::int64_t length() const { return length_; }
    void write_group(std::int64_t first, const Group& group) {
        for (std::size_t k = 0; k < kGroupSize; ++k) {
            std::int64_t i = first + static_cast<std::int64_t>(k);
            if (i < 0) i += length_;
            if (i < 0 || i >= length_) throw OutOfBounds{0};
            storage_[first_ + static_cast<std::size_t>(i)] = group[k];
        }
    }

private:
    std::vector<double>& storage_;
    std::size_t first_ = 0;
    std::int64_t length_ = 0;
};

struct FixedDirection {
    bool is_long;
    bool operator()() const { return is_long; }
};

// The weight row a rebalance uses: a row of pos_values, or a copy of it with
// the stocks that sit the period out set to 0.
struct WeightRow {
    Vec<double> view;
    std::vector<double> copy;
};

class NativeHost {
public:
    NativeHost(NativeRunInput& in, NativeRunOutput& out)
        : in_(in), out_(out), price_(in.prices.price), close_(in.prices.close), col_map_(in.col_map),
          entry_(in.stock_count), position_(in.stock_count), entry_is_new_(in.stock_count),
          entry_value_(in.stock_count), taken_out_(in.stock_count) {
        if (in.record_holdings) {
            recorder_ = std::make_unique<HoldingsRecorder>(out.holdings,
                                                           static_cast<std::size_t>(in.prices.price_index.extent(0)));
        }
    }

    // ---- trade records ----
    void record_date(int bar) { current_date_ = bar; }
    void record_entry(int sid, double weight, int is_new, double entry_value) {
        entry_[sid] = current_date_;
        position_[sid] = weight;
        entry_is_new_[sid] = is_new;
        entry_value_[sid] = entry_value;
        taken_out_[sid] = 0.0;
    }
    // A trade that goes on through a resize: cash put in on the trade's side
    // (paid for a long, received for a short) adds to its entry value, cash
    // taken out to its exit value.
    void record_resize(int sid, double cash_change) {
        double& entered = entry_value_[sid];
        if (cash_change * entered < 0) entered -= cash_change;
        else taken_out_[sid] += cash_change;
    }
    void record_exit(int sid, int is_final, ExitReason reason, double exit_value) {
        record_trade(sid, current_date_, is_final, reason, exit_value);
    }
    void end_analysis(const Holdings& open, const std::vector<double>& values) {
        std::size_t k = 0;
        for (const auto& [sid, value] : open) {
            if (value != 0.0) record_trade(sid, -1, 0, ExitReason::Open, values[k]);
            ++k;
        }
    }

    // ---- decisions of the caller ----
    bool split_trade_on_resize() const {
        return !in_.rules.retain_cost_when_rebalance && in_.periodically_rebalance;
    }
    bool stop_trading() const { return in_.stop_trading_next_period; }
    HoldingsRecorder* holdings_recorder() { return recorder_.get(); }
    void record_fill(int sid, double change, double cost) {
        if (recorder_) recorder_->fill(sid, change, cost);
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
        row.copy.resize(static_cast<std::size_t>(columns));
        for (Index j = 0; j < columns; ++j) row.copy[static_cast<std::size_t>(j)] = row.view(j);
        for (const Exit& exit : stopped) row.copy[static_cast<std::size_t>(numpy_index(exit.sid, 0, columns))] = 0.0;
        row.view = Vec<double>::contiguous(row.copy.data(), columns);
        return row;
    }
    const Vec<double>& weights_of(const WeightRow& row) const { return row.view; }
    // balance / max(abs(w).sum(), 1), and 1.0 when that is NaN.
    double weight_scale(const WeightRow&, const Vec<double>& weights, double balance) const {
        const double gross = numpy_abs_sum(weights);
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

    // ---- the excursion analysis reads these ----
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
    // The trade, then its profile analysed up to the current date.  A
    // position of 0 or NaN is not greater than 0: a short.
    void record_trade(int sid, int exit_bar, int is_final, ExitReason reason, double exit_value) {
        const std::int64_t entry = entry_[sid];
        const double position = position_[sid];
        if (entry < INT_MIN || entry > INT_MAX) throw Error{ErrorKind::OverflowError, msg::kIntOverflow};
        out_.trades.push_back(
            {sid, static_cast<int>(entry), exit_bar, position, reason, entry_value_[sid], taken_out_[sid] + exit_value});
        const int is_new = entry_is_new_[sid];
        auto found = col_map_.try_emplace(sid, 0).first;  // a sid without a column reads column 0
        excursion_profile(*this, price_, close_, found->second, entry, FixedDirection{position > 0}, is_new,
                          is_final);
    }

    NativeRunInput& in_;
    NativeRunOutput& out_;
    Grid price_, close_;
    std::map<int, int> col_map_;
    SidArray<std::int64_t> entry_;
    SidArray<double> position_;
    SidArray<int> entry_is_new_;
    SidArray<double> entry_value_, taken_out_;  // of the open trade of each sid
    int current_date_ = 0;
    std::unique_ptr<HoldingsRecorder> recorder_;  // null unless the run records holdings
};

// The size of row 0 of a matrix, as `matrix[0].size` reads it.
Index first_row_size(const Mat<double>& m) {
    if (m.extent(0) == 0) throw Error{ErrorKind::IndexError, msg::kFirstRowMissing};
    return m.extent(1);
}

}  // namespace

NativeRunOutput run_native(NativeRunInput& in) {
    ExitRules& e = in.rules.exits;
    e.stop_loss = std::fabs(e.stop_loss);
    e.take_profit = std::fabs(e.take_profit);
    e.trail_stop = std::fabs(e.trail_stop);
    e.trail_stop_activation = std::fabs(e.trail_stop_activation);

    const Index stocks = first_row_size(in.targets.pos_values);
    const Index price_columns = first_row_size(in.prices.price);
    std::vector<double> cum(static_cast<std::size_t>(stocks), 1.0), max(cum), min(cum);
    std::vector<double> prev_prices(static_cast<std::size_t>(price_columns), 1.0);

    LoopInputs loop;
    loop.col_map = in.col_map;
    loop.values = in.values;
    loop.tracking = {Vec<double>::contiguous(cum.data(), stocks), Vec<double>::contiguous(max.data(), stocks),
                     Vec<double>::contiguous(min.data(), stocks),
                     Vec<double>::contiguous(prev_prices.data(), price_columns)};
    loop.use_delisting = any_delisting(in.targets.delisting_bars);
    loop.rebalance_flags = rebalance_flags(in.prices.price_index, in.resample);

    NativeRunOutput out;
    NativeHost host(in, out);
    out.state = run_bar_loop(host, in.prices, in.targets, in.rules, loop);
    return out;
}

}  // namespace mirelo::core
