// The excursion profile of one trade: its return path from the entry bar,
// reduced to six running statistics sampled every `window_step` bars below
// `window` bars after the entry, and the same statistics at the exit bar.
//
// The analysis reads what it needs through a context, at the point where each
// step needs it: the excursion module's context reads its module state, which
// Python code run by a price read may change; a native run's context holds
// plain values.  The price grids and the direction are template parameters
// for the same reason.  When no code can run during the walk (grids read
// straight from memory, a direction known beforehand), the groups to keep are
// known before it starts and the walk keeps only those; otherwise it keeps
// the groups of every bar and samples them afterwards.
#pragma once

#include "kernel/errors.h"
#include "kernel/excursion_path.h"
#include "kernel/messages.h"
#include "kernel/view.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <concepts>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

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

// A trade's direction fixed before the analysis starts.
struct FixedDirection {
    bool is_long;
    bool operator()() const { return is_long; }
};

// A price column read straight from memory: element `row` at base + row x
// stride, for rows already known to be in range.
struct DirectColumn {
    const char* base = nullptr;
    Index stride = 0;
    double operator[](std::int64_t row) const {
        double v;
        std::memcpy(&v, base + row * stride, sizeof v);
        return v;
    }
};

// A grid whose reads run no code can hand out a column (false when `col` is
// not a column of it, counted from 0).
template <typename Grid>
concept DirectGrid = requires(const Grid& grid, std::int64_t col, DirectColumn& out) {
    { grid.direct_column(col, out) } -> std::same_as<bool>;
};

