// Strict UTF-8 checking with the same verdicts as the host's "utf-8" codec: no overlong forms,
// no surrogates, nothing above U+10FFFF.
#pragma once

#include <algorithm>
#include <cstddef>
#include <string_view>

namespace zel::utf8 {

struct Invalid {
    std::size_t start = 0;  // first byte of the bad sequence
    std::size_t end = 0;    // one past its last byte, as the host codec reports it
    const char* reason = nullptr;
};

// Returns true when `text` is valid; otherwise fills `where` with the first fault.
bool validate(std::string_view text, Invalid& where);

// Byte length of the code point whose lead byte is `lead`, for text already validated.
constexpr std::size_t sequence_length(unsigned char lead) {
    return lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
}

// The number of characters (code points) of valid UTF-8 text, as the host's len() of the str.
inline std::size_t char_count(std::string_view text) {
    std::size_t n = 0;
    for (const char c : text) n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    return n;
}

// The text from its k-th character on (0-based; empty when it has no more), as text[k:].
inline std::string_view from_char(std::string_view text, std::size_t k) {
    std::size_t i = 0;
    for (; i < text.size() && k > 0; --k) i += sequence_length(static_cast<unsigned char>(text[i]));
    return text.substr(std::min(i, text.size()));
}

// True for the code points the host's str.isspace() accepts.
constexpr bool is_space(char32_t c) {
    return c == ' ' || (c >= '\t' && c <= '\r') || (c >= 0x1C && c <= 0x1F) || c == 0x85 ||
           c == 0xA0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 ||
           c == 0x202F || c == 0x205F || c == 0x3000;
}

// Bytes of the white-space code point at byte `i` of valid UTF-8 text, 0 for any other.
std::size_t non_ascii_space_length(std::string_view text, std::size_t i);
inline std::size_t space_length(std::string_view text, std::size_t i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) return is_space(c) ? 1 : 0;
    return non_ascii_space_length(text, i);
}

// The host's str.strip() of valid UTF-8 text: white space, Unicode's included, removed at both
// ends.
std::string_view strip_space(std::string_view text);

}  // namespace zel::utf8
