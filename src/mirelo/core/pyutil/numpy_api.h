// NumPy's C API, imported once per module.  Only this translation unit sees
// NumPy's headers; the modules use Python-level NumPy calls, the buffer
// protocol and the small helpers below for everything else.
#pragma once

#include "pyutil/error.h"

#include <cstddef>
#include <cstdint>
#include <memory>

namespace mirelo::py {

// Imports the C API from "numpy._core._multiarray_umath", or from
// "numpy.core._multiarray_umath" when the first is missing.  Fails with
// ImportError when neither imports and RuntimeError when the running NumPy's
// C-API version is older than that of NumPy 1.25.  Throws ErrorSet.
void import_numpy_capi();

// NumPy's ndarray type (valid after import_numpy_capi).
PyTypeObject* ndarray_type();

// NumPy scalars (numpy.float64, numpy.int64) holding `value`.
Ref float64_scalar(double value);
Ref int64_scalar(std::int64_t value);

// Element types that the helpers below read and write in place.
enum class PlainElem { Other, Int32, Int64, Float64 };

// A 1-D array whose elements can be read and written in place with the same
// effect as Python item access: an exact numpy.ndarray (no subclass, so no
// indexing of its own) of one dimension in native byte order.
struct PlainVector {
    char* data = nullptr;
    Py_ssize_t size = 0;
    Py_ssize_t stride = 0;
    // Signed integers of 4 or 8 bytes, float64, or anything else.
    PlainElem elem = PlainElem::Other;
    // Writeable without NumPy's warn-on-write flag: an item assignment stores
    // the value and does nothing else.
    bool writable = false;
};

// Fills `out` and returns true when `obj` is such an array.  Never fails.
bool plain_vector(PyObject* obj, PlainVector* out);

// An exact numpy.ndarray of two dimensions, float64 in native byte order:
// its elements read in place are those that Python indexing gives.
struct PlainMatrix {
    const char* data = nullptr;
    Py_ssize_t rows = 0;
    Py_ssize_t cols = 0;
    Py_ssize_t row_stride = 0;
    Py_ssize_t col_stride = 0;
};

// Fills `out` and returns true when `obj` is such an array.  Never fails.
bool plain_float64_matrix(PyObject* obj, PlainMatrix* out);

// The scalar of the element at `item` inside `array` (an ndarray), made as
// NumPy's integer indexing makes it: same scalar type, same value.
Ref element_scalar(PyObject* array, const void* item,
                   std::source_location loc = std::source_location::current());

// A new C-ordered 1-D float64 array of `length` (>= 0) uninitialised
// elements, made by the allocation behind numpy.empty; its buffer in *data.
Ref new_float64_vector(Py_ssize_t length, double** data,
                       std::source_location loc = std::source_location::current());

// A 1-D array over the `size` elements at `data`, which it takes over
// without a copy (null data: an empty array).
Ref adopt_array(std::unique_ptr<double[]> data, std::size_t size,
                std::source_location loc = std::source_location::current());
Ref adopt_array(std::unique_ptr<std::int64_t[]> data, std::size_t size,
                std::source_location loc = std::source_location::current());
Ref adopt_array(std::unique_ptr<std::int32_t[]> data, std::size_t size,
                std::source_location loc = std::source_location::current());

// A new C-ordered 2-D float64 array of rows x cols uninitialised elements;
// its buffer in *data.
Ref new_float64_matrix(Py_ssize_t rows, Py_ssize_t cols, double** data,
                       std::source_location loc = std::source_location::current());

// A C-ordered 2-D float64 array of rows x cols elements over `data`, which
// it takes over (released with std::free when the array goes).
Ref adopt_float64_matrix(Py_ssize_t rows, Py_ssize_t cols, double* data,
                         std::source_location loc = std::source_location::current());

// A 1-D array of `length` elements of the NumPy dtype object `dtype` over
// `data`, which it takes over.
Ref adopt_array(PyObject* dtype, Py_ssize_t length, std::unique_ptr<char[]> data,
                std::source_location loc = std::source_location::current());

// A new zero-filled 1-D array of `length` elements of the NumPy dtype
// object `dtype`; its buffer in *data.
Ref new_zeroed_array(PyObject* dtype, Py_ssize_t length, char** data,
                     std::source_location loc = std::source_location::current());

// For a Python bool or an exact NumPy bool scalar, whose truth runs no code:
// stores the truth in *value and returns true.  False for anything else.
bool plain_bool(PyObject* obj, bool* value);

}  // namespace mirelo::py
