// Integer indexing as Python and NumPy do it: through an object's own
// indexing, and NumPy's check of an integer index against an axis.
#pragma once

#include "pyutil/error.h"

#include <cstdint>

namespace mirelo::py {

// `obj[i]` through the object's own indexing (a new reference).
Ref item_at(PyObject* obj, Py_ssize_t i, std::source_location loc = std::source_location::current());

// NumPy's IndexError "index <i> is out of bounds for axis <axis> with size
// <size>", the index as given.
[[noreturn]] void raise_index_error(std::int64_t i, int axis, Py_ssize_t size, std::source_location loc);

// The in-range position of integer index `i` on an axis of `size` elements,
// negative indices counting from the end, as NumPy checks an integer index.
inline Py_ssize_t numpy_index(std::int64_t i, int axis, Py_ssize_t size,
                              std::source_location loc = std::source_location::current()) {
    if (i < -static_cast<std::int64_t>(size) || i >= static_cast<std::int64_t>(size)) {
        raise_index_error(i, axis, size, loc);
    }
    return static_cast<Py_ssize_t>(i < 0 ? i + size : i);
}

}  // namespace mirelo::py
