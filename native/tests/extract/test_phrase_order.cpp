#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "common/string_enumerator.hpp"
#include "extract/phrase_order.hpp"

namespace {

using zel::StringEnumerator;
using zel::extract::phrase_key;
using zel::extract::phrase_ranks;
using zel::extract::TokenRanks;

// Phrases ranked from their word ids come in the byte order of their joined texts, where a
// word that begins another is followed by a byte below the blank (a tab), above it, or the end.
TEST(PhraseOrder, RanksFollowTheJoinedTexts) {
    const std::vector<std::string> vocabulary = {"a", "a\tb", "ab", "b", "\xc3\xa9", "a!", ""};
    StringEnumerator words, phrases;
    for (const std::string& w : vocabulary) words.str2id(w);
    std::vector<std::string> texts;
    // Every phrase of one to three words.
    const auto n = static_cast<std::uint32_t>(vocabulary.size());
    for (std::uint32_t length = 1; length <= 3; ++length) {
        std::vector<std::uint32_t> ids(length, 0);
        for (;;) {
            std::string text;
            for (std::size_t k = 0; k < ids.size(); ++k)
                text += (k ? " " : "") + vocabulary[ids[k]];
            if (std::find(texts.begin(), texts.end(), text) == texts.end()) {
                phrases.str2id(phrase_key(ids));
                texts.push_back(text);
            }
            std::size_t k = 0;
            while (k < length && ++ids[k] == n) ids[k++] = 0;
            if (k == length) break;
        }
    }
    const std::vector<std::uint32_t> ranks = phrase_ranks(phrases, TokenRanks(words));
    for (std::size_t a = 0; a < texts.size(); ++a)
        for (std::size_t b = 0; b < texts.size(); ++b)
            ASSERT_EQ(ranks[a] < ranks[b], texts[a] < texts[b]) << texts[a] << " / " << texts[b];
}

}  // namespace
