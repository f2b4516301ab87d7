#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "align/hmm/lattice.hpp"

namespace {

using zel::align::HmmLattice;
using zel::align::JumpTable;

struct Pair {
    std::size_t l, m;  // real source words, target words
    double p0;
};

// The pair's likelihood, posteriors and best alignment by summing over every alignment: a
// target word goes to NULL with p0, or to source position i with (1 - p0) times the weight of
// the jump from the last real position (0 before the first), normalised over the pair's
// positions, times its emission.
struct Enumerated {
    double likelihood = 0.0;
    std::vector<double> post;
    std::vector<std::uint32_t> best;
};

Enumerated enumerate(const Pair& pair, const std::vector<double>& emit, const JumpTable& table) {
    const std::size_t n = pair.l + 1;
    const double p_null = pair.l == 0 ? 1.0 : pair.p0;
    Enumerated out;
    out.post.assign(pair.m * n, 0.0);
    std::vector<std::uint32_t> a(pair.m, 0);
    double best = -1.0;
    for (;;) {
        double prob = 1.0;
        std::size_t prev = 0;
        for (std::size_t j = 0; j < pair.m; ++j) {
            const std::size_t i = a[j];
            if (i == 0) {
                prob *= p_null * emit[j * n];
                continue;
            }
            double z = 0.0;
            for (std::size_t k = 1; k <= pair.l; ++k)
                z += table.weight[JumpTable::bucket(static_cast<std::ptrdiff_t>(k) -
                                                    static_cast<std::ptrdiff_t>(prev))];
            const double w = table.weight[JumpTable::bucket(static_cast<std::ptrdiff_t>(i) -
                                                            static_cast<std::ptrdiff_t>(prev))];
            prob *= (1.0 - p_null) * w / z * emit[j * n + i];
            prev = i;
        }
        out.likelihood += prob;
        for (std::size_t j = 0; j < pair.m; ++j) out.post[j * n + a[j]] += prob;
        if (prob > best) best = prob, out.best = a;
        std::size_t j = 0;
        while (j < pair.m && ++a[j] == n) a[j++] = 0;
        if (j == pair.m) break;
    }
    for (double& p : out.post) p /= out.likelihood;
    return out;
}

class Lattice : public ::testing::TestWithParam<Pair> {};

// Source sentences longer than the jump bound share the outer widths on both sides.
TEST_P(Lattice, PosteriorsAndViterbiAreThoseOfEveryAlignmentSummed) {
    const Pair pair = GetParam();
    std::mt19937_64 rng(pair.l * 31 + pair.m);
    std::uniform_real_distribution<double> uniform(0.05, 1.0);
    JumpTable table{};
    for (double& w : table.weight) w = uniform(rng);
    table.null_prob = pair.p0;
    HmmLattice lattice;
    lattice.reset(pair.l, pair.m);
    std::vector<double> emit(pair.m * (pair.l + 1));
    for (double& e : emit) e = uniform(rng);
    std::copy(emit.begin(), emit.end(), lattice.emit());

    const Enumerated want = enumerate(pair, emit, table);
    std::vector<double> post(emit.size());
    EXPECT_NEAR(lattice.posteriors(table, post.data(), nullptr), std::log(want.likelihood),
                1e-12 * std::fabs(std::log(want.likelihood)));
    for (std::size_t c = 0; c < post.size(); ++c) EXPECT_NEAR(post[c], want.post[c], 1e-12) << c;
    std::vector<std::uint32_t> best(pair.m);
    lattice.viterbi(table, best.data());
    EXPECT_EQ(best, want.best);
}

INSTANTIATE_TEST_SUITE_P(Pairs, Lattice,
                         ::testing::Values(Pair{0, 2, 0.2}, Pair{1, 1, 0.2}, Pair{3, 4, 0.3},
                                           Pair{9, 4, 0.1}, Pair{10, 3, 0.0}));

// A pair no alignment can explain has no posteriors to give: its log-likelihood is -inf.
TEST(Lattice, APairOfProbabilityZeroSaysSo) {
    JumpTable table = JumpTable::uniform(0.2);
    HmmLattice lattice;
    lattice.reset(2, 2);
    std::fill(lattice.emit(), lattice.emit() + 6, 0.0);
    std::vector<double> post(6, -1.0);
    EXPECT_EQ(lattice.posteriors(table, post.data(), nullptr), -INFINITY);
}

}  // namespace
