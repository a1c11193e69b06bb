// The non-zero weights of a weight row, found in one pass.
//
// A row holds a weight for every stock of the universe, most of them 0; a
// rebalance needs only the others (NaN included: it is not 0), in ascending
// column, and the row's length for NumPy's order of summation.
#pragma once

#include "kernel/view.h"

#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

namespace mirelo::core {

struct WeightEntry {
    Index column;
    double weight;
};

struct SparseRow {
    Index size = 0;                     // columns of the row
    std::vector<WeightEntry> entries;   // the weights != 0, ascending column
};

// A row of weights as a rebalance reads it: its values, and the columns read
// as 0 whatever they hold (ascending; the stocks that sit the period out).
struct WeightRowView {
    Vec<double> values;
    std::span<const Index> zeroed;
};

namespace detail {

// Whether the double with these bits is not ±0 (NaN included).
inline bool nonzero_bits(std::uint64_t bits) { return (bits << 1) != 0; }

inline std::uint64_t bits_at(const double* p) {
    std::uint64_t bits;
    std::memcpy(&bits, p, sizeof bits);
    return bits;
}

}  // namespace detail

// Fills `out` from `row` (its storage is reused from one row to the next).
inline void scan_values(const Vec<double>& row, SparseRow& out) {
    const Index n = row.extent(0);
    out.size = n;
    out.entries.clear();
    const double* p = row.contiguous_data();
    if (p == nullptr) {
        for (Index j = 0; j < n; ++j) {
            const double w = row(j);
            if (w != 0) out.entries.push_back({j, w});
        }
        return;
    }
    // Whole blocks of zeros are passed over with one test of their bits.
    constexpr Index kBlock = 8;
    Index j = 0;
    for (; j + kBlock <= n; j += kBlock) {
        using detail::bits_at;
        const std::uint64_t any = bits_at(p + j) | bits_at(p + j + 1) | bits_at(p + j + 2) | bits_at(p + j + 3) |
                                  bits_at(p + j + 4) | bits_at(p + j + 5) | bits_at(p + j + 6) | bits_at(p + j + 7);
        if (!detail::nonzero_bits(any)) continue;
        for (Index k = j; k < j + kBlock; ++k) {
            if (detail::nonzero_bits(detail::bits_at(p + k))) out.entries.push_back({k, p[k]});
        }
    }
    for (; j < n; ++j) {
        if (p[j] != 0) out.entries.push_back({j, p[j]});
    }
}

// The non-zero weights of `row`, its zeroed columns left out.
inline void scan_weights(const WeightRowView& row, SparseRow& out) {
    scan_values(row.values, out);
    if (row.zeroed.empty()) return;
    auto zeroed = row.zeroed.begin();
    std::size_t kept = 0;
    for (const WeightEntry& e : out.entries) {
        while (zeroed != row.zeroed.end() && *zeroed < e.column) ++zeroed;
        if (zeroed != row.zeroed.end() && *zeroed == e.column) continue;
        out.entries[kept++] = e;
    }
    out.entries.resize(kept);
}

}  // namespace mirelo::core
