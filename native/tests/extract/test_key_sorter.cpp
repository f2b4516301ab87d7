#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <random>
#include <string>

#include "extract/key_sorter.hpp"

namespace {

using zel::extract::KeySorter;

// Keys with repeats, read back through a sorter that keeps them in memory and one that writes
// a run every few keys: each key once, in byte order, with its total count, either way.
TEST(KeySorter, RunsMergeToTheCountsOfOneBatch) {
    const auto folder = std::filesystem::temp_directory_path() / "zel-key-sorter-test";
    std::filesystem::create_directories(folder);
    std::mt19937 random(7);
    std::map<std::string, std::uint64_t> expected;
    KeySorter in_memory(folder.string(), "memory", std::size_t{1} << 30);
    KeySorter spilled(folder.string(), "spilled", 200);
    for (int k = 0; k < 2000; ++k) {
        // Bytes above 0x7f and a NUL inside: byte order, not char order.
        std::string key = "w" + std::to_string(random() % 300);
        if (k % 7 == 0) key += std::string("\0\xe9", 2);
        const std::uint64_t count = 1 + random() % 3;
        expected[key] += count;
        in_memory.add(key, count);
        spilled.add(key, count);
    }
    in_memory.finish();
    spilled.finish();
    EXPECT_EQ(in_memory.runs(), 0U);
    EXPECT_GT(spilled.runs(), 10U);
    for (KeySorter* sorter : {&in_memory, &spilled}) {
        std::string_view key;
        std::uint64_t count = 0;
        auto want = expected.begin();
        while (sorter->next(key, count)) {
            ASSERT_NE(want, expected.end());
            EXPECT_EQ(key, want->first);
            EXPECT_EQ(count, want->second);
            ++want;
        }
        EXPECT_EQ(want, expected.end());
    }
}

}  // namespace
