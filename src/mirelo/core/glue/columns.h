// Relating position columns to price columns by stock name.
#pragma once

#include "glue/arrays.h"
#include "pyutil/error.h"

#include <map>
#include <string>
#include <unordered_map>
#include <vector>

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
// columns mapped through it, as a flat table (position column -> price
// column, -1 for none).  Same failures as map_columns.  The columns are any
// iterable, or an object array read in place.
using NameIndex = std::unordered_map<std::string, int>;
NameIndex index_names(PyObject* price_columns, std::source_location caller = std::source_location::current());
NameIndex index_names(const Names& price_columns, std::source_location caller = std::source_location::current());
std::vector<int> map_names(const NameIndex& price_names, PyObject* pos_columns,
                           std::source_location caller = std::source_location::current());
std::vector<int> map_names(const NameIndex& price_names, const Names& pos_columns,
                           std::source_location caller = std::source_location::current());

// The column map as a flat table: sid -> price column, -1 for none.
std::vector<int> flat_columns(const std::map<int, int>& col_map);

}  // namespace mirelo::glue
