// Native fast paths of the line formats. Each handles the common case (text fields, plain
// numbers, exact built-in containers) without a host call per field, and reports false when
// the input needs the general path, which then gives the host's exact results and errors.
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

// True when `s` has a byte that is not ASCII (the host may treat such text differently from
// the ASCII rules of the fast paths: Unicode white space, digits).
bool has_non_ascii(std::string_view s);

}  // namespace zel::bind::records

namespace zel::bind::records {

// The whole loadLine / to_str of the two formats on their fast paths (see above).
bool fast_load_moses(Record& r, nb::handle line, nb::handle delim);
bool fast_moses_line(Record& r, nb::handle s, nb::object& line);
bool fast_load_travatar(Record& r, nb::handle line, nb::handle delim);
bool fast_travatar_line(Record& r, nb::handle s, nb::object& line);

}  // namespace zel::bind::records
