// NumPy's C API, imported once per module.  Only this translation unit sees
// NumPy's headers; the modules use Python-level NumPy calls and the buffer
// protocol for everything else.
#pragma once

#include "pyutil/error.h"

#include <cstdint>

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

}  // namespace mirelo::py
