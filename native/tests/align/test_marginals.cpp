// Marginals keep only the positions above zero: the values read back must be those a dense
// row would hold, however many positions a word's draws reach and however long its sentence.
#include <gtest/gtest.h>

#include <cmath>
#include <numeric>
#include <vector>

#include "align/corpus/corpus.hpp"
#include "align/hmm/marginals.hpp"

namespace zel::align {
namespace {

// Pair 0: NULL and 5 source words, 2 target words; pair 1: NULL and `long_side` source words,
// 1 target word.
Corpus two_pairs(std::size_t long_side) {
    Corpus corpus;
    corpus.push_back(std::vector<WordId>(6, 0), std::vector<WordId>(2, 0));
    corpus.push_back(std::vector<WordId>(long_side + 1, 0), std::vector<WordId>(1, 0));
    return corpus;
}

TEST(Marginals, ReadBackAsDenseRowsWhateverTheirPositions) {
    const std::size_t long_side = 70000;  // positions beyond 16 bits
    const Corpus corpus = two_pairs(long_side);
    Marginals marginals(corpus, 1);
    std::vector<std::uint16_t> dense0(12, 0), dense1(long_side + 1, 0);
    const auto add = [&](std::vector<std::uint16_t>& dense, std::size_t row_start,
                         std::uint64_t token, std::uint32_t i, std::uint32_t units) {
        marginals.add(token, i, units);
        dense[row_start + i] = static_cast<std::uint16_t>(dense[row_start + i] + units);
    };
    // Token 0 reaches all six positions (more than its slots), some twice; token 1 one.
    for (const std::uint32_t i : {4U, 0U, 2U, 4U, 5U, 1U, 3U, 5U}) add(dense0, 0, 0, i, 100 + i);
    add(dense0, 6, 1, 3, 7);
    marginals.add(1, 2, 0);  // no unit: stays zero
    // The long sentence's word: positions past 65,535 and a zero row elsewhere.
    for (const std::uint32_t i : {69999U, 1U, 65536U, 2U, 70000U}) add(dense1, 0, 2, i, i % 97 + 1);

    std::vector<std::uint16_t> out;
    marginals.fill(0, out);
    EXPECT_EQ(out, dense0);
    marginals.fill(1, out);
    EXPECT_EQ(out, dense1);

    marginals.finish();
    for (std::size_t p = 0; p < 2; ++p) {
        marginals.fill(p, out);
        const std::size_t width = corpus.src(p).size();
        for (std::size_t j = 0; j < corpus.trg(p).size(); ++j) {
            const auto row = out.begin() + static_cast<std::ptrdiff_t>(j * width);
            const double sum = std::accumulate(row, row + static_cast<std::ptrdiff_t>(width), 0.0);
            // Each value rounds on its own: within half a unit a position above zero.
            EXPECT_NEAR(sum, Marginals::kOne, 3.0) << "pair " << p << ", target " << j;
        }
    }
    marginals.fill(0, out);
    EXPECT_EQ(out[6 + 3], Marginals::kOne);  // token 1's one position holds all its mass
    EXPECT_EQ(out[4], std::lround(dense0[4] * (Marginals::kOne / 824.0)));
}

}  // namespace
}  // namespace zel::align
