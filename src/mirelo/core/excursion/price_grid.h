// A price matrix read element by element as Python indexes it.
#pragma once

#include "pyutil/buffer.h"
#include "pyutil/indexing.h"
#include "pyutil/numpy_api.h"

#include <cstdint>
#include <cstring>

namespace mirelo::excursion {

// `matrix[row, col]` converted to a double, with the values and failures of
// Python indexing: negative indices count from the end, an index out of range
// raises NumPy's IndexError, None is not subscriptable.
//
// A plain 2-D float64 ndarray (the case of every run) is read straight from its
// buffer, with no Python object per element.  Anything else — None, an array
// whose shape or dtype was changed after start_analysis stored it, a subclass
// with its own indexing — goes through the object's own indexing.
class PriceGrid {
public:
    explicit PriceGrid(PyObject* matrix);

    // `matrix.shape[0]`.
    std::int64_t rows(std::source_location loc = std::source_location::current()) const;

    double at(std::int64_t row, std::int64_t col,
              std::source_location loc = std::source_location::current()) const;

private:
    double at_by_indexing(std::int64_t row, std::int64_t col, std::source_location loc) const;

    py::Ref matrix_;
    py::BufferView<double, 2> view_;
    bool direct_ = false;
};

// The reads of a PriceGrid, straight from the memory of an exact 2-D float64
// ndarray, with neither a reference nor a buffer view held.  Only for a
// computation in which no Python code runs between binding and the last read:
// nothing can then replace, reshape or free the array meanwhile.
class PlainGrid {
public:
    // False when `matrix` is not such an array.
    bool bind(PyObject* matrix) { return py::plain_float64_matrix(matrix, &m_); }

    std::int64_t rows() const { return m_.rows; }

    double at(std::int64_t row, std::int64_t col,
              std::source_location loc = std::source_location::current()) const {
        const Py_ssize_t i = py::numpy_index(row, 0, m_.rows, loc);
        const Py_ssize_t j = py::numpy_index(col, 1, m_.cols, loc);
        double v;
        std::memcpy(&v, m_.data + i * m_.row_stride + j * m_.col_stride, sizeof v);
        return v;
    }

private:
    py::PlainMatrix m_;
};

}  // namespace mirelo::excursion
