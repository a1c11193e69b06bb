// A price matrix read element by element as Python indexes it.
#pragma once

#include "pyutil/buffer.h"

#include <cstdint>

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

}  // namespace mirelo::excursion
