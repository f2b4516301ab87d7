// Splitting and stripping text with the host's str rules. Every view returned points into the
// text passed in and lives as long as that text does.
#pragma once

#include <string_view>
#include <vector>

namespace zel::text {

// The host's str.strip() and str.split() white space: the ASCII set and Unicode's (U+00A0,
// U+3000, U+2028, ...). Texts are valid UTF-8.
std::string_view strip(std::string_view s);

// Pieces between every single blank: "a  b" gives "a", "", "b" (str.split(" ")).
std::vector<std::string_view> split_blank(std::string_view s);

// Pieces between runs of white space, none empty (str.split()).
std::vector<std::string_view> split_runs(std::string_view s);
// The same into `out` (cleared first), which keeps its capacity from call to call.
void split_runs(std::string_view s, std::vector<std::string_view>& out);

// Pieces between every occurrence of `delim` (str.split(delim)); `delim` must not be empty.
std::vector<std::string_view> split_at(std::string_view s, std::string_view delim);
void split_at(std::string_view s, std::string_view delim, std::vector<std::string_view>& out);

}  // namespace zel::text
