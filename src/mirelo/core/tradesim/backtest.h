// backtest_: argument conversion and run setup.
#pragma once

#include "pyutil/args.h"

namespace mirelo::tradesim {

// The 25 parameters of backtest_, 11 of them required.
py::ArgParser& backtest_arg_parser();

// Records the defaults tuple (parameters 12 to 25) used for missing arguments.
void set_backtest_defaults(PyObject* defaults);

// The vectorcall body of backtest_.
PyObject* run_backtest(PyObject* const* args, size_t nargsf, PyObject* kwnames);

}  // namespace mirelo::tradesim
