// One run of backtest_: its converted arguments and the working state built
// by the run setup for the bar loop.
#pragma once

#include "glue/arrays.h"
#include "glue/rules.h"

#include <cstdint>
#include <map>
#include <vector>

namespace mirelo::tradesim {

using glue::Dates;
using glue::Matrix;
using glue::Names;
using glue::Series;

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

    glue::RuleValues rules;
};

// The tracking arrays of the exit rules, made through org_np: the Python
// objects and the views the loop writes through.
struct TrackingArrays {
    py::Ref cum_return_obj, max_return_obj, min_return_obj, prev_prices_obj;
    Series cum_return, max_return, min_return, prev_prices;
};

// State built by the run setup and handed to the bar loop.
struct RunSetup {
    std::map<int, int> col_map;  // sid -> price column
    py::Ref value_path;
    Series values;
    TrackingArrays tracking;
    bool use_delisting = false;
    std::vector<std::int64_t> rebalance_flags;  // one per bar
};

// The bar loop on the module's host, then the final ledger and stock
// operations.  Fills `setup.values`.
void run_bar_loop(RunArgs& args, RunSetup& setup);

}  // namespace mirelo::tradesim
