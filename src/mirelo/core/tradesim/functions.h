// The Python-visible functions of mirelo.core.tradesim.
#pragma once

#include "pyutil/error.h"

namespace mirelo::tradesim {

PyObject* get_stock_operations(PyObject* module, PyObject* unused);
PyObject* ioft(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* get_trade_stocks(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// The backtest_ function object: a callable with __defaults__ and a signature.
py::Ref make_backtest_function(PyObject* module);

extern const char kGetStockOperationsDoc[];
extern const char kIoftDoc[];
extern const char kGetTradeStocksDoc[];

}  // namespace mirelo::tradesim
