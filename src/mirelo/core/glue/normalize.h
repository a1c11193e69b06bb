// Weight normalisation under a position limit.
#pragma once

#include "pyutil/error.h"

namespace mirelo::glue {

// normalize_weight(weights, position_limit) for the engine's own use: returns
// `weights` (a new reference), changed in place.  Failures carry the traceback
// entry "mirelo.core.tradesim.normalize_weight" and are rethrown as ErrorSet
// at the caller's line.
py::Ref normalize_weights(PyObject* weights, PyObject* position_limit,
                          std::source_location caller = std::source_location::current());

// The Python function normalize_weight(weights, position_limit).
PyObject* normalize_weight(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
extern const char kNormalizeWeightDoc[];

}  // namespace mirelo::glue
