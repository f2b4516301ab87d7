#include "common/number_text.hpp"

#include <charconv>

namespace zel {

namespace {

// The text without surrounding white space and without a leading "+", or false when what is
// left cannot start a number (empty, or a second sign).
bool unsigned_part(std::string_view& s) {
    const auto space = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
    while (!s.empty() && space(s.front())) s.remove_prefix(1);
    while (!s.empty() && space(s.back())) s.remove_suffix(1);
    const bool plus = !s.empty() && s.front() == '+';
    if (plus) s.remove_prefix(1);
    return !s.empty() && s.front() != '+' && !(plus && s.front() == '-');
}

template <class T>
bool parse_whole(std::string_view s, T& value) {
    if (!unsigned_part(s)) return false;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
    return ec == std::errc() && end == s.data() + s.size();
}

}  // namespace

bool parse_plain_double(std::string_view text, double& value) { return parse_whole(text, value); }
bool parse_plain_int(std::string_view text, long long& value) { return parse_whole(text, value); }

}  // namespace zel
