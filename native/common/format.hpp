// Number texts exactly as the host language writes them.
#pragma once

#include <cstdint>
#include <string>

namespace zel::fmt {

// The shortest text that reads back as the same double, laid out like the host's repr():
// "0.5", "1.0", "13.287712379549449", "9.999999747378752e-06", "1e+16", "inf", "nan", "-0.0".
std::string float_repr(double value);

// Appends float_repr(value) to `out`.
void append_float_repr(std::string& out, double value);

// Fixed point with `decimals` digits after the point, as "{:.Nf}".format(value) writes it
// ("0.10000000", "inf", "nan" without a sign for NaN).
void append_fixed(std::string& out, double value, int decimals);

// An integer with a comma between groups of three digits, as "{:,d}" writes it.
std::string with_commas(std::int64_t value);

// Appends the decimal digits of `value`.
void append_integer(std::string& out, std::size_t value);

}  // namespace zel::fmt
