// The excursion profile of one trade.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace mirelo::excursion {

// The profile of the trade of `sid` entered at `entry_bar`, analysed from the
// module state (prices, column map, ratios, window, current date): a new 1-D
// float64 array of 6 x ((window - 1) // window_step + 2) values.  `is_long` is
// read by Python truth; `is_new` charges the entry commission; `is_final`
// re-prices the last bar at the trade price and charges exit commission and
// tax.  `exit_bar` is not read: the current date is the exit bar.
//
// Returns null with an exception set and the traceback entry
// "mirelo.core.excursion.excursion_analysis" added on failure.
PyObject* excursion_analysis(int sid, int entry_bar, int exit_bar, PyObject* is_long, int is_new,
                             int is_final) noexcept;

}  // namespace mirelo::excursion
