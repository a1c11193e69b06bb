// The final stock operations of a run, as Python dicts: the actions and
// weights that the run's caller acts on next.
#pragma once

#include "kernel/simulation.h"
#include "pyutil/error.h"

namespace mirelo::glue {

// What the operations are built from besides the loop's final state.
struct OperationsInput {
    core::Mat<double> pos_values;
    core::Vec<std::int64_t> pos_index;
    double position_limit;
    bool touched_exit;  // the run's exit mode, which the "tp"/"sl" labels depend on
    PyObject* stop_trading_next_period;  // borrowed; its truth is asked at every use
};

// {"actions": {}, "weights": {}, "next_weights": {}}, to be filled.
py::Ref new_stock_operations();

// Fills `ops` (made by new_stock_operations):
// - "weights": the weights of the last rebalance for the stocks it held (0
//   for those closed since), divided by their sum when above 1;
// - "next_weights": the non-zero weights of the newest row, without the
//   stocks that sit out the next period, divided by the row's gross sum when
//   above 1;
// - "weight_time", "next_weight_time": their row numbers;
// - both weight dicts normalised under the position limit;
// - "actions": "enter"/"exit"/"hold" when a rebalance is due after the last
//   bar, "tp"/"sl"/"tp_enter"/"sl_enter" for exits found on the last bar,
//   "tp_"/"sl_" for stocks closed by an exit rule since the last rebalance.
// On failure the dicts keep what was filled so far.
void fill_stock_operations(PyObject* ops, const OperationsInput& input, const core::LoopState& state);

}  // namespace mirelo::glue
