#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <stdexcept>
#include <string>
#include <unordered_map>

#include "common/string_enumerator.hpp"

namespace {

using zel::StringEnumerator;

TEST(StringEnumerator, GivesIdsInOrderOfFirstRegistration) {
    StringEnumerator e;
    EXPECT_EQ(e.str2id("b"), 0u);
    EXPECT_EQ(e.str2id("a"), 1u);
    EXPECT_EQ(e.str2id("b"), 0u);
    EXPECT_EQ(e.str2id(""), 2u);
    EXPECT_EQ(e.size(), 3u);
    EXPECT_EQ(e.id2str(1), "a");
    EXPECT_EQ(e.id2str(2), "");
}

TEST(StringEnumerator, AppendOfRegisteredWordKeepsItsId) {
    StringEnumerator e;
    e.append("__NULL__");
    e.append("x");
    e.append("__NULL__");
    EXPECT_EQ(e.size(), 2u);
    EXPECT_EQ(e.str2id("__NULL__"), 0u);
    EXPECT_EQ(e.find("x"), 1);
    EXPECT_EQ(e.find("y"), -1);
}

TEST(StringEnumerator, UnknownIdThrows) {
    StringEnumerator e;
    e.append("a");
    EXPECT_THROW(e.id2str(1), std::out_of_range);
}

TEST(StringEnumerator, AgreesWithAHashMapOnManyWords) {
    // Enough words to grow the table many times, with embedded NULs and shared prefixes.
    StringEnumerator e;
    std::unordered_map<std::string, std::uint32_t> reference;
    std::mt19937 rng(7);
    for (int i = 0; i < 200000; ++i) {
        std::string w = "w" + std::to_string(rng() % 60000);
        if (i % 7 == 0) w.push_back('\0');
        const auto [it, fresh] = reference.emplace(w, static_cast<std::uint32_t>(reference.size()));
        ASSERT_EQ(e.str2id(w), it->second) << "word " << i;
    }
    ASSERT_EQ(e.size(), reference.size());
    for (const auto& [w, id] : reference) ASSERT_EQ(e.id2str(id), w);
}

TEST(StringEnumerator, BatchRegistrationMatchesOneByOne) {
    // Batches long enough to grow the table in the middle of one, with repeats inside a batch.
    std::vector<std::string> text;
    for (int i = 0; i < 5000; ++i) text.push_back("w" + std::to_string((i * 7919) % 1300));
    std::vector<std::string_view> views(text.begin(), text.end());
    StringEnumerator one, batch;
    std::vector<StringEnumerator::Id> ids(views.size());
    for (std::size_t start = 0; start < views.size(); start += 37) {
        const std::size_t n = std::min<std::size_t>(37, views.size() - start);
        batch.str2ids(std::span(views).subspan(start, n), ids.data() + start);
    }
    for (std::size_t i = 0; i < views.size(); ++i) ASSERT_EQ(ids[i], one.str2id(views[i])) << i;
    EXPECT_EQ(batch.size(), one.size());
}

}  // namespace
