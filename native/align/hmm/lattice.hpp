// The first-order HMM alignment model on one sentence pair: forward-backward and Viterbi.
//
// Target word j is emitted by the source word at a_j, a real position 1..l or the NULL word
// (0). The position of a real word follows the last real position before it (0 before the
// first) by a jump of width d = a_j - a_prev whose weight c(d) is shared by all widths beyond
// the bound (`kJumpBound`) on either side; the weights of a position's jumps are normalised over
// the source positions, 1..l. With probability p0 a target word goes to NULL instead, and the
// position it remembers stays the last real one. The states of target position j are then the
// real positions 1..l and a NULL state for each remembered position 0..l.
//
// A real state is reached from a remembered position i' with (1 - p0) c(i - i') / Z(i'); the
// outer widths share one weight, so the sum over i' of a step is a sliding window of near
// widths plus two running sums: each step is linear in l, not quadratic.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace zel::align {

inline constexpr std::ptrdiff_t kJumpBound = 7;
inline constexpr std::size_t kJumpBuckets = 2 * kJumpBound + 1;

// The jump weights c(d), d = -kJumpBound..kJumpBound at d + kJumpBound (the two ends are the
// weight of each wider jump), and the NULL probability p0.
struct JumpTable {
    std::array<double, kJumpBuckets> weight;
    double null_prob;

    // Every width equally likely and p0 = `null_prob`.
    static JumpTable uniform(double null_prob);
    // The table training starts from: every width equally likely, and p0 as given (a fixed
    // p0) or kStartNullProb.
    static JumpTable start(std::optional<double> null_prob) {
        return uniform(null_prob.value_or(kStartNullProb));
    }
    static constexpr double kStartNullProb = 0.2;
    static std::size_t bucket(std::ptrdiff_t width) {
        return static_cast<std::size_t>(std::clamp(width, -kJumpBound, kJumpBound) + kJumpBound);
    }
};

// What one pair adds to the re-estimation of a JumpTable.
struct JumpCounts {
    std::array<double, kJumpBuckets> jumps{};
    // The wider widths each jump could have taken, below and above: an outer weight is that
    // of one width, so its count is shared by the widths there were.
    double wide_below = 0.0, wide_above = 0.0;
    double null = 0.0;  // target words that went to NULL
    double real = 0.0;  // and to a real position

    void add(const JumpCounts& other);
    // The table these counts give: a near width's weight is its jumps per jump, an outer one's
    // its jumps per width there was, each from `prior` jumps more (so no width a later corpus
    // may need is impossible; an outer width never seen weighs as the nearest width inside).
    JumpTable estimate(double prior) const;
};

// Scratch and results of one pair of l source words (NULL not counted) and m target words.
// `emit` holds m rows of l + 1 emission probabilities: t(f_j | NULL), then t(f_j | e_i).
class HmmLattice {
public:
    // Sizes the lattice for a pair; emit() is then filled by the caller.
    void reset(std::size_t l, std::size_t m);
    double* emit() { return emit_.data(); }

    // Forward-backward: the pair's log-likelihood (-inf when its probability is 0, and then no
    // posterior is set), posteriors into post (m rows of l + 1: the NULL word's, then each
    // real position's), and, with `counts`, the expected jumps added.
    double posteriors(const JumpTable& table, double* post, JumpCounts* counts);
    // The most probable alignment: best[j] the source position of target word j (0 for NULL).
    // Ties go to the lowest position, real before NULL.
    void viterbi(const JumpTable& table, std::uint32_t* best);

private:
    std::size_t width() const { return l_ + 1; }
    // The forward mass that remembers position k before target position j (all of it at 0
    // before the first), once the forward pass has run to j - 1.
    double remembered(std::size_t j, std::size_t k) const {
        if (j == 0) return k == 0 ? 1.0 : 0.0;
        const std::size_t at = (j - 1) * width() + k;
        return real_[at] + null_[at];
    }
    // 1 / Z(i') for every remembered position, and the step's transition weights.
    void prepare(const JumpTable& table);
    // out[i] = sum over i' of in[i'] c(i - i') for the real positions i = 1..l.
    void spread(const double* in, double* out);
    // out[i'] = sum over i of c(i - i') in[i] for the remembered positions i' = 0..l.
    void gather(const double* in, double* out);

    std::size_t l_ = 0, m_ = 0;
    std::array<double, kJumpBuckets> c_{};
    double p_real_ = 1.0, p_null_ = 0.0;
    std::vector<double> emit_, inv_z_, real_, null_, back_, scale_, w_, u_, run_;
    // What back_ holds of the real positions that follow (the jumps from each remembered
    // position), for the wide-width counts.
    std::vector<double> ahead_;
    std::vector<std::uint32_t> from_;
    std::vector<std::uint8_t> via_null_;
};

}  // namespace zel::align
