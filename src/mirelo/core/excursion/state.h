// Process-wide state of mirelo.core.excursion.
#pragma once

#include "excursion_api.h"
#include "pyutil/error.h"
#include "pyutil/module_globals.h"

#include <map>

namespace mirelo::excursion {

// Everything the module keeps between calls of its entry points.  The values
// below are those of a freshly loaded module; the module's exec step replaces
// the arrays with empty NumPy arrays.
struct ModuleState {
    // The globals trades, trade_positions, excursion and org_np, read by name
    // at each use.
    py::ModuleGlobals globals;

    // Execution and marking prices, rows = bars: 2-D float64 arrays or None.
    py::Ref price_matrix;
    py::Ref close_matrix;
    // Stock column (sid) -> column of the two price matrices.
    std::map<int, int> col_map;
    double fee_ratio = 0.0;
    double tax_ratio = 0.0;
    int window = 0;
    int window_step = 0;
    int current_date = 0;

    // Per-sid arrays of the open trades.  entry and position are exported by
    // address, so they are plain owned pointers that importers read in place.
    PyArrayObject* entry = nullptr;
    PyArrayObject* position = nullptr;
    py::Ref entry_is_new;

    // The numpy module imported at load, and its `empty` and `float64` as they
    // were then: while org_np and these are unchanged, a profile is made
    // without calling them (see analysis.cpp).
    py::Ref numpy_module;
    py::Ref numpy_empty;
    py::Ref numpy_float64;

    // Releases every reference (a failed module initialisation).
    void reset() noexcept;
};

// The single state of the process.  It is never destroyed: at process exit the
// interpreter is already gone, and releasing Python objects then is unsafe.
ModuleState& state();

// Stores a new owned array in an exported slot, releasing the previous one.
void replace_array(PyArrayObject*& slot, py::Ref array) noexcept;

using py::GlobalName;

// The name of the module global that holds the numpy module.
extern GlobalName g_org_np;

// `getattr(org_np, name)`, org_np read from the module globals.
py::Ref numpy_attr(const char* name, std::source_location loc = std::source_location::current());

// Calls `callable(arg, dtype=dtype)`.
py::Ref call_with_dtype(PyObject* callable, PyObject* arg, PyObject* dtype,
                        std::source_location loc = std::source_location::current());

}  // namespace mirelo::excursion
