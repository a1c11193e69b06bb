// NumPy's summation of float64 values, bit for bit: `numpy.add.reduce` of a
// contiguous array adds the pairwise sum of all its elements to the identity
// 0.0.  The engine sizes a rebalance by `abs(weights).sum()`, so a run that
// does not call NumPy must add in exactly the same order.
#pragma once

#include "kernel/view.h"
#include "kernel/weight_scan.h"

#include <cmath>

namespace mirelo::core {

namespace detail {

// 1. Fewer than 8 values: one after the other, from 0.0.
// 2. Up to 128: eight running sums over blocks of eight, combined as
//    ((r0 + r1) + (r2 + r3)) + ((r4 + r5) + (r6 + r7)), then the rest one by one.
// 3. More: the two halves, the split rounded down to a multiple of 8, summed
//    the same way and added.
template <typename Value>
double pairwise(Index first, Index n, const Value& value) {
    constexpr Index kBlock = 128;
    if (n < 8) {
        double res = 0.0;
        for (Index i = 0; i < n; ++i) res += value(first + i);
        return res;
    }
    if (n <= kBlock) {
        double r[8];
        for (Index k = 0; k < 8; ++k) r[k] = value(first + k);
        Index i = 8;
        for (; i < n - (n % 8); i += 8) {
            for (Index k = 0; k < 8; ++k) r[k] += value(first + i + k);
        }
        double res = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
        for (; i < n; ++i) res += value(first + i);
        return res;
    }
    Index n2 = n / 2;
    n2 -= n2 % 8;
    return pairwise(first, n2, value) + pairwise(first + n2, n - n2, value);
}

// The same additions over a row whose zero elements are left out: a term or
// a whole subtree of zeros adds +0.0, which leaves any sum unchanged (sums
// of absolute values are never -0.0).  `next` walks the non-zero elements in
// ascending position; this call takes those of positions first .. first +
// n - 1, `magnitude` gives their terms.
template <typename Magnitude>
double sparse_pairwise(Index first, Index n, const WeightEntry*& next, const WeightEntry* end,
                       const Magnitude& magnitude) {
    constexpr Index kBlock = 128;
    const Index stop = first + n;
    if (next == end || next->column >= stop) return 0.0;
    if (n < 8) {
        double res = 0.0;
        for (; next != end && next->column < stop; ++next) res += magnitude(next->weight);
        return res;
    }
    if (n <= kBlock) {
        double r[8] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
        const Index blocked_end = stop - (n % 8);
        for (; next != end && next->column < blocked_end; ++next) {
            r[static_cast<std::size_t>(next->column - first) & 7] += magnitude(next->weight);
        }
        double res = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
        for (; next != end && next->column < stop; ++next) res += magnitude(next->weight);
        return res;
    }
    Index n2 = n / 2;
    n2 -= n2 % 8;
    const double left = sparse_pairwise(first, n2, next, end, magnitude);
    return left + sparse_pairwise(first + n2, n - n2, next, end, magnitude);
}

}  // namespace detail

// sum(values), as NumPy computes it.
inline double numpy_sum(const Vec<double>& values) {
    return 0.0 + detail::pairwise(0, values.extent(0), [&](Index i) { return values(i); });
}

// abs(values).sum(), as NumPy computes it (the absolute values form a new
// contiguous array, which is then summed).
inline double numpy_abs_sum(const Vec<double>& values) {
    return 0.0 + detail::pairwise(0, values.extent(0), [&](Index i) { return std::fabs(values(i)); });
}

// The same sum of a row known by its non-zero elements.
inline double numpy_abs_sum(const SparseRow& row) {
    const WeightEntry* next = row.entries.data();
    return 0.0 + detail::sparse_pairwise(0, row.size, next, next + row.entries.size(),
                                         [](double w) { return std::fabs(w); });
}

}  // namespace mirelo::core
