#include "excursion/path.h"

namespace mirelo::core {

void ExcursionPath::reserve(std::size_t bars) {
    run_max_.reserve(bars);
    run_min_.reserve(bars);
    min_pos_.reserve(bars);
    drawdown_.reserve(bars);
    profit_bars_.reserve(bars);
    returns_.reserve(bars);
}

void ExcursionPath::start(double r) {
    returns_.push_back(r);
    run_max_.push_back(1.0 > r ? 1.0 : r);
    run_min_.push_back(r > 1.0 ? 1.0 : r);
    min_pos_.push_back(0);
    drawdown_.push_back(0.0 > r - 1.0 ? r - 1.0 : 0.0);
    profit_bars_.push_back(r > 1.0 ? 1.0 : 0.0);
}

// Extends every array by one element from the previous one (index j):
// 1. the running maximum takes r when r exceeds it;
// 2. a new running minimum records j in min_pos, otherwise min_pos repeats,
//    so min_pos[k] is one less than the element that last set the minimum
//    (or 0 when none did);
// 3. the drawdown is measured against the new running maximum;
// 4. a bar is profitable only when it had a close and r is above 1.0.
void ExcursionPath::advance(double r, bool valid_close) {
    const std::size_t j = returns_.size() - 1;
    double m = run_max_[j];
    const double mn = run_min_[j];
    if (r > m) m = r;
    run_max_.push_back(m);
    if (mn > r) {
        run_min_.push_back(r);
        min_pos_.push_back(static_cast<int>(j));
    } else {
        run_min_.push_back(mn);
        min_pos_.push_back(min_pos_[j]);
    }
    const double dd = r / m - 1.0;
    drawdown_.push_back(drawdown_[j] > dd ? dd : drawdown_[j]);
    profit_bars_.push_back(valid_close && r > 1.0 ? profit_bars_[j] + 1.0 : profit_bars_[j]);
    returns_.push_back(r);
}

Group ExcursionPath::group(std::size_t k) const {
    return {
        run_min_[k] - 1.0,
        run_max_[k] - 1.0,
        run_max_[static_cast<std::size_t>(min_pos_[k])] - 1.0,
        drawdown_[k],
        profit_bars_[k],
        returns_[k] - 1.0,
    };
}

}  // namespace mirelo::core
