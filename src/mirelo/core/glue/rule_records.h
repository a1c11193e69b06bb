// The rule table for Python: mirelo.core.batch.RULES, a tuple of Rule records
// (name, kind, default, minimum, range, doc, in_backtest_), one per rule in
// table order.
#pragma once

#include "pyutil/error.h"

namespace mirelo::glue {

// The record type `<module>.Rule` (a named tuple).
py::Ref new_rule_type(const char* qualified_name);

// The records, made with `rule_type`; infinite defaults are `numpy_inf`.
py::Ref rule_records(PyObject* rule_type, PyObject* numpy_inf);

}  // namespace mirelo::glue
