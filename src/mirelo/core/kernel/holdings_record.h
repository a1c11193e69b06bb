// What a run held on every bar, recorded when the caller asks for it.
//
// After each bar's trades: the value of every holding as the bar's value
// counts it (at the close), the cash, and each stock's net change of position
// at its fills.  Holdings and fills are kept in compressed rows: bar i's
// entries are [offsets[i], offsets[i + 1]), in ascending sid.  The money
// traded, the costs paid and the number of holdings are every run's bar
// totals (bar_totals.h).
//
// With cash and the bar's holdings added in the record's order the value path
// comes out bit for bit, and from one bar to the next
//     value[i] - value[i - 1] = sum over stocks of (held[i] - held[i - 1] - fills[i]) - costs[i]
// up to the rounding of the arithmetic in between.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
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
    T* data() { return data_.get(); }
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
    // `count` more elements, each 0.
    void append_zeros(std::size_t count) {
        reserve(size_ + count);
        std::fill_n(end(), count, T{});
        extend(count);
    }

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
    RecordColumn<double> cash;                // one per bar
    RecordColumn<std::int64_t> fill_offsets;  // bars + 1
    RecordColumn<std::int32_t> fill_sid;
    RecordColumn<double> fill_value;          // signed change of position, fees excluded
};

// Writes a HoldingsRecord bar by bar: the columns are written in place and
// take their sizes at finish().
class HoldingsRecorder {
public:
    HoldingsRecorder(HoldingsRecord& out, std::size_t bars) : out_(out), bars_(bars) {
        // One element a bar, the offsets one more.
        out_.cash.reserve(bars);
        out_.offsets.reserve(bars + 1);
        out_.fill_offsets.reserve(bars + 1);
        out_.offsets.push_back(0);
        out_.fill_offsets.push_back(0);
        per_bar_ = {out_.offsets.end(), out_.cash.end(), out_.fill_offsets.end()};
    }

    // A fill on the current bar: the position of `sid` changed by `change`
    // (money at the fill price: positive bought, negative sold), paying
    // `cost` in fee and tax (a fill that moves nothing and costs nothing is
    // none).  Most bars fill each stock once, in ascending sid: the fills go
    // to the record as they come, and end_bar merges them by stock when they
    // did not.
    [[gnu::noinline]] void fill(int sid, double change, double cost) {
        if (change == 0 && cost == 0) return;
        if (sid <= last_sid_) unordered_ = true;
        last_sid_ = sid;
        if (fills_ == fill_capacity_) grow_fills();
        fill_sids_[fills_] = sid;
        fill_values_[fills_++] = change;
    }

    // Room for the current bar's holdings, at most `count`: the bar's sids
    // and values are written there in ascending sid, then end_bar says how
    // many were kept.
    struct Slots {
        std::int32_t* sid;
        double* value;
    };
    Slots open_bar(std::size_t count) {
        if (held_ + count > held_capacity_) [[unlikely]] make_room(count);
        return {sids_ + held_, values_ + held_};
    }

    // Closes the current bar (once a bar): the first `kept` slots of
    // open_bar hold its holdings; `cash` is its cash.  Its fills are merged
    // by stock.
    void end_bar(std::size_t kept, double cash) {
        held_ += kept;
        if (unordered_) [[unlikely]] merge_fills();
        *per_bar_.offsets++ = static_cast<std::int64_t>(held_);
        *per_bar_.cash++ = cash;
        *per_bar_.fill_offsets++ = static_cast<std::int64_t>(fills_);
        ++bars_done_;
        bar_fills_ = fills_;
        last_sid_ = kNoSid;
        unordered_ = false;
    }

    // After the last bar: the columns take their sizes.
    void finish() {
        count_written();
        out_.cash.extend(bars_done_);
        for (auto* column : {&out_.offsets, &out_.fill_offsets}) column->extend(bars_done_);
    }

private:
    // The holdings and fills written so far, counted by their columns.
    void count_written() {
        out_.sid.extend(held_ - out_.sid.size());
        out_.value.extend(held_ - out_.value.size());
        out_.fill_sid.extend(fills_ - out_.fill_sid.size());
        out_.fill_value.extend(fills_ - out_.fill_value.size());
    }

    // Capacity for this bar's `count` holdings: room for them on every bar
    // left, and at least twice as much as before, so that a steady portfolio
    // is moved once, when it is first bought.
    [[gnu::noinline]] void make_room(std::size_t count) {
        count_written();
        const std::size_t needed = held_ + count;
        const std::size_t projected = needed + count * (bars_ > bars_done_ ? bars_ - bars_done_ - 1 : 0);
        const std::size_t capacity = std::max(projected + projected / 8, 2 * held_capacity_);
        out_.sid.reserve(capacity);
        out_.value.reserve(capacity);
        sids_ = out_.sid.end() - held_;
        values_ = out_.value.end() - held_;
        held_capacity_ = capacity;
    }

    [[gnu::noinline]] void grow_fills() {
        count_written();
        const std::size_t capacity = std::max<std::size_t>(64, 2 * fill_capacity_);
        out_.fill_sid.reserve(capacity);
        out_.fill_value.reserve(capacity);
        fill_sids_ = out_.fill_sid.end() - fills_;
        fill_values_ = out_.fill_value.end() - fills_;
        fill_capacity_ = capacity;
    }

    // The bar's fills by stock: one entry per sid, its changes added in the
    // order they were filled.
    [[gnu::noinline]] void merge_fills() {
        bar_.clear();
        for (std::size_t k = bar_fills_; k < fills_; ++k) bar_.emplace_back(fill_sids_[k], fill_values_[k]);
        auto by_sid = [](const Fill& a, const Fill& b) { return a.first < b.first; };
        if (!std::is_sorted(bar_.begin(), bar_.end(), by_sid)) std::stable_sort(bar_.begin(), bar_.end(), by_sid);
        fills_ = bar_fills_;
        for (std::size_t k = 0; k < bar_.size(); ++k) {
            if (k > 0 && bar_[k].first == bar_[k - 1].first) {
                fill_values_[fills_ - 1] += bar_[k].second;
            } else {
                fill_sids_[fills_] = bar_[k].first;
                fill_values_[fills_++] = bar_[k].second;
            }
        }
    }

    using Fill = std::pair<int, double>;
    static constexpr int kNoSid = std::numeric_limits<int>::min();
    HoldingsRecord& out_;
    const std::size_t bars_;
    std::size_t bars_done_ = 0;
    struct PerBar {
        std::int64_t* offsets;  // where the next bar's entries go in each column
        double* cash;
        std::int64_t* fill_offsets;
    } per_bar_;
    std::int32_t* sids_ = nullptr;  // the holdings' columns
    double* values_ = nullptr;
    std::size_t held_ = 0;
    std::size_t held_capacity_ = 0;
    std::int32_t* fill_sids_ = nullptr;  // the fills' columns
    double* fill_values_ = nullptr;
    std::size_t fills_ = 0;
    std::size_t fill_capacity_ = 0;
    std::size_t bar_fills_ = 0;  // the fills before the current bar's
    std::vector<Fill> bar_;      // the current bar's fills, while they are merged
    int last_sid_ = kNoSid;   // of the bar's last fill
    bool unordered_ = false;  // a fill of the bar came after one of the same or a higher sid
};

}  // namespace mirelo::core
