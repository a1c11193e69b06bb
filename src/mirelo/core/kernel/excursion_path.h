// The return path of one trade and its running statistics, bar by bar.
//
// Python-free: the caller reads the prices and decides the direction; this
// file only does the arithmetic.  Return ratios are multiplicative (1.0 is
// break-even).  Every comparison is strict, so a NaN never wins one.
#pragma once

#include <array>
#include <cstddef>
#include <memory>

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
// k bars after the entry.  Paths of up to kInlineBars bars live inside the
// object, longer ones in six heap arrays.
class ExcursionPath {
public:
    static constexpr std::size_t kInlineBars = 128;

    ExcursionPath() = default;
    // The arrays may point into the object itself.
    ExcursionPath(const ExcursionPath&) = delete;
    ExcursionPath& operator=(const ExcursionPath&) = delete;

    // Capacity for `bars` elements, so the walk never reallocates; called once,
    // before start().  Throws std::bad_alloc or std::length_error.
    void reserve(std::size_t bars);

    // The entry bar, with return r.
    void start(double r) {
        returns_[0] = r;
        run_max_[0] = 1.0 > r ? 1.0 : r;
        run_min_[0] = r > 1.0 ? 1.0 : r;
        min_pos_[0] = 0;
        drawdown_[0] = 0.0 > r - 1.0 ? r - 1.0 : 0.0;
        profit_bars_[0] = r > 1.0 ? 1.0 : 0.0;
        size_ = 1;
    }

    // What walk() needs of a bar.
    struct Bar {
        double r;
        bool valid_close;
    };

    // Extends the path to `bars` elements, one per later bar: `next()` gives
    // the return of the next bar and whether that bar had a close (a bar
    // without one does not count as profitable).  Each element k follows from
    // element j = k - 1:
    // 1. the running maximum takes r when r exceeds it;
    // 2. a new running minimum records j in min_pos, otherwise min_pos
    //    repeats, so min_pos[k] is one less than the element that last set the
    //    minimum (or 0 when none did);
    // 3. the drawdown is measured against the new running maximum;
    // 4. a bar is profitable only when it had a close and r is above 1.0.
    // The running values stay in locals: the arrays are only written.  When
    // `next` throws, the path is left unusable.
    template <typename Next>
    void walk(std::size_t bars, Next&& next) {
        double* __restrict run_max = run_max_;
        double* __restrict run_min = run_min_;
        int* __restrict min_pos = min_pos_;
        double* __restrict drawdown = drawdown_;
        double* __restrict profit_bars = profit_bars_;
        double* __restrict returns = returns_;
        std::size_t j = size_ - 1;
        double m = run_max[j];
        double mn = run_min[j];
        int mp = min_pos[j];
        double dd = drawdown[j];
        double pb = profit_bars[j];
        for (std::size_t k = size_; k < bars; ++k, ++j) {
            const Bar bar = next();
            const double r = bar.r;
            if (r > m) m = r;
            run_max[k] = m;
            if (mn > r) {
                mn = r;
                mp = static_cast<int>(j);
            }
            run_min[k] = mn;
            min_pos[k] = mp;
            const double d = r / m - 1.0;
            if (dd > d) dd = d;
            drawdown[k] = dd;
            if (bar.valid_close && r > 1.0) pb = pb + 1.0;
            profit_bars[k] = pb;
            returns[k] = r;
        }
        if (bars > size_) size_ = bars;
    }

    std::size_t size() const { return size_; }
    double& last_return() { return returns_[size_ - 1]; }

    // The profile values of element k (k < size()).
    Group group(std::size_t k) const {
        return {
            run_min_[k] - 1.0,
            run_max_[k] - 1.0,
            run_max_[static_cast<std::size_t>(min_pos_[k])] - 1.0,
            drawdown_[k],
            profit_bars_[k],
            returns_[k] - 1.0,
        };
    }

private:
    double* run_max_ = nullptr;      // running maximum of returns, never below 1.0
    double* run_min_ = nullptr;      // running minimum of returns, never above 1.0
    int* min_pos_ = nullptr;         // see walk()
    double* drawdown_ = nullptr;     // running minimum of return / run_max - 1
    double* profit_bars_ = nullptr;  // bars so far whose return was above 1.0
    double* returns_ = nullptr;
    std::size_t size_ = 0;

    // Storage of a short path.
    double inline_doubles_[5][kInlineBars];
    int inline_min_pos_[kInlineBars];
    // Storage of a long one, allocated in the order of the members above and
    // left uninitialised: every element is written before it is read.
    std::unique_ptr<double[]> heap_run_max_, heap_run_min_;
    std::unique_ptr<int[]> heap_min_pos_;
    std::unique_ptr<double[]> heap_drawdown_, heap_profit_bars_, heap_returns_;
};

}  // namespace mirelo::core
