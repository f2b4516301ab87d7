#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "align/tables/expected_counts.hpp"

namespace {

using zel::align::Corpus;
using zel::align::TargetShares;
using zel::align::WordId;

// Target words 0..7, word t in 9 - t pairs of source length 1 (2 cells a token, NULL
// included): weights 18, 16, ..., 4, 88 in all.
Corpus graded_corpus() {
    Corpus corpus;
    const std::vector<WordId> src = {0, 1};
    for (WordId t = 0; t < 8; ++t) {
        for (WordId n = 0; n < 9 - t; ++n) corpus.push_back(src, std::vector<WordId>{t});
    }
    return corpus;
}

// Every target position of every pair is visited by exactly one share, in order, whatever the
// shares were rebalanced by; the cuts stay in order and within the words.
TEST(TargetShares, EveryPositionOnceForAnyRebalancing) {
    std::mt19937_64 rng(5);
    Corpus corpus;
    for (int p = 0; p < 200; ++p) {
        std::vector<WordId> src(1 + rng() % 4), trg(rng() % 6);
        for (WordId& w : src) w = static_cast<WordId>(rng() % 5);
        for (WordId& w : trg) w = static_cast<WordId>(rng() % 30);
        corpus.push_back(src, trg);
    }
    for (const std::size_t n : {1U, 2U, 3U, 8U, 40U}) {
        TargetShares shares(corpus, n);
        ASSERT_EQ(shares.size(), n);
        for (int round = 0; round < 20; ++round) {
            std::vector<double> seconds(n);
            for (double& s : seconds) s = static_cast<double>(rng() % 4);  // zeros too
            shares.rebalance(seconds);
            for (std::size_t k = 1; k < n; ++k) ASSERT_LE(shares.cut(k - 1), shares.cut(k));
            std::vector<std::uint32_t> scratch;
            for (std::size_t p = 0; p < corpus.size(); ++p) {
                std::vector<int> seen(corpus.trg(p).size(), 0);
                for (std::size_t k = 0; k < n; ++k) {
                    shares.visit(corpus.trg(p), k, scratch, [&](const auto& positions) {
                        std::uint32_t last = 0;
                        bool first = true;
                        for (const std::uint32_t j : positions) {
                            EXPECT_TRUE(first || j > last);
                            first = false;
                            last = j;
                            ++seen[j];
                        }
                    });
                }
                for (const int s : seen) ASSERT_EQ(s, 1) << "pair " << p << ", " << n << " shares";
            }
        }
    }
}

TEST(TargetShares, StartAtEqualWeightsAndMoveHalfWayTowardsEqualTimes) {
    TargetShares shares(graded_corpus(), 2);
    // Words 0-2 weigh 48 of 88, words 0-1 34: 48 is nearer half the weight.
    EXPECT_EQ(shares.cut(1), 3U);
    // The first share took three times as long as the second, so equal times cut its 48 at
    // two thirds, 32; half way from 48 is 40, nearer to 34 (words 0-1) than to 48.
    shares.rebalance(std::vector<double>{3.0, 1.0});
    EXPECT_EQ(shares.cut(1), 2U);
    // Equal times leave the cut where it is.
    shares.rebalance(std::vector<double>{1.0, 1.0});
    EXPECT_EQ(shares.cut(1), 2U);
    // Nothing measured: nothing moves.
    shares.rebalance(std::vector<double>{0.0, 0.0});
    EXPECT_EQ(shares.cut(1), 2U);
}

}  // namespace
