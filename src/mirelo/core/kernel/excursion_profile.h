// The excursion profile of one trade: its return path from the entry bar,
// reduced to six running statistics sampled every `window_step` bars below
// `window` bars after the entry, and the same statistics at the exit bar.
//
// The analysis reads what it needs through a context, at the point where each
// step needs it: the excursion module's context reads its module state, which
// Python code run by a price read may change; a native run's context holds
// plain values.  The price grids and the direction are template parameters
// for the same reason.
#pragma once

#include "kernel/errors.h"
#include "kernel/excursion_path.h"
#include "kernel/messages.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <string>

namespace mirelo::core {

// (window - 1) // window_step with Python's floor division: the number of
// sampled groups after the first.  The quotient is a 32-bit int, so the one
// division whose result does not fit (the smallest int by -1) is refused.
inline std::int64_t sample_count(int window, int window_step) {
    if (window_step == 0) throw Error{ErrorKind::ZeroDivisionError, msg::kIntegerDivision};
    const std::int64_t numerator = std::int64_t{window} - 1;
    std::int64_t q = numerator / window_step;
    if (numerator % window_step != 0 && (numerator < 0) != (window_step < 0)) --q;
    if (q > INT_MAX) throw Error{ErrorKind::OverflowError, msg::kDivisionOverflow};
    return q;
}

// The length of every profile of a run.
inline std::int64_t profile_length(int window, int window_step) {
    return (sample_count(window, window_step) + 2) * static_cast<std::int64_t>(kGroupSize);
}

// 1. The span: from the entry to the current date, at least `window` bars
//    (also past the exit), at most to the last bar of the data.
// 2. The entry bar's return, with the entry commission for a new position.
// 3. One element per later bar; a bar without a close repeats the return and
//    the next close is compared with the last valid one.
// 4. A final exit re-prices the last bar at its trade price and charges exit
//    commission and tax; only that return changes, the statistics keep the
//    values computed from the close.
// 5. The profile: groups at offsets 0, step, 2 x step, ... below
//    min(window, bars analysed), then the exit bar's group last.
//
// `ctx` gives current_date(), window(), window_step(), fee_ratio(),
// tax_ratio() and new_profile(length), a sink with length() and
// write_group(first, group); the grids give rows() and at(row, col);
// `is_long()` is the direction.  Returns the sink.
template <typename Ctx, typename Grid, typename Dir>
auto excursion_profile(Ctx& ctx, const Grid& price, const Grid& close, int col, std::int64_t entry, Dir is_long,
                       int is_new, int is_final) {
    std::int64_t end = ctx.current_date();
    if (entry + ctx.window() > end) end = entry + ctx.window();
    const std::int64_t rows = price.rows();
    if (end >= rows) end = rows - 1;

    const std::int64_t bars = end - entry + 1;
    if (bars < 0) throw Error{ErrorKind::OverflowError, msg::kNegativeSize};
    ExcursionPath path;
    path.reserve(static_cast<std::size_t>(bars));

    const double entry_price = price.at(entry, col);
    const double entry_close = close.at(entry, col);
    if (entry_price == 0.0) throw Error{ErrorKind::ZeroDivisionError, msg::kFloatDivision};
    double r = entry_return(entry_price, entry_close, is_long());
    if (is_new != 0) r = (1.0 - ctx.fee_ratio()) * r;
    path.start(r);

    double last_close = entry_close;
    std::int64_t ith = entry;
    path.walk(static_cast<std::size_t>(bars), [&] {
        ++ith;
        const double c = close.at(ith, col);
        const bool valid = !std::isnan(c);
        if (valid) {
            if (last_close == 0.0) throw Error{ErrorKind::ZeroDivisionError, msg::kFloatDivision};
            const double ratio = c / last_close;
            last_close = c;
            if (!std::isnan(ratio)) r = compound(r, ratio, is_long());
        }
        return ExcursionPath::Bar{r, valid};
    });

    if (is_final != 0) {
        if (entry != end) {
            // The last bar is that of the walk, which did not run.
            if (end < entry) {
                throw Error{ErrorKind::UnboundLocalError, msg::kUnboundLocal};
            }
            const double exit_price = price.at(end, col);
            const double exit_close = close.at(end, col);
            if (exit_close == 0.0) throw Error{ErrorKind::ZeroDivisionError, msg::kFloatDivision};
            path.last_return() = reprice_at_trade_price(path.last_return(), exit_price, exit_close, is_long());
        }
        path.last_return() *= (1.0 - ctx.fee_ratio()) - ctx.tax_ratio();
    }

    const int window = ctx.window();
    const int step = ctx.window_step();
    auto out = ctx.new_profile((sample_count(window, step) + 2) * static_cast<std::int64_t>(kGroupSize));

    // A negative window, as an unsigned size, exceeds any number of bars.
    const std::size_t span = std::min(static_cast<std::size_t>(window), path.size());
    std::int64_t w = 0;
    if (step > 0) {
        for (std::size_t d = 0; d < span; d += static_cast<std::size_t>(step)) {
            out.write_group(w, path.group(d));
            w += static_cast<std::int64_t>(kGroupSize);
        }
    }

    const std::int64_t last = static_cast<std::int64_t>(path.size()) - 1;
    std::int64_t exit_offset = std::int64_t{ctx.current_date()} - entry;
    if (exit_offset > last || exit_offset < 0) exit_offset = last;
    out.write_group(out.length() - static_cast<std::int64_t>(kGroupSize),
                    path.group(static_cast<std::size_t>(exit_offset)));
    return out;
}

}  // namespace mirelo::core
