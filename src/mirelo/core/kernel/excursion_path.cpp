#include "kernel/excursion_path.h"

namespace mirelo::core {

void ExcursionPath::reserve(std::size_t bars) {
    if (bars <= kInlineBars) {
        run_max_ = inline_doubles_[0];
        run_min_ = inline_doubles_[1];
        min_pos_ = inline_min_pos_;
        drawdown_ = inline_doubles_[2];
        profit_bars_ = inline_doubles_[3];
        returns_ = inline_doubles_[4];
        return;
    }
    heap_run_max_.reset(new double[bars]);
    heap_run_min_.reset(new double[bars]);
    heap_min_pos_.reset(new int[bars]);
    heap_drawdown_.reset(new double[bars]);
    heap_profit_bars_.reset(new double[bars]);
    heap_returns_.reset(new double[bars]);
    run_max_ = heap_run_max_.get();
    run_min_ = heap_run_min_.get();
    min_pos_ = heap_min_pos_.get();
    drawdown_ = heap_drawdown_.get();
    profit_bars_ = heap_profit_bars_.get();
    returns_ = heap_returns_.get();
}

}  // namespace mirelo::core
