// A whole backtest without Python: the bar loop on a host that records the
// trades and their excursion profiles in plain containers.
//
// The results are those the extension modules give for the same inputs, bit
// for bit: the same loop, the same profile computation and NumPy's own
// summation order for the gross weight of a row.  Everything a run reads is
// borrowed; everything it writes is its own, so any number of runs may share
// one set of price matrices on as many threads.
#pragma once

#include "kernel/bar_totals.h"
#include "kernel/growing_array.h"
#include "kernel/holdings_record.h"
#include "kernel/simulation.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <vector>

namespace mirelo::core {

struct NativeRunInput {
    PriceData prices;
    Targets targets;
    Vec<std::int64_t> resample;
    std::vector<int> columns;       // sid -> price column, -1 for none (the names mapped)
    Index stock_count = 0;          // number of position columns (names)
    Rules rules;                    // distances as given; the run makes them absolute
    bool stop_trading_next_period = true;
    bool periodically_rebalance = true;
    int excursion_window = 0;
    int excursion_window_step = 1;
    bool record_holdings = false;   // fill NativeRunOutput::holdings
    Vec<double> values;             // the value path, one per bar, written by the run
    const std::atomic<bool>* cancel = nullptr;  // set: the run stops with Cancelled
};

// A trade and the money it stood on, signed like the position and net of
// every fee and tax: what it entered at (a long's cash paid, minus a short's
// cash received; cash a resize kept in the trade added) and what it exited
// at (a sale's proceeds, minus a cover's cost; cash a resize took out added;
// an open trade's value on the last bar).
struct NativeTrade {
    int sid;
    int entry_bar;
    int exit_bar;  // -1: still open after the last bar
    double position;
    ExitReason reason;
    double entry_value;
    double exit_value;
};

struct NativeRunOutput {
    LoopState state;                     // what the final stock operations are built from
    std::deque<NativeTrade> trades;      // in the order they were closed, then the open ones
    GrowingArray<double> profiles;       // trade i's profile at [i * profile_length, ...)
    std::int64_t profile_length = 0;     // 0 when the run has no trade
    BarTotals totals;                    // one per bar, always
    HoldingsRecord holdings;             // empty unless record_holdings
};

// Runs one backtest.  Throws the kernel's errors (errors.h), Cancelled, or
// std::bad_alloc.
NativeRunOutput run_native(NativeRunInput& input);

}  // namespace mirelo::core
