// The floating-point underflow flag: raised by a result rounded to 0 or to a
// subnormal number from a non-zero exact value.  It belongs to the calling
// thread and stays raised until cleared, so a loop can ask now and then
// whether any of its arithmetic since the last clear underflowed.
#pragma once

#include <cfenv>

namespace mirelo::core {

inline void clear_underflow() { std::feclearexcept(FE_UNDERFLOW); }

inline bool underflow_raised() { return std::fetestexcept(FE_UNDERFLOW) != 0; }

}  // namespace mirelo::core
