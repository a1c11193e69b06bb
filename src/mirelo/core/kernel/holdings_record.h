// What a run held on every bar, recorded when the caller asks for it.
//
// After each bar's trades: the value of every holding as the bar's value
// counts it (at the close), the cash, the money traded and the costs paid,
// and each stock's net change of position at its fills.  Holdings and fills
// are kept in compressed rows: bar i's entries are [offsets[i],
// offsets[i + 1]), in ascending sid.
//
// With cash and the bar's holdings added in the record's order the value path
// comes out bit for bit, and from one bar to the next
//     value[i] - value[i - 1] = sum over stocks of (held[i] - held[i - 1] - fills[i]) - costs[i]
// up to the rounding of the arithmetic in between.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

namespace mirelo::core {

// A growing array of numbers whose new elements the writer fills in (they
// are not zeroed first), handed over whole at the end of the run.
template <typename T>
class RecordColumn {
public:
    RecordColumn() = default;
    RecordColumn(RecordColumn&&) noexcept = default;
    RecordColumn& operator=(RecordColumn&&) noexcept = default;
    RecordColumn(const RecordColumn& other) { *this = other; }
    RecordColumn& operator=(const RecordColumn& other) {
        if (this == &other) return *this;
        size_ = 0;
        reserve(other.size_);
        std::copy_n(other.data_.get(), other.size_, data_.get());
        size_ = other.size_;
        return *this;
    }

    std::size_t size() const { return size_; }
    std::size_t capacity() const { return capacity_; }
    const T* data() const { return data_.get(); }
    T& back() { return data_[size_ - 1]; }

    void reserve(std::size_t capacity) {
        if (capacity <= capacity_) return;
        std::unique_ptr<T[]> fresh(new T[capacity]);
        std::copy_n(data_.get(), size_, fresh.get());
        data_ = std::move(fresh);
        capacity_ = capacity;
    }
    void push_back(T value) {
        if (size_ == capacity_) reserve(std::max<std::size_t>(64, 2 * capacity_));
        data_[size_++] = value;
    }
    // Where the next elements go, once reserved; `extend` then counts them.
    T* end() { return data_.get() + size_; }
    void extend(std::size_t count) { size_ += count; }

    // The elements (null when there are none) and their number; the column
    // is left empty.
    std::pair<std::unique_ptr<T[]>, std::size_t> release() {
        std::pair<std::unique_ptr<T[]>, std::size_t> all{std::move(data_), size_};
        size_ = capacity_ = 0;
        return all;
    }

private:
    std::unique_ptr<T[]> data_;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

struct HoldingsRecord {
    RecordColumn<std::int64_t> offsets;       // bars + 1
    RecordColumn<std::int32_t> sid;
    RecordColumn<double> value;               // money value at the bar's close
    RecordColumn<double> cash, traded, costs;  // one per bar
    RecordColumn<std::int64_t> fill_offsets;  // bars + 1
    RecordColumn<std::int32_t> fill_sid;
    RecordColumn<double> fill_value;          // signed change of position, fees excluded
};

class HoldingsRecorder {
public:
    HoldingsRecorder(HoldingsRecord& out, std::size_t bars) : out_(out), bars_(bars) {
        for (auto* column : {&out_.cash, &out_.traded, &out_.costs}) column->reserve(bars);
        out_.offsets.reserve(bars + 1);
        out_.fill_offsets.reserve(bars + 1);
        out_.offsets.push_back(0);
        out_.fill_offsets.push_back(0);
    }

    // A fill on the current bar: the position of `sid` changed by `change`
    // (money at the fill price: positive bought, negative sold), paying
    // `cost` in fee and tax.
    void fill(int sid, double change, double cost) {
        if (change == 0 && cost == 0) return;
        traded_ += std::fabs(change);
        costs_ += cost;
        fills_.emplace_back(sid, change);
    }

    // Room for the current bar's holdings, at most `count`: the bar's sids
    // and values are written there in ascending sid, then end_bar says how
    // many were kept.
    struct Slots {
        std::int32_t* sid;
        double* value;
    };
    Slots open_bar(std::size_t count) {
        make_room(out_.sid.size() + count, count);
        return {out_.sid.end(), out_.value.end()};
    }

    // Closes the current bar: the first `kept` slots of open_bar hold its
    // holdings; `cash` is its cash.  Its fills are merged by stock.
    void end_bar(std::size_t kept, double cash) {
        out_.sid.extend(kept);
        out_.value.extend(kept);
        out_.offsets.push_back(static_cast<std::int64_t>(out_.sid.size()));
        out_.cash.push_back(cash);
        out_.traded.push_back(traded_);
        out_.costs.push_back(costs_);
        if (!fills_.empty()) flush_fills();
        out_.fill_offsets.push_back(static_cast<std::int64_t>(out_.fill_sid.size()));
        traded_ = 0.0;
        costs_ = 0.0;
    }

private:
    // Capacity for `needed` holdings: when it runs out, room for this bar's
    // `count` on every bar left, and at least twice as much as before, so
    // that a steady portfolio is moved once, when it is first bought.
    void make_room(std::size_t needed, std::size_t count) {
        if (needed <= out_.sid.capacity()) return;
        const std::size_t bar = out_.cash.size();
        const std::size_t projected = needed + count * (bars_ > bar ? bars_ - bar - 1 : 0);
        const std::size_t capacity = std::max(projected + projected / 8, 2 * out_.sid.capacity());
        out_.sid.reserve(capacity);
        out_.value.reserve(capacity);
    }

    // The bar's fills by stock: one entry per sid, its changes added in the
    // order they were filled.
    void flush_fills() {
        auto by_sid = [](const Fill& a, const Fill& b) { return a.first < b.first; };
        if (!std::is_sorted(fills_.begin(), fills_.end(), by_sid)) {
            std::stable_sort(fills_.begin(), fills_.end(), by_sid);
        }
        for (std::size_t k = 0; k < fills_.size(); ++k) {
            if (k > 0 && fills_[k].first == fills_[k - 1].first) {
                out_.fill_value.back() += fills_[k].second;
            } else {
                out_.fill_sid.push_back(fills_[k].first);
                out_.fill_value.push_back(fills_[k].second);
            }
        }
        fills_.clear();
    }

    using Fill = std::pair<int, double>;
    HoldingsRecord& out_;
    const std::size_t bars_;
    std::vector<Fill> fills_;  // of the current bar, as they came
    double traded_ = 0.0;
    double costs_ = 0.0;
};

}  // namespace mirelo::core
