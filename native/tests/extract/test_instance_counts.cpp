#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <random>
#include <vector>

#include "extract/instance_counts.hpp"

namespace {

using zel::extract::Instance;
using zel::extract::InstanceCounts;

// Instances with repeats, counted once within memory and once with a run written every few
// dozen: each distinct ranked instance once, in order, with its total, either way.
TEST(InstanceCounts, RunsMergeToTheCountsOfOneBatch) {
    const auto folder = std::filesystem::temp_directory_path() / "zel-instance-counts-test";
    std::filesystem::create_directories(folder);
    std::mt19937 random(7);
    // Ranks that reverse the ids, so the order read is not the order of the ids.
    std::vector<std::uint32_t> src_rank(50), trg_rank(40);
    for (std::uint32_t k = 0; k < 50; ++k) src_rank[k] = 49 - k;
    for (std::uint32_t k = 0; k < 40; ++k) trg_rank[k] = 39 - k;
    const std::vector<std::uint32_t> points_rank = {2, 0, 1};
    std::map<Instance, std::uint64_t> expected;
    InstanceCounts in_memory(folder.string(), std::size_t{1} << 20);
    InstanceCounts spilled(folder.string(), 600);
    for (int k = 0; k < 3000; ++k) {
        const Instance x{static_cast<std::uint32_t>(random() % 50),
                         static_cast<std::uint32_t>(random() % 40),
                         static_cast<std::uint32_t>(random() % 3)};
        ++expected[{src_rank[x.src], trg_rank[x.trg], points_rank[x.points]}];
        in_memory.add(x);
        spilled.add(x);
    }
    std::uint64_t sorted = 0;
    const InstanceCounts::Ranks ranks{src_rank, trg_rank, points_rank};
    in_memory.finish(ranks, [&](std::size_t n) { sorted += n; });
    spilled.finish(ranks, [&](std::size_t n) { sorted += n; });
    EXPECT_EQ(sorted, 6000U);
    EXPECT_EQ(in_memory.runs(), 0U);
    EXPECT_GT(spilled.runs(), 10U);
    for (InstanceCounts* counts : {&in_memory, &spilled}) {
        Instance x{};
        std::uint64_t count = 0;
        auto want = expected.begin();
        while (counts->next(x, count)) {
            ASSERT_NE(want, expected.end());
            EXPECT_EQ(x, want->first);
            EXPECT_EQ(count, want->second);
            ++want;
        }
        EXPECT_EQ(want, expected.end());
    }
}

}  // namespace
