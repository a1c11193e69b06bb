// The fixed texts of every message the core raises, in one place for the
// kernel and the extension modules: the interpreter's standard wording for
// argument, type and buffer errors, and the engine's own messages.
// printf-style fields: %d, %zd and %lld for numbers, %s for C strings, %U and
// %S for Python objects (%S: their str()), %R for their repr().
#pragma once

namespace mirelo::msg {

// ---- arguments and buffers (the interpreter's wording) ----
inline constexpr char kArgCount[] = "%.200s() takes %.8s %zd positional argument%.1s (%zd given)";
inline constexpr char kKeywordsMustBeStrings[] = "%.200s() keywords must be strings";
inline constexpr char kUnexpectedKeyword[] = "%s() got an unexpected keyword argument '%U'";
inline constexpr char kMultipleValues[] = "%s() got multiple values for keyword argument '%U'";
inline constexpr char kIncorrectType[] = "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)";
inline constexpr char kWrongDimensions[] = "Buffer has wrong number of dimensions (expected %d, got %d)";
inline constexpr char kDtypeMismatch[] = "Buffer dtype mismatch, expected %s%s%s but got %s";
inline constexpr char kCannotConvert[] = "Cannot convert %.200s to %.200s";
inline constexpr char kNameNotDefined[] = "name '%U' is not defined";
inline constexpr char kNoneNotIterable[] = "'NoneType' object is not iterable";
inline constexpr char kNoneNotSubscriptable[] = "'NoneType' object is not subscriptable";
inline constexpr char kNoneHasNoLen[] = "object of type 'NoneType' has no len()";
inline constexpr char kFirstRowMissing[] = "index 0 is out of bounds for axis 0 with size 0";
inline constexpr char kNegativeDimensions[] = "negative dimensions are not allowed";
inline constexpr char kCIntOverflow[] = "Python int too large to convert to C int";
inline constexpr char kTooManyValues[] = "too many values to unpack (expected 2)";
inline constexpr char kNotEnoughValues[] = "not enough values to unpack (expected 2, got %zd)";
inline constexpr char kExpectedBytes[] = "expected bytes, %.200s found";
inline constexpr char kStrNoneNotIterable[] = "'NoneType' is not iterable";
inline constexpr char kItemsNotPairs[] = "a mapping's items must be (key, value) pairs";
inline constexpr char kUnknownNativeException[] = "unknown native exception";
inline constexpr char kErrorWithoutException[] = "error reported without an exception set";

// ---- modules and their export tables ----
inline constexpr char kMissingFunction[] = "%.200s does not export expected C function %.200s";
inline constexpr char kMissingVariable[] = "%.200s does not export expected C variable %.200s";
inline constexpr char kWrongFunctionSignature[] =
    "C function %.200s.%.200s has wrong signature (expected %.500s, got %.500s)";
inline constexpr char kWrongVariableSignature[] =
    "C variable %.200s.%.200s has wrong signature (expected %.500s, got %.500s)";
inline constexpr char kReinitialised[] =
    "Module '%s' has already been imported. Re-initialisation is not supported.";
inline constexpr char kSecondInterpreter[] =
    "Interpreter change detected - this module can only be loaded into one interpreter per process.";

// ---- the engine ----

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
inline constexpr char kRuleOutOfRange[] = "%s must be %s (got %s)";
inline constexpr char kRunInProgress[] =
    "backtest_ cannot start while another run is in progress in this process";
inline constexpr char kFloatDivision[] = "float division";
inline constexpr char kFloatDivisionByZero[] = "float division by zero";
inline constexpr char kIntegerDivision[] = "integer division or modulo by zero";
inline constexpr char kDivisionOverflow[] = "value too large to perform division";
inline constexpr char kIntOverflow[] = "value too large to convert to int";
inline constexpr char kNegativeSize[] = "can't convert negative value to size_t";
inline constexpr char kUnboundLocal[] = "local variable 'ith' referenced before assignment";

// ---- the batch interface ----
inline constexpr char kShapeMismatch[] = "%s has shape (%zd, %zd), price_values (%zd, %zd)";
inline constexpr char kDatesPerBar[] = "price_index has %zd dates for %zd bars";
inline constexpr char kNamesPerColumn[] = "price_columns has %zd names for %zd price columns";
inline constexpr char kNameNotStr[] = "price_columns[%zd] is %.200s, not str";
inline constexpr char kDelistingPerColumn[] = "delisting_bars has %zd entries for %zd price columns";
inline constexpr char kJobNotMapping[] = "job %zu is %.200s, not a mapping of run()'s arguments";
inline constexpr char kJobNote[] = "in job %zu of run_many";
inline constexpr char kThreadsAtLeastOne[] = "threads must be at least 1, not %ld";
inline constexpr char kErrorsArgument[] = "errors must be 'raise' or 'return', not %R";

}  // namespace mirelo::msg
