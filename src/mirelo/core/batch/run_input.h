// One backtest on a market: its arguments converted and checked with the
// interpreter lock held, so that the run itself needs no Python; and its
// result turned into Python objects afterwards.
#pragma once

#include "batch/market.h"
#include "glue/rules.h"
#include "kernel/native_run.h"

#include <cstddef>
#include <exception>
#include <memory>
#include <vector>

namespace mirelo::batch {

// pos_values, pos_index, pos_columns, resample, the rules, then record_holdings.
inline constexpr std::size_t kRunParamCount = 4 + glue::rule_count(glue::EntryPoint::MarketRun) + 1;

// Everything a run reads: the market's views, the position arrays' buffers,
// the converted rules and the value path it writes.
struct RunInput {
    py::Ref objects[4];  // pos_values, pos_index, pos_columns, resample
    Matrix pos_values;
    Dates pos_index;
    Names pos_columns;
    Dates resample;
    std::vector<std::int64_t> delisting;  // the market's delisting bar of every sid
    py::Ref value_path;
    core::NativeRunInput native;
    bool stop_trading_next_period = true;
};

// Converts and checks the arguments of Market.run (`args`: kRunParamCount
// borrowed values, null for a rule not given) as backtest_ does, with the
// same exceptions and messages.  Throws ErrorSet.
void prepare_run(RunInput& run, const MarketData& market, PyObject* const* args, PyObject* rule_defaults);

// What a run leaves for its result, all made without Python on the thread
// that ran it: the kernel's output, and its trades as records of the trades'
// dtype.
struct RunOutput {
    core::NativeRunOutput native;
    std::unique_ptr<char[]> trade_records;
};

// Runs `run`; needs no Python, so runs on any thread.  Throws what
// core::run_native throws.
RunOutput execute(RunInput& run);

// The run's result: a RunResult (value, trades, profiles, operations, the
// bar totals and, when recorded, the holdings).
py::Ref make_result(RunInput& run, RunOutput& out);

// Turns the failure of a native run into the Python exception backtest_
// raises for it (the failures that name a stock get the name here).  Throws
// ErrorSet; called with the interpreter lock held.
[[noreturn]] void raise_run_failure(const RunInput& run, std::exception_ptr failure);

}  // namespace mirelo::batch
