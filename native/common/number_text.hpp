// Plain number texts, read as the host's float() and int() read them: white space around,
// one optional sign, decimal digits (floats also scientific, "inf" and "nan"). Anything else
// (underscores, hexadecimal, non-ASCII digits) is refused, so callers can hand it to the host.
#pragma once

#include <string_view>

namespace zel {

bool parse_plain_double(std::string_view text, double& value);
bool parse_plain_int(std::string_view text, long long& value);

}  // namespace zel
