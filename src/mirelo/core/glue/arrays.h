// The arrays a backtest takes, as views of their buffers: price and weight
// matrices, date and name vectors, value series.
#pragma once

#include "kernel/messages.h"
#include "pyutil/buffer.h"
#include "pyutil/messages.h"

#include <cstdint>

namespace mirelo::glue {

using Matrix = py::BufferView<double, 2>;
using Dates = py::BufferView<std::int64_t, 1>;
using Names = py::BufferView<PyObject*, 1>;
using Series = py::BufferView<double, 1>;

// The size of row 0 of a matrix argument, as `matrix[0].size` reads it: None
// is not subscriptable, a matrix without rows has no row 0.  Raised at the
// caller's line.
inline Py_ssize_t first_row_size(const Matrix& m, std::source_location caller = std::source_location::current()) {
    if (m.is_none()) py::raise(PyExc_TypeError, msg::kNoneNotSubscriptable, caller);
    if (m.extent(0) == 0) py::raise(PyExc_IndexError, core::msg::kFirstRowMissing, caller);
    return m.extent(1);
}

}  // namespace mirelo::glue
