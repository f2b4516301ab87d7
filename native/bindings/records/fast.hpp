// Text helpers of the line formats, and the fast printers: each prints the common case (text
// sides, plain numbers, exact built-in containers) without a host call per field, and reports
// false when the record needs the general printer, which gives the host's results and errors.
#pragma once

#include <string>

#include "bindings/records/records.hpp"

namespace zel::bind::records {

// The host's str of an int or float value (other values: false).
bool append_number_text(std::string& out, nb::handle value);

// The alignment points of a set of str, sorted as the host sorts strings, joined by blanks.
bool append_sorted_points(std::string& out, nb::handle aligns);

// A str (ASCII text stays ASCII; the rest is decoded).
nb::object new_str(std::string_view text, bool intern);

// A count as the toolkit's numbers.toNumber gives it, for plain integers and finite decimals;
// false for any other text (which the toolkit itself then reads).
bool count_value(std::string_view piece, double& value);

}  // namespace zel::bind::records

namespace zel::bind::records {

// The whole to_str of the two formats on their fast paths (see above).
bool fast_moses_line(Record& r, nb::handle s, nb::object& line);
bool fast_travatar_line(Record& r, nb::handle s, nb::object& line);

}  // namespace zel::bind::records
