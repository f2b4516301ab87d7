// Text helpers of the line formats: native for the common values (plain str, int, float,
// exact built-in containers), the host's own str, sort and join for anything else.
#pragma once

#include <initializer_list>
#include <string>

#include "bindings/records/records.hpp"

namespace zel::bind::records {

// The host's str of an int or float value (other values: false).
bool append_number_text(std::string& out, nb::handle value);

// The alignment points of a set of str, sorted as the host sorts strings, joined by blanks.
bool append_sorted_points(std::string& out, nb::handle aligns);

// A str (ASCII text stays ASCII; the rest is decoded).
nb::object new_str(std::string_view text, bool intern);

}  // namespace zel::bind::records

namespace zel::bind::records {

// The host's str of a value, natively for int and float.
void append_str(std::string& out, nb::handle value);

// The alignment points sorted as str and joined by blanks (the host sorts what is not a set
// of str, and gives its errors).
std::string points_text(nb::handle aligns);

// src, trg and the other fields' texts joined by the separator `s`; a side or separator that
// is not a plain str is joined by the host (its errors: a None side, a None separator).
nb::str join_line(nb::handle s, nb::handle src, nb::handle trg,
                  std::initializer_list<std::string_view> rest);

}  // namespace zel::bind::records
