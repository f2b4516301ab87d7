#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "common/errors.hpp"
#include "tables/text_trie.hpp"

namespace {

using zel::tables::TextTrie;
using zel::tables::Track;
using zel::tables::TrieBuilder;
using Keys = std::vector<std::string>;

TextTrie built(const Keys& keys, std::vector<std::uint32_t>* ids = nullptr) {
    TrieBuilder b;
    for (const auto& k : keys) b.add(k);
    return b.build(ids);
}

Keys with_prefix(const TextTrie& t, const std::string& prefix) {
    Keys out;
    TextTrie::Cursor c(t, prefix);
    while (c.next()) {
        EXPECT_EQ(t.key(c.track()), c.key());
        out.emplace_back(c.key());
    }
    return out;
}

const Keys kKeys = {"a b", "a", "ab", "", std::string("nul\0in", 6), "\xe3\x81\x82", "a b c", "a"};

TEST(TextTrie, RepeatedKeysShareOneIdAndEveryTrackLeadsBack) {
    std::vector<std::uint32_t> ids;
    const TextTrie t = built(kKeys, &ids);
    EXPECT_EQ(t.size(), 7u);
    ASSERT_EQ(ids.size(), kKeys.size());
    EXPECT_EQ(ids[1], ids[7]);
    std::set<std::uint32_t> distinct(ids.begin(), ids.end());
    EXPECT_EQ(distinct.size(), 7u);
    for (std::size_t i = 0; i < kKeys.size(); ++i) {
        const auto track = t.find(kKeys[i]);
        ASSERT_TRUE(track) << i;
        EXPECT_EQ(track->id, ids[i]);
        EXPECT_EQ(track->length, kKeys[i].size());
        EXPECT_EQ(t.key(*track), kKeys[i]);
    }
    EXPECT_FALSE(t.contains("a b "));
    EXPECT_FALSE(t.contains("b"));
}

TEST(TextTrie, TracksThatNameNoKeyAreRefused) {
    const TextTrie t = built(kKeys);
    const Track a = *t.find("ab");
    EXPECT_THROW(t.key(Track{a.id, a.length + 1}), zel::ValueError);
    EXPECT_THROW(t.key(Track{a.id, a.length - 1}), zel::ValueError);
    EXPECT_THROW(t.key(Track{7, 0}), zel::ValueError);
    EXPECT_THROW(t.key(std::uint32_t{100}), zel::ValueError);
}

TEST(TextTrie, PrefixSearchListsMatchingKeysInByteOrder) {
    const TextTrie t = built(kKeys);
    EXPECT_EQ(with_prefix(t, "a"), (Keys{"a", "a b", "a b c", "ab"}));
    EXPECT_EQ(with_prefix(t, "a b"), (Keys{"a b", "a b c"}));
    EXPECT_TRUE(with_prefix(t, "z").empty());
    Keys all = kKeys;
    std::sort(all.begin(), all.end());
    all.erase(std::unique(all.begin(), all.end()), all.end());
    EXPECT_EQ(with_prefix(t, ""), all);
}

TEST(TextTrie, EmptyTrieAnswersEverything) {
    const TextTrie t = built({});
    EXPECT_EQ(t.size(), 0u);
    EXPECT_FALSE(t.contains(""));
    EXPECT_TRUE(with_prefix(t, "").empty());
    EXPECT_THROW(t.key(std::uint32_t{0}), zel::ValueError);
    EXPECT_EQ(TextTrie::deserialize(t.serialize()).size(), 0u);
}

TEST(TextTrie, StoredBytesGiveTheSameTrie) {
    std::vector<std::uint32_t> ids;
    const TextTrie t = built(kKeys, &ids);
    const TextTrie back = TextTrie::deserialize(t.serialize());
    EXPECT_EQ(back.size(), t.size());
    for (std::size_t i = 0; i < kKeys.size(); ++i) EXPECT_EQ(back.find(kKeys[i])->id, ids[i]);
    EXPECT_EQ(with_prefix(back, ""), with_prefix(t, ""));
}

TEST(TextTrie, MovedIntoHugePagesItAnswersAndStoresAsBefore) {
    std::vector<std::uint32_t> ids;
    const TextTrie t = built(kKeys, &ids);
    TextTrie moved = TextTrie::deserialize(t.serialize());
    moved.move_to_huge_pages(0);
    for (std::size_t i = 0; i < kKeys.size(); ++i) {
        EXPECT_EQ(moved.find(kKeys[i])->id, ids[i]);
        EXPECT_EQ(moved.key(ids[i]), kKeys[i]);
    }
    EXPECT_EQ(with_prefix(moved, ""), with_prefix(t, ""));
    EXPECT_EQ(moved.serialize(), t.serialize());
}

TEST(TextTrie, BytesThatAreNoTrieAreRefused) {
    const std::string stored = built(kKeys).serialize();
    EXPECT_THROW(TextTrie::deserialize(""), zel::ValueError);
    EXPECT_THROW(TextTrie::deserialize("not a trie at all"), zel::ValueError);
    EXPECT_THROW(TextTrie::deserialize(stored.substr(0, stored.size() / 2)), zel::ValueError);
    for (std::size_t at : {std::size_t{0}, stored.size() / 3, stored.size() - 1}) {
        std::string damaged = stored;
        damaged[at] = static_cast<char>(damaged[at] ^ 0x10);
        EXPECT_THROW(TextTrie::deserialize(damaged), zel::ValueError) << at;
    }
}

}  // namespace
