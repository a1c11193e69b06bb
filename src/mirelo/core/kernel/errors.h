// The failures of the kernel.  The kernel knows no Python: it throws these,
// and the extension modules turn them into the Python exceptions their
// callers see, with the same types and messages as the rest of the module.
#pragma once

#include <cstddef>
#include <string>

namespace mirelo::core {

// An element index outside a view: IndexError "Out of bounds on buffer
// access (axis <axis>)".
struct OutOfBounds {
    int axis;
};

// A failure reported as the Python exception of the same name.
enum class ErrorKind { IndexError, ValueError, ZeroDivisionError, OverflowError, UnboundLocalError };

struct Error {
    ErrorKind kind;
    std::string message;
};

// Failures whose message names a stock: the adapter formats the name.
struct InvalidTradePrice {  // a held stock's trading price is 0, negative or infinite
    double price;
    int sid;
    std::ptrdiff_t row;
};
struct WeightWithoutPrices {  // a rebalance opens or resizes a stock without price column
    int sid;
};
struct NaNWeight {  // a rebalance's weight row holds a NaN
    int sid;
    std::ptrdiff_t pos_row;
};

// The run was asked to stop (Ctrl-C while native threads run it).
struct Cancelled {};

}  // namespace mirelo::core
