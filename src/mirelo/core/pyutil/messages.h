// The interpreter's and NumPy's wording for the failures of argument parsing,
// buffers, indexing and conversions, and the texts of module imports and export
// tables: what the extension modules raise where Python code would have raised.
// printf-style fields: %d, %zd and %lld for numbers, %s for C strings, %U and
// %S for Python objects (%S: their str()), %R for their repr().
#pragma once

namespace mirelo::msg {

// ---- arguments, buffers and indexing ----
inline constexpr char kArgCount[] = "%.200s() takes %.8s %zd positional argument%.1s (%zd given)";
inline constexpr char kKeywordsMustBeStrings[] = "%.200s() keywords must be strings";
inline constexpr char kUnexpectedKeyword[] = "%s() got an unexpected keyword argument '%U'";
inline constexpr char kMultipleValues[] = "%s() got multiple values for keyword argument '%U'";
inline constexpr char kIncorrectType[] = "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)";
inline constexpr char kWrongDimensions[] = "Buffer has wrong number of dimensions (expected %d, got %d)";
inline constexpr char kDtypeMismatch[] = "Buffer dtype mismatch, expected %s%s%s but got %s";
inline constexpr char kOutOfBounds[] = "Out of bounds on buffer access (axis %d)";
inline constexpr char kNumpyIndex[] = "index %lld is out of bounds for axis %d with size %zd";
inline constexpr char kCannotConvert[] = "Cannot convert %.200s to %.200s";
inline constexpr char kNameNotDefined[] = "name '%U' is not defined";
inline constexpr char kNoneNotIterable[] = "'NoneType' object is not iterable";
inline constexpr char kNoneNotSubscriptable[] = "'NoneType' object is not subscriptable";
inline constexpr char kNoneHasNoLen[] = "object of type 'NoneType' has no len()";
// The kernel has the same text of its own (pyutil does not include the kernel).
inline constexpr char kIntOverflow[] = "value too large to convert to int";
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

}  // namespace mirelo::msg
