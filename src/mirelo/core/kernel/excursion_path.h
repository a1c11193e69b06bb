// The return path of one trade and its running statistics, bar by bar.
//
// Python-free: the caller reads the prices and decides the direction; this
// file only does the arithmetic.  Return ratios are multiplicative (1.0 is
// break-even).  Every comparison is strict, so a NaN never wins one.
#pragma once

#include <array>
#include <cstddef>

namespace mirelo::core {

// The return at the entry bar: close over trade price, mirrored around 1.0
// for a short so that a falling price is a gain.
inline double entry_return(double trade_price, double close, bool is_long) {
    const double ratio = close / trade_price;
    return is_long ? ratio : 2.0 - ratio;
}

// Compounds the bar-to-bar close ratio into the return r.  For a short, the
// distance below 2.0 compounds, which keeps 1.0 as break-even.
inline double compound(double r, double ratio, bool is_long) {
    return is_long ? r * ratio : 2.0 - (2.0 - r) * ratio;
}

// The return of the last bar once the position is closed at the trade price
// of that bar instead of its close.
inline double reprice_at_trade_price(double r, double trade_price, double close, bool is_long) {
    return is_long ? (trade_price / close) * r : 2.0 - ((2.0 - r) * trade_price) / close;
}

// One group of a profile: adverse excursion, favourable excursion, favourable
// excursion before the adverse extreme, drawdown, profitable bars, return.
inline constexpr std::size_t kGroupSize = 6;
using Group = std::array<double, kGroupSize>;

// The statistics of the path up to its latest bar.  Bar k follows from bar
// k - 1:
// 1. the running maximum takes r when r exceeds it (it starts at 1.0 or the
//    entry return, whichever is larger);
// 2. the running minimum takes r when r is below it; the favourable
//    excursion before the adverse extreme is then the running maximum of
//    bar k - 1 (at the entry: the entry's running maximum);
// 3. the drawdown is measured against the new running maximum;
// 4. a bar is profitable only when it had a close and r is above 1.0.
struct PathState {
    double r;            // the return of the latest bar
    double run_max;      // running maximum of returns, never below 1.0
    double run_min;      // running minimum of returns, never above 1.0
    double max_at_min;   // run_max of the bar before the running minimum was last set
    double drawdown;     // running minimum of r / run_max - 1
    double profit_bars;  // bars so far whose return was above 1.0

    // The entry bar, with return r0.
    void start(double r0) {
        r = r0;
        run_max = 1.0 > r0 ? 1.0 : r0;
        run_min = r0 > 1.0 ? 1.0 : r0;
        max_at_min = run_max;
        drawdown = 0.0 > r0 - 1.0 ? r0 - 1.0 : 0.0;
        profit_bars = r0 > 1.0 ? 1.0 : 0.0;
    }

    // The next bar, with return r_next (a bar without a close repeats r).
    void step(double r_next, bool valid_close) {
        const double previous_max = run_max;
        if (r_next > run_max) run_max = r_next;
        if (run_min > r_next) {
            run_min = r_next;
            max_at_min = previous_max;
        }
        const double d = r_next / run_max - 1.0;
        if (drawdown > d) drawdown = d;
        if (valid_close && r_next > 1.0) profit_bars = profit_bars + 1.0;
        r = r_next;
    }

    Group group() const {
        return {run_min - 1.0, run_max - 1.0, max_at_min - 1.0, drawdown, profit_bars, r - 1.0};
    }
};

}  // namespace mirelo::core
