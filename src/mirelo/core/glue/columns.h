// Relating position columns to price columns by stock name.
#pragma once

#include "pyutil/error.h"

#include <map>
#include <string>
#include <unordered_map>

namespace mirelo::glue {

// position column -> price column, for every position column whose name (its
// UTF-8 encoding, byte for byte) names a price column; a name listed twice
// among the price columns maps to its last occurrence.
// Failures carry the traceback entry "mirelo.core.tradesim.map_columns" and
// are rethrown as ErrorSet at the caller's line.
std::map<int, int> map_columns(PyObject* price_columns, PyObject* pos_columns,
                               std::source_location caller = std::source_location::current());

// The two steps of map_columns, for a caller that maps many position column
// lists onto one list of price columns: the price column of every name (its
// UTF-8 bytes; the last occurrence of a repeated name), then the position
// columns mapped through it.  Same failures as map_columns.
using NameIndex = std::unordered_map<std::string, int>;
NameIndex index_names(PyObject* price_columns, std::source_location caller = std::source_location::current());
std::map<int, int> map_names(const NameIndex& price_names, PyObject* pos_columns,
                             std::source_location caller = std::source_location::current());

}  // namespace mirelo::glue
