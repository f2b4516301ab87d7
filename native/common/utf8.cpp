#include "common/utf8.hpp"

#include <cstdint>
#include <cstring>

namespace zel::utf8 {

namespace {

bool continuation(unsigned char c) { return (c & 0xC0) == 0x80; }

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

}  // namespace zel::utf8
