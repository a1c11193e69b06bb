// Trade prices and the run's ledger.
#pragma once

#include "pyutil/error.h"

#include <cmath>

namespace mirelo::tradesim {

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

}  // namespace mirelo::tradesim
