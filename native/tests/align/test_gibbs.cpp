// The sampler on a corpus whose links are plain: one word pair repeated, and two words that
// always come together. Its draws are fixed by the seed, and its marginals find the links.
#include <gtest/gtest.h>

#include <cstdlib>
#include <numeric>
#include <vector>

#include "align/corpus/cooccurrence.hpp"
#include "align/corpus/corpus.hpp"
#include "align/sampler/gibbs.hpp"
#include "test_helpers.hpp"

namespace zel::align {
namespace {

using testing::MemoryHost;

// Source words 1..3 (0 is NULL) and target words 0..2: 1 gives 0 and 2 gives 1 wherever they
// are, 3 gives 2; pairs put them in different orders and counts.
struct Fixture {
    Corpus corpus;
    std::shared_ptr<const CooccurrencePattern> pattern;
    std::unique_ptr<PairCells> cells;
    std::vector<std::uint32_t> start;  // every target word starts at the first source word

    Fixture() {
        const std::vector<std::vector<WordId>> src = {{0, 1, 2}, {0, 2, 1}, {0, 1, 3},   {0, 3, 2},
                                                      {0, 1},    {0, 2},    {0, 3, 1, 2}};
        const std::vector<std::vector<WordId>> trg = {{0, 1}, {1, 0}, {0, 2},   {2, 1},
                                                      {0},    {1},    {2, 0, 1}};
        for (std::size_t p = 0; p < src.size(); ++p) corpus.push_back(src[p], trg[p]);
        const SourceOccurrences occ(corpus, 4);
        pattern = CooccurrencePattern::build(corpus, occ, 4, 3);
        cells = std::make_unique<PairCells>(pattern, corpus, occ, std::size_t{1} << 20);
        start.assign(corpus.trg_tokens(), 1);
    }

    // `directions` copies of the corpus, sampled at once as the two directions are.
    std::vector<SampledDirection> sample(const GibbsSettings& s, std::size_t directions = 1) {
        MemoryHost host;
        const SamplerInput input{corpus, *cells, pattern->cells(), 4, 3, start};
        const std::vector<SamplerInput> inputs(directions, input);
        return sample_directions(host, inputs, s);
    }

    std::vector<std::uint16_t> marginals(const SampledDirection& d) const {
        std::vector<std::uint16_t> out, pair;
        for (std::size_t p = 0; p < corpus.size(); ++p) {
            d.marginals.fill(p, pair);
            out.insert(out.end(), pair.begin(), pair.end());
        }
        return out;
    }
};

GibbsSettings settings(std::uint64_t seed) {
    GibbsSettings s;
    s.iterations = s.fertility_iterations = 20;
    s.chains = 2;
    s.seed = seed;
    return s;
}

TEST(Gibbs, MarginalsFindTheLinksAndSumToOneARow) {
    Fixture f;
    const auto sampled = f.sample(settings(1));
    ASSERT_EQ(sampled.size(), 1U);
    const SampledDirection& d = sampled[0];
    std::vector<std::uint16_t> values;
    for (std::size_t p = 0; p < f.corpus.size(); ++p) {
        const auto src = f.corpus.src(p);
        const auto trg = f.corpus.trg(p);
        d.marginals.fill(p, values);
        const std::uint16_t* row = values.data();
        for (std::size_t j = 0; j < trg.size(); ++j, row += src.size()) {
            // Each value rounds on its own: a row sums to kOne within half a unit a value.
            const double sum = std::accumulate(row, row + src.size(), 0.0);
            EXPECT_NEAR(sum, Marginals::kOne, 0.5 * static_cast<double>(src.size()));
            // The source position of the word that gives trg[j] holds most of its mass.
            std::size_t truth = 0;
            for (std::size_t i = 1; i < src.size(); ++i)
                if (src[i] == trg[j] + 1) truth = i;
            EXPECT_GT(row[truth], Marginals::kOne / 2) << "pair " << p << ", target " << j;
        }
    }
    // The point estimates: t(0 | word 1) outweighs what word 1's other cells hold.
    const double t = d.values[static_cast<std::size_t>(f.pattern->find(1, 0))];
    EXPECT_GT(t, 0.5);
    EXPECT_NEAR(std::accumulate(d.jumps.weight.begin(), d.jumps.weight.end(), 0.0), 1.0, 1e-12);
    EXPECT_GT(d.jumps.null_prob, 0.0);
    EXPECT_LT(d.jumps.null_prob, 0.5);
}

// Links drawn at cells a pruned pattern lacks count nowhere, and those cells keep the prior
// alone: here every word keeps only its true translation, and NULL keeps nothing.
TEST(Gibbs, APrunedPatternKeepsItsCellsAndFindsTheLinks) {
    Fixture f;
    f.pattern = CooccurrencePattern::from_rows(4, 3, {0, 0, 1, 2, 3}, {0, 1, 2});
    f.cells = std::make_unique<PairCells>(f.pattern, f.corpus, SourceOccurrences(f.corpus, 4),
                                          std::size_t{1} << 20);
    const auto sampled = f.sample(settings(1));
    const SampledDirection& d = sampled[0];
    ASSERT_EQ(d.values.size(), 3U);
    std::vector<std::uint16_t> values;
    for (std::size_t p = 0; p < f.corpus.size(); ++p) {
        const auto src = f.corpus.src(p);
        const auto trg = f.corpus.trg(p);
        d.marginals.fill(p, values);
        for (std::size_t j = 0; j < trg.size(); ++j) {
            std::size_t truth = 0;
            for (std::size_t i = 1; i < src.size(); ++i)
                if (src[i] == trg[j] + 1) truth = i;
            EXPECT_GT(values[j * src.size() + truth], Marginals::kOne / 2)
                << "pair " << p << ", target " << j;
        }
    }
    for (std::size_t c = 0; c < 3; ++c) EXPECT_GT(d.values[c], 0.5);
    // A word's other cells hold what a cell without counts holds.
    EXPECT_LT(d.row_default[1], 1e-3);
}

TEST(Gibbs, DrawsFollowTheSeedAloneNotTheThreads) {
    Fixture f;
    // Few draws, before the chains settle where any seed ends.
    const auto early = [](std::uint64_t seed) {
        GibbsSettings s = settings(seed);
        s.iterations = 2;
        s.fertility_iterations = 0;
        s.chains = 1;
        return s;
    };
    setenv("ZEL_THREADS", "1", 1);
    const auto one = f.sample(early(7), 2);
    setenv("ZEL_THREADS", "3", 1);
    const auto three = f.sample(early(7), 2);
    unsetenv("ZEL_THREADS");
    for (std::size_t d = 0; d < 2; ++d) EXPECT_EQ(f.marginals(one[d]), f.marginals(three[d]));
    // Each direction and each seed draws its own sequence.
    EXPECT_NE(f.marginals(one[0]), f.marginals(one[1]));
    EXPECT_NE(f.marginals(f.sample(early(8))[0]), f.marginals(one[0]));
}

TEST(Gibbs, DefaultIterationsShrinkWithTheCorpus) {
    EXPECT_EQ(default_sampling_iterations(150), kMostSamplingIterations);
    EXPECT_EQ(default_sampling_iterations(10000), 50);
    EXPECT_EQ(default_sampling_iterations(1000000), 5);
    EXPECT_EQ(default_sampling_iterations(100000000), 5);
}

}  // namespace
}  // namespace zel::align
