#include "common/parallel.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <string>

namespace zel {
namespace {

class ParallelFor : public ::testing::TestWithParam<std::size_t> {};

// Tasks 10 and beyond fail: the error is task 10's, and once failures are recorded the tasks
// after them are skipped, so at most one failing task a thread runs.
TEST_P(ParallelFor, ReportsTheLowestFailureAndSkipsTheTasksAfterIt) {
    const std::size_t threads = GetParam();
    std::atomic<std::size_t> ran{0};
    try {
        parallel_for(1000, threads, [&](std::size_t k, std::size_t) {
            ++ran;
            if (k >= 10) throw std::runtime_error(std::to_string(k));
        });
        FAIL() << "no task failed";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "10");
    }
    EXPECT_LE(ran.load(), 10 + threads);
    std::atomic<std::size_t> again{0};
    parallel_for(100, threads, [&](std::size_t, std::size_t) { ++again; });
    EXPECT_EQ(again.load(), 100U) << "a failed job leaves the threads for the next";
}

INSTANTIATE_TEST_SUITE_P(Threads, ParallelFor, ::testing::Values(1, 2, 4));

}  // namespace
}  // namespace zel
