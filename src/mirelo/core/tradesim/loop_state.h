// State that the bar loop carries from bar to bar and hands to the final
// stock operations.
#pragma once

#include "tradesim/holdings.h"

#include <cstdint>
#include <vector>

namespace mirelo::tradesim {

// An exit decided by the exit rules.  The kind is kept apart from the stock
// (a signed sid cannot mark the kind of stock 0).
struct Exit {
    int sid;
    bool profit_side;  // take-profit side ("tp"), else stop side ("sl")
};

struct LoopState {
    Holdings holdings;
    double cash = 1.0;
    std::vector<Exit> pending_exits;   // found on this bar's close, executed next bar
    std::vector<Exit> due_exits;       // found on the previous bar, executed on this one
    std::vector<Exit> stopped_stocks;  // closed by an exit rule since the last rebalance
    std::vector<int> delisted_now;
    Holdings rebalance_holdings;       // holdings right after the last rebalance
    Py_ssize_t pos_row = 0;
    Py_ssize_t weight_row = -1;
    bool rebalance_today = false;
    std::int64_t last_date = 0;        // date of the last bar walked
};

// After the last bar: replaces the module's stock_operations with the final
// actions and weights of the run.
void build_stock_operations(const RunArgs& args, const LoopState& st);

}  // namespace mirelo::tradesim
