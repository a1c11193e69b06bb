// A market: the price side of many backtests, checked once and then read in
// place by every run, from any number of threads.
#pragma once

#include "kernel/simulation.h"
#include "glue/arrays.h"
#include "glue/columns.h"

#include <cstdint>
#include <vector>

namespace mirelo::batch {

using glue::Dates;
using glue::Matrix;
using glue::Names;

// The arrays of a Market, their buffers held (so that the memory cannot go
// or move while the market lives), and the price column of every name.
struct MarketData {
    py::Ref objects[8];  // the arguments as given, for the attributes
    Matrix price, close, high, low, open;
    Dates price_index;
    Names price_columns;
    std::vector<std::int64_t> delisting;  // per price column; empty: no delisting
    glue::NameIndex names;

    core::PriceData prices() const {
        return {price.view(), close.view(), high.view(), low.view(), open.view(), price_index.view()};
    }
};

// Checks and takes the arguments of Market(...): five 2-D float64 matrices
// of one shape, int64 dates in ascending order, one per bar, str names, one
// per column, and None or one int64 delisting bar per column.  Throws
// ErrorSet with TypeError or ValueError naming the argument.
void build_market(MarketData& m, PyObject* const* args);

// The names of Market's parameters, in order.
inline constexpr const char* kMarketParams[] = {"price_values", "close_values", "high_values", "low_values",
                                                "open_values",  "price_index",  "price_columns",
                                                "delisting_bars"};

}  // namespace mirelo::batch
