// The texts of the errors the kernel throws (core::Error), in the wording of
// the interpreter and NumPy whose failures they stand for; the adapters raise
// them as the Python exceptions their ErrorKind names.
#pragma once

namespace mirelo::core::msg {

inline constexpr char kFirstRowMissing[] = "index 0 is out of bounds for axis 0 with size 0";
inline constexpr char kNegativeDimensions[] = "negative dimensions are not allowed";
inline constexpr char kCIntOverflow[] = "Python int too large to convert to C int";
inline constexpr char kIntOverflow[] = "value too large to convert to int";
inline constexpr char kFloatDivision[] = "float division";
inline constexpr char kFloatDivisionByZero[] = "float division by zero";
inline constexpr char kIntegerDivision[] = "integer division or modulo by zero";
inline constexpr char kDivisionOverflow[] = "value too large to perform division";
inline constexpr char kNegativeSize[] = "can't convert negative value to size_t";
inline constexpr char kUnboundLocal[] = "local variable 'ith' referenced before assignment";

}  // namespace mirelo::core::msg
