// Holdings and rebalance: moving stocks to target values with fee and tax.
#pragma once

#include "tradesim/run.h"

#include <map>

namespace mirelo::tradesim {

// sid -> money value held (negative = short), iterated in ascending sid.
using Holdings = std::map<int, double>;

// Moves `sid` to `target_value`, charging the fee on trades that add exposure
// and fee plus tax on trades that reduce it, and reports trade boundaries to
// the excursion analysis.  Returns the new cash; on failure -1.0 with a Python
// exception pending (traceback entry "mirelo.core.tradesim.set_position").
double set_position(Holdings& holdings, int sid, double target_value, double cash, double fee_ratio,
                    double tax_ratio, bool check_held = true, bool erase_if_flat = false,
                    double weight_base = 1.0) noexcept;

// What rebalance needs to know of the run besides the holdings.
struct RebalanceContext {
    const std::map<int, int>& col_map;
    const Names& pos_columns;
};

// Turns a row of target weights (a 1-D float64 array, fractions of the
// balance) into target values and moves every column to its target.  Same
// result convention as set_position (traceback entry
// "mirelo.core.tradesim.rebalance").
// A NaN weight fails the rebalance before it trades ("Stock <name> has a NaN
// weight in position row <pos_row>").
double rebalance(const RebalanceContext& ctx, Holdings& holdings, PyObject* new_weights, double cash,
                 double fee_ratio, double tax_ratio, double position_limit, Py_ssize_t pos_row) noexcept;

// The cash result of set_position or rebalance, or ErrorSet at the caller's
// line when it reports failure (-1.0 with an exception pending; -1.0 alone is
// an ordinary cash value).
inline double checked_cash(double cash, std::source_location caller = std::source_location::current()) {
    if (cash == -1.0 && PyErr_Occurred() != nullptr) py::throw_pending(caller);
    return cash;
}

}  // namespace mirelo::tradesim