namespace detail {

// The groups one walk keeps: a few inline, more on the heap.
class GroupBuffer {
public:
    explicit GroupBuffer(std::size_t count) {
        if (count > kInline) heap_.resize(count);
        data_ = count > kInline ? heap_.data() : inline_;
    }
    Group& operator[](std::size_t k) { return data_[k]; }

private:
    static constexpr std::size_t kInline = 16;
    Group inline_[kInline];
    std::vector<Group> heap_;
    Group* data_;
};

// Writes the groups `group(0)`, `group(1)`, ... of the `samples` sampled
// offsets, then `exit_group` last, into a new profile from the context.
template <typename Ctx, typename SampleGroup>
auto write_profile(Ctx& ctx, int window, int step, std::size_t samples, const SampleGroup& group,
                   const Group& exit_group) {
    auto out = ctx.new_profile((sample_count(window, step) + 2) * static_cast<std::int64_t>(kGroupSize));
    std::int64_t w = 0;
    for (std::size_t s = 0; s < samples; ++s) {
        out.write_group(w, group(s));
        w += static_cast<std::int64_t>(kGroupSize);
    }
    out.write_group(out.length() - static_cast<std::int64_t>(kGroupSize), exit_group);
    return out;
}

// The sampled offsets 0, step, 2 x step, ... below min(window, bars), with a
// negative window, as an unsigned size, exceeding any number of bars.
inline std::size_t samples_below(int window, int step, std::size_t bars) {
    const std::size_t span = std::min(static_cast<std::size_t>(window), bars);
    if (step <= 0) return 0;
    return (span + static_cast<std::size_t>(step) - 1) / static_cast<std::size_t>(step);
}

// The exit group's offset: the current date, or the last bar when that lies
// outside the path.
inline std::size_t exit_offset(std::int64_t current_date, std::int64_t entry, std::size_t bars) {
    const std::int64_t last = static_cast<std::int64_t>(bars) - 1;
    const std::int64_t offset = current_date - entry;
    return static_cast<std::size_t>(offset > last || offset < 0 ? last : offset);
}

// The entry bar's return, with the entry commission for a new position.
template <typename Ctx>
double first_return(Ctx& ctx, double entry_price, double entry_close, bool is_long, int is_new) {
    if (entry_price == 0.0) throw Error{ErrorKind::ZeroDivisionError, msg::kFloatDivision};
    double r = entry_return(entry_price, entry_close, is_long);
    if (is_new != 0) r = (1.0 - ctx.fee_ratio()) * r;
    return r;
}

// The return of the last bar of a final exit: re-priced at its trade price
// (unless the trade ends on its entry bar), less exit commission and tax.
template <typename Ctx, typename Dir>
double final_return(Ctx& ctx, double r, std::int64_t entry, std::int64_t end, double exit_price, double exit_close,
                    Dir& is_long) {
    if (entry != end) {
        if (exit_close == 0.0) throw Error{ErrorKind::ZeroDivisionError, msg::kFloatDivision};
        r = reprice_at_trade_price(r, exit_price, exit_close, is_long());
    }
    return r * ((1.0 - ctx.fee_ratio()) - ctx.tax_ratio());
}

// The group of the path's last bar; at a final exit its return is re-priced
// at the trade price of that bar and charged exit commission and tax (the
// statistics keep the values computed from the close).
template <typename Ctx>
Group last_group(Ctx& ctx, const PathState& path, DirectColumn price, DirectColumn close, std::int64_t entry,
                 std::int64_t end, FixedDirection is_long, int is_final) {
    Group g = path.group();
    if (is_final != 0) {
        if (entry != end && end < entry) throw Error{ErrorKind::UnboundLocalError, msg::kUnboundLocal};
        const double exit_price = entry != end ? price[end] : 0.0;
        const double exit_close = entry != end ? close[end] : 0.0;
        g[5] = final_return(ctx, path.r, entry, end, exit_price, exit_close, is_long) - 1.0;
    }
    return g;
}

// The return after a close ratio that is not finite: a zero last close fails
// as Python's division would; a NaN ratio leaves the return; an infinite one
// compounds.
template <bool Long>
[[gnu::noinline]] double compound_unusual(double r, double ratio, double previous) {
    if (previous == 0.0) throw Error{ErrorKind::ZeroDivisionError, msg::kFloatDivision};
    return std::isnan(ratio) ? r : compound(r, ratio, Long);
}

// The path extended over rows first .. last of a close column read from
// memory (see excursion_profile, step 3), for one direction, with the running
// values in locals.  A bar without a close changes nothing: its return, and
// so every statistic, repeats the previous bar's.  A new running minimum is
// never a new maximum (the minimum stays at or below 1.0, the maximum at or
// above), and the maximum it records is the one of the bar before.
template <bool Long>
[[gnu::always_inline]] inline PathState extend_path(PathState path, DirectColumn close, std::int64_t first,
                                                   std::int64_t last, double& last_close) {
    double previous = last_close;
    double r = path.r, run_max = path.run_max, run_min = path.run_min, max_at_min = path.max_at_min;
    double drawdown = path.drawdown, profit_bars = path.profit_bars;
    const char* cell = close.base + first * close.stride;
    for (std::int64_t row = first; row <= last; ++row, cell += close.stride) {
        double c;
        std::memcpy(&c, cell, sizeof c);
        if (std::isnan(c)) continue;
        const double ratio = c / previous;
        r = std::fabs(ratio) <= std::numeric_limits<double>::max() ? compound(r, ratio, Long)
                                                                    : compound_unusual<Long>(r, ratio, previous);
        previous = c;
        if (r < run_min) [[unlikely]] {
            run_min = r;
            max_at_min = run_max;
        } else if (r > run_max) {
            run_max = r;
        }
        const double d = r / run_max - 1.0;
        if (d < drawdown) drawdown = d;
        if (r > 1.0) profit_bars = profit_bars + 1.0;
    }
    last_close = previous;
    return PathState{r, run_max, run_min, max_at_min, drawdown, profit_bars};
}

// Kept out of line: a loop of its own keeps its running values in registers.
template <bool Long>
[[gnu::noinline]] PathState walk_closes(PathState path, DirectColumn close, std::int64_t first, std::int64_t last,
                                        double& last_close) {
    return extend_path<Long>(path, close, first, last, last_close);
}

// The whole path from the entry bar (return r0) to row `last`.
template <bool Long>
[[gnu::noinline]] PathState path_from_entry(double r0, DirectColumn close, std::int64_t entry, std::int64_t last) {
    PathState path;
    path.start(r0);
    double last_close = close[entry];
    return extend_path<Long>(path, close, entry + 1, last, last_close);
}


// The walk from memory with sampled groups: it runs from one kept group to
// the next.
template <typename Ctx>
[[gnu::noinline]] auto sampled_profile_from_columns(Ctx& ctx, DirectColumn price, DirectColumn close,
                                                    std::int64_t entry, std::int64_t end, FixedDirection is_long,
                                                    int is_final, double r0, std::size_t samples,
                                                    std::size_t exit_at) {
    const int window = ctx.window();
    const int step = ctx.window_step();
    const std::size_t last = static_cast<std::size_t>(std::max<std::int64_t>(end - entry + 1, 1)) - 1;
    double last_close = close[entry];
    PathState path;
    path.start(r0);
    GroupBuffer kept(samples);
    Group exit_group{};
    std::size_t sampled = 0;
    std::size_t next_sample = 0;  // offset of the next sampled group, while sampled < samples
    auto keep = [&](std::size_t k) {
        if (sampled < samples && k == next_sample) {
            kept[sampled++] = path.group();
            next_sample += static_cast<std::size_t>(step);
        }
        if (k == exit_at) exit_group = path.group();
    };
    keep(0);
    for (std::size_t k = 0; k < last;) {
        std::size_t stop = last;
        if (sampled < samples) stop = std::min(stop, next_sample);
        if (exit_at > k) stop = std::min(stop, exit_at);
        const std::int64_t first_row = entry + static_cast<std::int64_t>(k) + 1;
        const std::int64_t last_row = entry + static_cast<std::int64_t>(stop);
        path = is_long.is_long ? walk_closes<true>(path, close, first_row, last_row, last_close)
                               : walk_closes<false>(path, close, first_row, last_row, last_close);
        k = stop;
        keep(k);
    }
    // Only the last bar's return changes at a final exit, wherever its group is kept.
    const Group final = last_group(ctx, path, price, close, entry, end, is_long, is_final);
    if (samples > 0 && (samples - 1) * static_cast<std::size_t>(step) == last) kept[samples - 1] = final;
    if (exit_at == last) exit_group = final;
    return write_profile(ctx, window, step, samples, [&](std::size_t s) { return kept[s]; }, exit_group);
}


// The exit group alone, at the last bar `end` (the profiles of a window of
// 0): one walk from the entry to the end.  The columns hold rows entry ..
// end.
template <typename Ctx>
auto exit_group_profile(Ctx& ctx, DirectColumn price, DirectColumn close, std::int64_t entry, std::int64_t end,
                        FixedDirection is_long, int is_new, int is_final) {
    const double r0 = first_return(ctx, price[entry], close[entry], is_long.is_long, is_new);
    const PathState path = is_long.is_long ? path_from_entry<true>(r0, close, entry, end)
                                           : path_from_entry<false>(r0, close, entry, end);
    const Group exit_group = last_group(ctx, path, price, close, entry, end, is_long, is_final);
    return write_profile(ctx, ctx.window(), ctx.window_step(), 0, [&](std::size_t) { return exit_group; },
                         exit_group);
}

// The walk from memory: the groups to keep are known before it starts.  Most
// profiles are the exit group alone, at the last bar (a window of 0).
template <typename Ctx>
auto profile_from_columns(Ctx& ctx, DirectColumn price, DirectColumn close, std::int64_t entry, std::int64_t end,
                          FixedDirection is_long, int is_new, int is_final) {
    const int window = ctx.window();
    const int step = ctx.window_step();
    const std::size_t bars = static_cast<std::size_t>(std::max<std::int64_t>(end - entry + 1, 1));
    const std::size_t samples = window == 0 ? 0 : samples_below(window, step, bars);
    const std::size_t exit_at = exit_offset(ctx.current_date(), entry, bars);
    if (samples == 0 && exit_at == bars - 1 && end >= entry) {
        return exit_group_profile(ctx, price, close, entry, end, is_long, is_new, is_final);
    }
    const double r0 = first_return(ctx, price[entry], close[entry], is_long.is_long, is_new);
    return sampled_profile_from_columns(ctx, price, close, entry, end, is_long, is_final, r0, samples, exit_at);
}

// The walk through the grids' own reads, in the order Python code would make
// them; the context is read again after the walk.
template <typename Ctx, typename Grid, typename Dir>
auto profile_from_grids(Ctx& ctx, const Grid& price, const Grid& close, int col, std::int64_t entry,
                        std::int64_t end, Dir is_long, int is_new, int is_final) {
    const std::size_t bars = static_cast<std::size_t>(end - entry + 1);
    std::vector<Group> groups;
    groups.reserve(std::max<std::size_t>(bars, 1));

    const double entry_price = price.at(entry, col);
    const double entry_close = close.at(entry, col);
    if (entry_price == 0.0) throw Error{ErrorKind::ZeroDivisionError, msg::kFloatDivision};
    PathState path;
    path.start(first_return(ctx, entry_price, entry_close, is_long(), is_new));
    groups.push_back(path.group());

    double last_close = entry_close;
    for (std::int64_t ith = entry + 1; ith <= end; ++ith) {
        const double c = close.at(ith, col);
        const bool valid = !std::isnan(c);
        double r = path.r;
        if (valid) {
            if (last_close == 0.0) throw Error{ErrorKind::ZeroDivisionError, msg::kFloatDivision};
            const double ratio = c / last_close;
            last_close = c;
            if (!std::isnan(ratio)) r = compound(r, ratio, is_long());
        }
        path.step(r, valid);
        groups.push_back(path.group());
    }

    if (is_final != 0) {
        // The last bar is that of the walk, which did not run.
        if (entry != end && end < entry) throw Error{ErrorKind::UnboundLocalError, msg::kUnboundLocal};
        const double exit_price = entry != end ? price.at(end, col) : 0.0;
        const double exit_close = entry != end ? close.at(end, col) : 0.0;
        groups.back()[5] = final_return(ctx, path.r, entry, end, exit_price, exit_close, is_long) - 1.0;
    }

    const int window = ctx.window();
    const int step = ctx.window_step();
    const std::size_t samples = samples_below(window, step, groups.size());
    const Group exit_group = groups[exit_offset(ctx.current_date(), entry, groups.size())];
    return write_profile(
        ctx, window, step, samples, [&](std::size_t s) { return groups[s * static_cast<std::size_t>(step)]; },
        exit_group);
}

}  // namespace detail

// The profile of a window of 0 straight from the price columns.
using detail::exit_group_profile;

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
    if (end - entry + 1 < 0) throw Error{ErrorKind::OverflowError, msg::kNegativeSize};

    if constexpr (DirectGrid<Grid> && std::same_as<Dir, FixedDirection>) {
        DirectColumn price_column, close_column;
        const bool in_range = entry >= 0 && entry < rows && end < close.rows();
        if (in_range && price.direct_column(col, price_column) && close.direct_column(col, close_column)) {
            return detail::profile_from_columns(ctx, price_column, close_column, entry, end, is_long, is_new,
                                                is_final);
        }
    }
    return detail::profile_from_grids(ctx, price, close, col, entry, end, is_long, is_new, is_final);
}

}  // namespace mirelo::core
