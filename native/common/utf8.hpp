// Strict UTF-8 checking with the same verdicts as the host's "utf-8" codec: no overlong forms,
// no surrogates, nothing above U+10FFFF.
#pragma once

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

// True for the code points the host's str.isspace() accepts.
bool is_space(char32_t c);

// The host's str.strip() of valid UTF-8 text: white space, Unicode's included, removed at both
// ends.
std::string_view strip_space(std::string_view text);

}  // namespace zel::utf8
