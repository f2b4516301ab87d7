#include "common/utf8.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace zel::utf8 {

namespace {

bool continuation(unsigned char c) { return (c & 0xC0) == 0x80; }

char32_t decode(std::string_view s) {
    const auto b = [&](std::size_t k) {
        return static_cast<char32_t>(static_cast<unsigned char>(s[k]));
    };
    switch (s.size()) {
        case 1:
            return b(0);
        case 2:
            return ((b(0) & 0x1F) << 6) | (b(1) & 0x3F);
        case 3:
            return ((b(0) & 0x0F) << 12) | ((b(1) & 0x3F) << 6) | (b(2) & 0x3F);
        default:
            return ((b(0) & 0x07) << 18) | ((b(1) & 0x3F) << 12) | ((b(2) & 0x3F) << 6) |
                   (b(3) & 0x3F);
    }
}

// Length of the code point that ends `s` (0 for empty text).
std::size_t last_length(std::string_view s) {
    std::size_t start = s.size();
    while (start > 0 && s.size() - start < 4) {
        --start;
        if (!continuation(static_cast<unsigned char>(s[start]))) break;
    }
    return s.size() - start;
}

}  // namespace

bool validate(std::string_view text, Invalid& where) {
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    std::size_t i = 0;
    while (i < n) {
        // Runs of ASCII are the common case in corpora; skip them eight bytes at a time.
        while (i + 8 <= n) {
            std::uint64_t block;
            std::memcpy(&block, s + i, sizeof block);
            if (block & 0x8080808080808080U) break;
            i += 8;
        }
        if (i >= n) break;
        const unsigned char c = s[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        std::size_t len;
        unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
        if (c >= 0xC2 && c <= 0xDF) {
            len = 2;
        } else if (c >= 0xE0 && c <= 0xEF) {
            len = 3;
            if (c == 0xE0) lo = 0xA0;  // overlong
            if (c == 0xED) hi = 0x9F;  // surrogates
        } else if (c >= 0xF0 && c <= 0xF4) {
            len = 4;
            if (c == 0xF0) lo = 0x90;  // overlong
            if (c == 0xF4) hi = 0x8F;  // above U+10FFFF
        } else {
            where = {i, i + 1, "invalid start byte"};
            return false;
        }
        for (std::size_t k = 1; k < len; ++k) {
            if (i + k >= n) {
                where = {i, n, "unexpected end of data"};
                return false;
            }
            const unsigned char d = s[i + k];
            const bool ok = k == 1 ? (d >= lo && d <= hi) : continuation(d);
            if (!ok) {
                where = {i, i + k, "invalid continuation byte"};
                return false;
            }
        }
        i += len;
    }
    return true;
}

std::size_t non_ascii_space_length(std::string_view text, std::size_t i) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const std::size_t n = std::min(sequence_length(lead), text.size() - i);
    return is_space(decode(text.substr(i, n))) ? n : 0;
}

std::string_view strip_space(std::string_view text) {
    // ASCII ends, the usual case, without decoding.
    while (!text.empty() && static_cast<unsigned char>(text.front()) < 0x80 &&
           space_length(text, 0) == 1) {
        text.remove_prefix(1);
    }
    while (!text.empty() && static_cast<unsigned char>(text.back()) < 0x80 &&
           space_length(text, text.size() - 1) == 1) {
        text.remove_suffix(1);
    }
    if (text.empty() || (static_cast<unsigned char>(text.front()) < 0x80 &&
                         static_cast<unsigned char>(text.back()) < 0x80)) {
        return text;
    }
    while (!text.empty()) {
        const std::size_t n =
            std::min(sequence_length(static_cast<unsigned char>(text[0])), text.size());
        if (!is_space(decode(text.substr(0, n)))) break;
        text.remove_prefix(n);
    }
    while (!text.empty()) {
        const std::size_t n = last_length(text);
        if (!is_space(decode(text.substr(text.size() - n)))) break;
        text.remove_suffix(n);
    }
    return text;
}

}  // namespace zel::utf8
