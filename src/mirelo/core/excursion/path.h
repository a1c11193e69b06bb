// The return path of one trade and its running statistics, bar by bar.
//
// Python-free: the caller reads the prices and decides the direction; this
// file only does the arithmetic.  Return ratios are multiplicative (1.0 is
// break-even).  Every comparison is strict, so a NaN never wins one.
#pragma once

#include <array>
#include <cstddef>
#include <vector>

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

// Six arrays with one element per analysed bar; element k belongs to the bar
// k bars after the entry.
class ExcursionPath {
public:
    // Capacity for `bars` elements, so the walk never reallocates.  Throws
    // std::bad_alloc or std::length_error.
    void reserve(std::size_t bars);

    // The entry bar, with return r.
    void start(double r);

    // The next bar: r is its return; `valid_close` is false when the bar had
    // no close, which keeps it from counting as a profitable bar.
    void advance(double r, bool valid_close);

    std::size_t size() const { return returns_.size(); }
    double& last_return() { return returns_.back(); }

    // The profile values of element k (k < size()).
    Group group(std::size_t k) const;

private:
    std::vector<double> run_max_;      // running maximum of returns, never below 1.0
    std::vector<double> run_min_;      // running minimum of returns, never above 1.0
    std::vector<int> min_pos_;         // see advance()
    std::vector<double> drawdown_;     // running minimum of return / run_max - 1
    std::vector<double> profit_bars_;  // bars so far whose return was above 1.0
    std::vector<double> returns_;
};

}  // namespace mirelo::core
