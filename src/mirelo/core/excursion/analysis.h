// The excursion profile of one trade.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace mirelo::excursion {

// The direction of a trade, true = long: `position > 0` as the callers
// compute it, either as a plain bool or as the Python object the comparison
// gave (borrowed; the caller keeps it alive).  An object is read by Python
// truth; a Python or NumPy bool once, any other object wherever the
// computation needs the direction, as Python code would ask it.
struct Direction {
    PyObject* object = nullptr;  // null: `is_long` is the direction
    bool is_long = false;
};

// The profile of the trade of `sid` entered at `entry_bar`, analysed from the
// module state (prices, column map, ratios, window, current date): a new 1-D
// float64 array of 6 x ((window - 1) // window_step + 2) values.  `is_new`
// charges the entry commission; `is_final` re-prices the last bar at the
// trade price and charges exit commission and tax.  `exit_bar` is not read:
// the current date is the exit bar.
//
// Returns null with an exception set and the traceback entry
// "mirelo.core.excursion.excursion_analysis" added on failure.
PyObject* excursion_analysis(int sid, int entry_bar, int exit_bar, Direction direction, int is_new,
                             int is_final) noexcept;

}  // namespace mirelo::excursion
