// Process-wide state of mirelo.core.batch: what its functions build results
// with.  Set once at import; runs only read it.
#pragma once

#include "pyutil/error.h"

#include <cstddef>
#include <iterator>

namespace mirelo::batch {

struct ModuleState {
    py::Ref run_result_type;
    py::Ref rule_defaults;  // of Market.run, in parameter order
    // The dtype of RunResult.trades and where its fields lie in a record.
    py::Ref trade_dtype;
    Py_ssize_t sid_offset = 0, entry_offset = 0, exit_offset = 0, position_offset = 0, reason_offset = 0;
    Py_ssize_t entry_value_offset = 0, exit_value_offset = 0;
    Py_ssize_t trade_itemsize = 0;
};

// Never destroyed: its references would be released after the interpreter.
ModuleState& state();

// The attributes of RunResult after the operations, in this order: what
// every bar held and traded.  Market.run fills traded, costs and
// holdings_count on every run, the others with record_holdings.
inline constexpr const char* kHoldingsFieldNames[] = {
    "holdings_offsets", "holdings_sid", "holdings_value", "cash",     "traded",
    "costs",            "fills_offsets", "fills_sid",     "fills_value", "holdings_count"};
inline constexpr std::size_t kHoldingsFields = std::size(kHoldingsFieldNames);

// RunResult(value, trades, profiles, operations, *holdings): `holdings` the
// kHoldingsFields arrays in the order above (null for None), or null for None
// in every field.
py::Ref new_run_result(PyObject* value, PyObject* trades, PyObject* profiles, PyObject* operations,
                       PyObject* const* holdings);

}  // namespace mirelo::batch
