// Relating position columns to price columns by stock name.
#pragma once

#include "pyutil/error.h"

#include <map>

namespace mirelo::tradesim {

// position column -> price column, for every position column whose name (its
// UTF-8 encoding, byte for byte) names a price column; a name listed twice
// among the price columns maps to its last occurrence.
// Failures carry the traceback entry "mirelo.core.tradesim.map_columns" and
// are rethrown as ErrorSet at the caller's line.
std::map<int, int> map_columns(PyObject* price_columns, PyObject* pos_columns,
                               std::source_location caller = std::source_location::current());

}  // namespace mirelo::tradesim
