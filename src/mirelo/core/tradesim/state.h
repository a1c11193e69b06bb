// Process-wide state of mirelo.core.tradesim.
#pragma once

#include "excursion_api.h"
#include "pyutil/error.h"
#include "pyutil/module_globals.h"

namespace mirelo::tradesim {

struct ModuleState {
    // The Python globals (org_np, excursion, datetime, RESAMPLE,
    // RETAIN_COST_WHEN_REBALANCE), read by name at each use.
    py::ModuleGlobals globals;
    // The last run's final stock operations; not in the module dictionary.
    py::Ref stock_operations;
    // Entry points of mirelo.core.excursion, bound at import.
    excursion_api::Bindings excursion;
    // __defaults__ of backtest_ (parameters 12 to 25).
    py::Ref backtest_defaults;
    // A backtest_ call has started and not yet returned (read and written
    // only with the interpreter lock held).
    bool run_in_progress = false;
};

// Lives as long as the process: it is never destroyed, because its references
// would be released after the interpreter has gone.
extern ModuleState& g_state;

using py::GlobalName;

// getattr(org_np, name), org_np read from the module globals.
py::Ref numpy_attr(const char* name, std::source_location loc = std::source_location::current());

}  // namespace mirelo::tradesim
