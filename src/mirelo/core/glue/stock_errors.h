// The failures that name a stock: a trading price the engine refuses, and the
// other ValueErrors whose message starts from the stock's name.
#pragma once

#include "pyutil/error.h"

#include <cmath>

namespace mirelo::glue {

// ValueError "Invalid trading price for <stock> at price row <row>: <price>.
// Expected a positive finite price; check the trading-price dataset." with the
// traceback entry "mirelo.core.tradesim.validate_trade_price", rethrown as
// ErrorSet at the caller's line.
[[noreturn]] void raise_invalid_trade_price(double price, PyObject* stock, int row,
                                            std::source_location caller);

// A price the engine may trade at: positive and finite, or NaN (missing).
inline void validate_trade_price(double price, PyObject* stock, int row,
                                 std::source_location caller = std::source_location::current()) {
    if (std::isnan(price)) return;
    if (std::isinf(price) || price <= 0) raise_invalid_trade_price(price, stock, row, caller);
}

// ValueError `format` (its first field the stock, %S) with `stock` (None when
// null) and `args`, raised at the caller's line.
template <typename... Args>
[[noreturn]] void raise_naming_stock(py::Fmt format, PyObject* stock, Args... args) {
    py::raise_format(PyExc_ValueError, format, stock != nullptr ? stock : Py_None, args...);
}

}  // namespace mirelo::glue
