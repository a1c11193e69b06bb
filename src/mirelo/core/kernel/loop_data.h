// What the bar loop reads (prices, targets, rules, the run setup's inputs)
// and what it leaves for the final stock operations, with the setup helpers
// both extension modules share.
#pragma once

#include "kernel/exit_rules.h"
#include "kernel/holdings_book.h"
#include "kernel/view.h"

#include <cstdint>
#include <span>
#include <vector>

namespace mirelo::core {

// The five price matrices (bars x price columns) and the date of every bar.
struct PriceData {
    Mat<double> price, close, high, low, open;
    Vec<std::int64_t> price_index;
};

// The target weights (position rows x position columns, one per sid), the
// date of every row and, when delisting is used, each sid's delisting bar.
struct Targets {
    Mat<double> pos_values;
    Vec<std::int64_t> pos_index;
    Vec<std::int64_t> delisting_bars;
};

// The trading rules of a run; the four distances already made absolute.
// The adapters set every field from their rule table, which holds the
// defaults; the values here are only the neutral ones (no costs, no exits).
struct Rules {
    double fee_ratio = 0.0;
    double tax_ratio = 0.0;
    ExitRules exits{1.0, 0.0, 0.0, 0.0};
    bool touched_exit = false;
    double position_limit = 1.0;
    bool retain_cost_when_rebalance = false;
    double borrow_rate = 0.0;  // a year, on the money value of the short positions
};

// What the run setup hands to the loop.
struct LoopInputs {
    std::span<const int> columns;         // sid -> price column, -1 for none (none past the end)
    Vec<double> values;                   // the value path, one per bar (written)
    bool use_delisting = false;
    std::vector<Index> flagged_bars;      // see flagged_bars()
    // The run setup's tracking arrays hold the exit tracking of the first
    // `tracked_stocks` sids and the reference prices of the first
    // `reference_columns` price columns: a position past them fails as
    // reading its entry would (IndexError).
    Index tracked_stocks = 0;
    Index reference_columns = 0;
};

// What the loop leaves for the final stock operations.
struct LoopState {
    Holdings holdings;
    double cash = 1.0;
    std::vector<Exit> pending_exits;   // found on this bar's close, executed next bar
    std::vector<Exit> due_exits;       // found on the previous bar, executed on this one
    std::vector<Exit> stopped_stocks;  // closed by an exit rule since the last rebalance
    std::vector<int> rebalanced_sids;  // the stocks held right after the last rebalance
    Index pos_row = 0;
    Index weight_row = -1;
    bool rebalance_today = false;
    std::int64_t last_date = 0;        // date of the last bar walked
};

// The bars the rebalance dates flag: each date flags the last bar dated on
// or before it (bar 0 for a date before the calendar).  One forward sweep: j
// never moves back, so an unsorted date flags the current bar again; the bars
// come out ascending, repeats included.  An empty calendar has no bar to flag.
inline std::vector<Index> flagged_bars(const Vec<std::int64_t>& price_index, const Vec<std::int64_t>& resample) {
    const Index n = price_index.extent(0);
    std::vector<Index> bars;
    if (n == 0) return bars;
    bars.reserve(static_cast<std::size_t>(resample.extent(0)));
    Index j = 0;
    for (Index k = 0; k < resample.extent(0); ++k) {
        const std::int64_t date = resample(k);
        while (j + 1 < n && price_index(j + 1) <= date) ++j;
        bars.push_back(j);
    }
    return bars;
}

// Whether any stock has a delisting bar (negative values mark none).
inline bool any_delisting(const Vec<std::int64_t>& delisting_bars) {
    for (Index k = 0; k < delisting_bars.extent(0); ++k) {
        if (delisting_bars(k) >= 0) return true;
    }
    return false;
}

// The first position whose date is smaller than the one before it, or -1.
inline Index first_step_back(const Vec<std::int64_t>& dates) {
    for (Index k = 1; k < dates.extent(0); ++k) {
        if (dates(k) < dates(k - 1)) return k;
    }
    return -1;
}

}  // namespace mirelo::core
