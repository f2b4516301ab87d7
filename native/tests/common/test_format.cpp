#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <string>

#include "common/format.hpp"
#include "common/pairwise_sum.hpp"

namespace {

TEST(Format, FixedPointAsTheHostFormatsIt) {
    std::string s;
    zel::fmt::append_fixed(s, 0.1f, 8);
    s += ' ';
    zel::fmt::append_fixed(s, -std::numeric_limits<double>::quiet_NaN(), 2);
    s += ' ';
    zel::fmt::append_fixed(s, 2.675, 2);
    EXPECT_EQ(s, "0.10000000 nan 2.67");
}

TEST(Format, ThousandsSeparators) {
    EXPECT_EQ(zel::fmt::with_commas(16000000), "16,000,000");
    EXPECT_EQ(zel::fmt::with_commas(12346), "12,346");
    EXPECT_EQ(zel::fmt::with_commas(999), "999");
    EXPECT_EQ(zel::fmt::with_commas(-1234), "-1,234");
}

TEST(PairwiseSum, SparseMatchesDenseGrouping) {
    // Every third position, short runs far apart (most ranges of the grouping empty), or three
    // in a leaf grouped x + (y + z); large and tiny magnitudes expose the grouping.
    const std::function<bool(std::size_t)> patterns[] = {
        [](std::size_t i) { return i % 3 == 0; },
        [](std::size_t i) { return i % 4099 < 20 || i % 1000 == 999; },
        [](std::size_t i) { return i % 128 == 0 || i % 128 == 2 || i % 128 == 3; }};
    for (const auto& held : patterns) {
        for (std::size_t n : {5, 8, 17, 128, 129, 300, 1000, 50000}) {
            std::vector<double> dense(n, 0.0), values;
            std::vector<std::uint32_t> pos;
            for (std::size_t i = 0; i < n; ++i) {
                if (!held(i)) continue;
                dense[i] = (i % 7 == 0) ? 1e16 : 1.0 + static_cast<double>(i) * 1e-3;
                pos.push_back(static_cast<std::uint32_t>(i));
                values.push_back(dense[i]);
            }
            const double sparse =
                zel::sparse_pairwise_sum(n, pos.data(), pos.size(), values.data());
            EXPECT_EQ(sparse, zel::pairwise_sum(dense.data(), n)) << n;
        }
    }
}

}  // namespace
