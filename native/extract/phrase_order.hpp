// Phrase sides held as word-id sequences, ordered as their texts are (the words joined by
// single blanks, compared byte by byte) without making the texts.
//
// Each word gives two tokens: the word followed by a blank (inside a phrase) and the word alone
// (at its end). Ranking all tokens by their bytes, a phrase's tokens compare as its text does,
// words holding bytes below the blank (a tab, say) included.
#pragma once

#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/string_enumerator.hpp"

namespace zel::extract {

// A phrase's words as the key it is enumerated under: the ids' bytes.
inline std::string_view phrase_key(std::span<const std::uint32_t> words) {
    return {reinterpret_cast<const char*>(words.data()), words.size_bytes()};
}
inline void phrase_words(std::string_view key, std::vector<std::uint32_t>& words) {
    words.resize(key.size() / sizeof(std::uint32_t));
    std::memcpy(words.data(), key.data(), key.size());
}

class TokenRanks {
public:
    explicit TokenRanks(const StringEnumerator& words);
    std::uint32_t inside(std::uint32_t word) const { return inside_[word]; }
    std::uint32_t last(std::uint32_t word) const { return last_[word]; }

private:
    std::vector<std::uint32_t> inside_, last_;
};

// The rank of each phrase of `phrases` (keys as phrase_key makes them) in text order.
std::vector<std::uint32_t> phrase_ranks(const StringEnumerator& phrases, const TokenRanks& tokens);

// Ranks of the given texts in byte order (equal texts are not expected).
std::vector<std::uint32_t> text_ranks(const std::vector<std::string>& texts);

}  // namespace zel::extract
