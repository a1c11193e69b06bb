// The fixed texts of the engine's own messages, in one place for the kernel
// and the extension modules.  printf-style fields: %d, %zd and %lld for
// numbers, %s for C strings, %S for a Python object's str().
#pragma once

namespace mirelo::msg {

inline constexpr char kOutOfBounds[] = "Out of bounds on buffer access (axis %d)";
inline constexpr char kNumpyIndex[] = "index %lld is out of bounds for axis %d with size %zd";
inline constexpr char kInvalidTradePrice[] =
    "Invalid trading price for %U at price row %d: %s. Expected a positive finite price; "
    "check the trading-price dataset.";
inline constexpr char kWeightWithoutPrices[] = "Stock %S has a non-zero weight but no trading prices";
inline constexpr char kNaNWeight[] = "Stock %S has a NaN weight in position row %zd";
inline constexpr char kNegativeLimit[] = "position_limit must not be negative";
inline constexpr char kNaNLimit[] = "position_limit must not be NaN";
inline constexpr char kNotAscending[] = "%s must be in ascending order";
inline constexpr char kRunInProgress[] =
    "backtest_ cannot start while another run is in progress in this process";
inline constexpr char kFloatDivision[] = "float division";
inline constexpr char kFloatDivisionByZero[] = "float division by zero";
inline constexpr char kIntegerDivision[] = "integer division or modulo by zero";
inline constexpr char kDivisionOverflow[] = "value too large to perform division";
inline constexpr char kIntOverflow[] = "value too large to convert to int";
inline constexpr char kNegativeSize[] = "can't convert negative value to size_t";
inline constexpr char kUnboundLocal[] = "local variable '%s' referenced before assignment";

}  // namespace mirelo::msg
