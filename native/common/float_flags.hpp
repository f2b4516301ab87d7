// The floating-point exception flags a computation raised: divisions by zero and invalid
// operations give inf and NaN without stopping it, and the flags say whether any happened, as
// array libraries read them to warn about it afterwards.
#pragma once

#include <cfenv>

namespace zel {

// Watches the calling thread's flags from construction on.
class FloatFlags {
public:
    FloatFlags() { std::feclearexcept(FE_DIVBYZERO | FE_INVALID); }

    bool divide_by_zero() const { return std::fetestexcept(FE_DIVBYZERO) != 0; }
    bool invalid() const { return std::fetestexcept(FE_INVALID) != 0; }
};

}  // namespace zel
