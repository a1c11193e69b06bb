// One run of backtest_: its converted arguments and the working state built
// by the run setup for the bar loop.
#pragma once

#include "pyutil/buffer.h"

#include <cstdint>
#include <map>
#include <vector>

namespace mirelo::tradesim {

using Matrix = py::BufferView<double, 2>;
using Dates = py::BufferView<std::int64_t, 1>;
using Names = py::BufferView<PyObject*, 1>;
using Series = py::BufferView<double, 1>;

// The arguments of backtest_ after conversion.  Array objects are borrowed
// from the call; the views hold their buffers until the run ends.
struct RunArgs {
    PyObject* price_values_obj = nullptr;
    PyObject* close_values_obj = nullptr;
    PyObject* pos_values_obj = nullptr;
    PyObject* price_columns_obj = nullptr;
    PyObject* pos_columns_obj = nullptr;

    Matrix price_values, close_values, high_values, low_values, open_values;
    Dates price_index;
    Names price_columns;
    Matrix pos_values;
    Dates pos_index;
    Names pos_columns;
    Dates resample;
    Dates delisting_bars;  // empty view for None

    double fee_ratio = 0.001425;
    double tax_ratio = 0.003;
    double stop_loss = 1.0;
    double take_profit = 0.0;  // set from the defaults tuple
    double trail_stop = 0.0;
    double trail_stop_activation = 0.0;
    bool touched_exit = false;
    double position_limit = 1.0;
    bool retain_cost_when_rebalance = false;
    PyObject* stop_trading_next_period = nullptr;  // borrowed; tested for truth where used
    int excursion_window = 0;
    int excursion_window_step = 1;
    bool periodically_rebalance = true;
};

// The per-stock tracking arrays of the exit rules, indexed by sid, and the
// reference prices, indexed by price column.
struct Tracking {
    py::Ref cum_return_obj, max_return_obj, min_return_obj, prev_prices_obj;
    Series cum_return, max_return, min_return, prev_prices;

    // Entering, exiting or delisting a stock starts a new exit horizon.
    void reset(int sid) {
        cum_return.set(sid, 1.0);
        max_return.set(sid, 1.0);
        min_return.set(sid, 1.0);
    }
};

// State built by the run setup and handed to the bar loop.
struct RunSetup {
    std::map<int, int> col_map;  // sid -> price column
    py::Ref value_path;
    Series values;
    Tracking tracking;
    bool use_delisting = false;
    std::vector<std::int64_t> rebalance_flags;  // one per bar
};

// The bar loop, the final ledger and stock operations.  Fills `setup.values`.
void run_bar_loop(RunArgs& args, RunSetup& setup);

}  // namespace mirelo::tradesim
