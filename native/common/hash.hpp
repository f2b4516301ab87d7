// A fast non-cryptographic hash for short byte strings (words), used by the id tables.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>

namespace zel {

inline std::uint64_t hash_bytes(std::string_view s) {
    constexpr std::uint64_t k = 0x9E3779B97F4A7C15U;
    std::uint64_t h = 0x243F6A8885A308D3U ^ (s.size() * k);
    const char* p = s.data();
    std::size_t n = s.size();
    while (n >= 8) {
        std::uint64_t w;
        std::memcpy(&w, p, 8);
        h = (h ^ w) * k;
        h ^= h >> 29;
        p += 8;
        n -= 8;
    }
    if (n > 0) {
        std::uint64_t w = 0;
        std::memcpy(&w, p, n);
        h = (h ^ w) * k;
    }
    // Final avalanche (MurmurHash3's fmix64) so the low bits used as slot index are well mixed.
    h ^= h >> 33;
    h *= 0xFF51AFD7ED558CCDU;
    h ^= h >> 33;
    h *= 0xC4CEB9FE1A85EC53U;
    h ^= h >> 33;
    return h;
}

}  // namespace zel
