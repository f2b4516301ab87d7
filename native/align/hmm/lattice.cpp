#include "align/hmm/lattice.hpp"

#include <cmath>
#include <limits>

namespace zel::align {

namespace {

constexpr std::size_t kFarLow = 0;                  // widths -kJumpBound and below
constexpr std::size_t kFarHigh = kJumpBuckets - 1;  // widths kJumpBound and above
constexpr auto kBound = static_cast<std::size_t>(kJumpBound);

// The lattice's loops in wider vectors where the processor has them. Only additions and
// multiplications element by element are vectorised (no fused multiply-add, no reordered
// sums), so every processor computes the same bits.
#if defined(__x86_64__) && defined(__GNUC__)
#define ZEL_VECTOR_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define ZEL_VECTOR_CLONES
#endif

}  // namespace

JumpTable JumpTable::uniform(double null_prob) {
    JumpTable table{};
    table.weight.fill(1.0 / static_cast<double>(kJumpBuckets));
    table.null_prob = null_prob;
    return table;
}

void JumpCounts::add(const JumpCounts& other) {
    for (std::size_t b = 0; b < kJumpBuckets; ++b) jumps[b] += other.jumps[b];
    wide_below += other.wide_below;
    wide_above += other.wide_above;
    null += other.null;
    real += other.real;
}

JumpTable JumpCounts::estimate(double prior) const {
    JumpTable table{};
    double jumped = 0.0;
    for (const double n : jumps) jumped += n;
    for (std::size_t b = kFarLow + 1; b < kFarHigh; ++b)
        table.weight[b] = (jumps[b] + prior) / (jumped + prior);
    table.weight[kFarLow] =
        (jumps[kFarLow] + prior * table.weight[kFarLow + 1]) / (wide_below + prior);
    table.weight[kFarHigh] =
        (jumps[kFarHigh] + prior * table.weight[kFarHigh - 1]) / (wide_above + prior);
    double total = 0.0;
    for (const double w : table.weight) total += w;
    for (double& w : table.weight) w /= total;
    const double words = null + real;
    table.null_prob = words > 0.0 ? null / words : 0.0;
    return table;
}

void HmmLattice::reset(std::size_t l, std::size_t m) {
    l_ = l;
    m_ = m;
    const std::size_t cells = m * (l + 1);
    emit_.resize(cells);
    real_.assign(cells, 0.0);
    null_.resize(cells);
    back_.resize(cells);
    ahead_.resize(cells);
    scale_.resize(m);
    inv_z_.resize(l + 1);
    w_.resize(l + 1);
    u_.resize(l + 1);
    run_.resize(2 * (l + 2));
}

void HmmLattice::prepare(const JumpTable& table) {
    c_ = table.weight;
    p_null_ = l_ == 0 ? 1.0 : table.null_prob;
    p_real_ = 1.0 - p_null_;
    const std::size_t l = l_;
    for (std::size_t from = 0; from <= l; ++from) {
        double z = 0.0;
        const std::size_t lo = std::max<std::size_t>(1, from + 1 > kBound ? from + 1 - kBound : 1);
        const std::size_t hi = std::min(l, from + kBound - 1);
        for (std::size_t i = lo; i <= hi; ++i)
            z += c_[JumpTable::bucket(static_cast<std::ptrdiff_t>(i) -
                                      static_cast<std::ptrdiff_t>(from))];
        if (l >= from + kBound) z += c_[kFarHigh] * static_cast<double>(l - from - kBound + 1);
        if (from > kBound) z += c_[kFarLow] * static_cast<double>(from - kBound);
        inv_z_[from] = z > 0.0 ? 1.0 / z : 0.0;
    }
}

// The near widths d = -(kJumpBound - 1)..kJumpBound - 1 are added one width at a time over all
// positions: each is a loop without a carried dependency, which the compiler vectorises, where
// a sum per position would wait on every addition in turn.
ZEL_VECTOR_CLONES void HmmLattice::spread(const double* in, double* out) {
    const auto l = static_cast<std::ptrdiff_t>(l_);
    constexpr std::ptrdiff_t near = kJumpBound - 1;
    std::fill(out + 1, out + l + 1, 0.0);
    for (std::ptrdiff_t d = -near; d <= near; ++d) {
        // i = from + d, with from in [0, l] and i in [1, l].
        const double c = c_[static_cast<std::size_t>(d + kJumpBound)];
        const double* src = in - d;
        for (std::ptrdiff_t i = std::max<std::ptrdiff_t>(1, d); i <= std::min(l, l + d); ++i)
            out[i] += c * src[i];
    }
    if (l < kJumpBound) return;
    // The outer widths: prefix[x] = in[0] + ... + in[x - 1]; suffix[x] = in[x] + ... + in[l].
    double* prefix = run_.data();
    double* suffix = run_.data() + (l + 2);
    prefix[0] = 0.0;
    for (std::ptrdiff_t x = 0; x <= l; ++x) prefix[x + 1] = prefix[x] + in[x];
    suffix[l + 1] = 0.0;
    for (std::ptrdiff_t x = l + 1; x-- > 0;) suffix[x] = suffix[x + 1] + in[x];
    for (std::ptrdiff_t i = kJumpBound; i <= l; ++i)
        out[i] += c_[kFarHigh] * prefix[i - kJumpBound + 1];
    for (std::ptrdiff_t i = 1; i + kJumpBound <= l; ++i)
        out[i] += c_[kFarLow] * suffix[i + kJumpBound];
}

ZEL_VECTOR_CLONES void HmmLattice::gather(const double* in, double* out) {
    const auto l = static_cast<std::ptrdiff_t>(l_);
    constexpr std::ptrdiff_t near = kJumpBound - 1;
    std::fill(out, out + l + 1, 0.0);
    for (std::ptrdiff_t d = -near; d <= near; ++d) {
        // i = from + d in [1, l], from in [0, l].
        const double c = c_[static_cast<std::size_t>(d + kJumpBound)];
        const double* src = in + d;
        for (std::ptrdiff_t from = std::max<std::ptrdiff_t>(0, 1 - d); from <= std::min(l, l - d);
             ++from)
            out[from] += c * src[from];
    }
    if (l < kJumpBound) return;
    double* prefix = run_.data();  // in[1] + ... + in[x - 1]
    double* suffix = run_.data() + (l + 2);
    prefix[0] = prefix[1] = 0.0;
    for (std::ptrdiff_t x = 1; x <= l; ++x) prefix[x + 1] = prefix[x] + in[x];
    suffix[l + 1] = 0.0;
    for (std::ptrdiff_t x = l + 1; x-- > 1;) suffix[x] = suffix[x + 1] + in[x];
    for (std::ptrdiff_t from = kJumpBound + 1; from <= l; ++from)
        out[from] += c_[kFarLow] * prefix[from - kJumpBound + 1];
    for (std::ptrdiff_t from = 0; from + kJumpBound <= l; ++from)
        out[from] += c_[kFarHigh] * suffix[from + kJumpBound];
}

ZEL_VECTOR_CLONES double HmmLattice::posteriors(const JumpTable& table, double* post,
                                                JumpCounts* counts) {
    const std::size_t l = l_, m = m_, n = width();
    if (m == 0) return 0.0;
    prepare(table);
    // Forward, each step scaled to sum 1; w_ holds the remembered positions' mass / Z.
    double loglik = 0.0;
    for (std::size_t j = 0; j < m; ++j) {
        const double* emit = emit_.data() + j * n;
        double* real = real_.data() + j * n;
        double* null = null_.data() + j * n;
        for (std::size_t k = 0; k <= l; ++k) {
            const double mass = remembered(j, k);
            null[k] = emit[0] * p_null_ * mass;
            w_[k] = mass * inv_z_[k];
        }
        spread(w_.data(), real);
        double sum = 0.0;
        for (std::size_t i = 1; i <= l; ++i) {
            real[i] *= emit[i] * p_real_;
            sum += real[i];
        }
        for (std::size_t k = 0; k <= l; ++k) sum += null[k];
        if (!(sum > 0.0) || !std::isfinite(sum)) return -std::numeric_limits<double>::infinity();
        for (std::size_t k = 0; k <= l; ++k) {
            real[k] /= sum;
            null[k] /= sum;
        }
        scale_[j] = sum;
        loglik += std::log(sum);
    }
    // Backward, scaled by the same sums: back_ by remembered position.
    std::fill(back_.begin() + static_cast<std::ptrdiff_t>((m - 1) * n), back_.end(), 1.0);
    for (std::size_t j = m - 1; j > 0; --j) {
        const double* emit = emit_.data() + j * n;
        const double* back = back_.data() + j * n;
        u_[0] = 0.0;
        for (std::size_t i = 1; i <= l; ++i) u_[i] = emit[i] * back[i];
        double* prev = back_.data() + (j - 1) * n;
        double* ahead = ahead_.data() + (j - 1) * n;
        gather(u_.data(), ahead);
        for (std::size_t k = 0; k <= l; ++k) {
            ahead[k] = p_real_ * ahead[k] * inv_z_[k] / scale_[j];
            prev[k] = ahead[k] + p_null_ * emit[0] * back[k] / scale_[j];
        }
    }
    for (std::size_t j = 0; j < m; ++j) {
        const double* real = real_.data() + j * n;
        const double* null = null_.data() + j * n;
        const double* back = back_.data() + j * n;
        double* out = post + j * n;
        double to_null = 0.0;
        for (std::size_t k = 0; k <= l; ++k) to_null += null[k] * back[k];
        out[0] = to_null;
        for (std::size_t i = 1; i <= l; ++i) out[i] = real[i] * back[i];
    }
    if (!counts) return loglik;
    // Expected jumps into each target position: from the remembered mass before it (w_, over
    // Z) to each real position's emission times what follows (u_), a near width at a time.
    const auto len = static_cast<std::ptrdiff_t>(l);
    double* prefix = run_.data();
    double* suffix = run_.data() + (l + 2);
    for (std::size_t j = 0; j < m; ++j) {
        const double* emit = emit_.data() + j * n;
        const double* back = back_.data() + j * n;
        for (std::size_t k = 0; k <= l; ++k) {
            w_[k] = remembered(j, k) * inv_z_[k] * p_real_;
        }
        u_[0] = 0.0;
        for (std::size_t i = 1; i <= l; ++i) u_[i] = emit[i] * back[i] / scale_[j];
        for (std::ptrdiff_t d = 1 - kJumpBound; d < kJumpBound; ++d) {
            // Two sums, so the additions of one do not wait on the other's.
            double even = 0.0, odd = 0.0;
            std::ptrdiff_t from = std::max<std::ptrdiff_t>(0, 1 - d);
            const std::ptrdiff_t last = std::min(len, len - d);
            for (; from + 1 <= last; from += 2) {
                even += w_[static_cast<std::size_t>(from)] * u_[static_cast<std::size_t>(from + d)];
                odd += w_[static_cast<std::size_t>(from + 1)] *
                       u_[static_cast<std::size_t>(from + 1 + d)];
            }
            if (from <= last)
                even += w_[static_cast<std::size_t>(from)] * u_[static_cast<std::size_t>(from + d)];
            const auto b = static_cast<std::size_t>(d + kJumpBound);
            counts->jumps[b] += c_[b] * (even + odd);
        }
        const double* out = post + j * n;
        double real_words = 0.0;
        for (std::size_t i = 1; i <= l; ++i) real_words += out[i];
        counts->null += out[0];
        counts->real += real_words;
        if (l < kBound) continue;
        prefix[0] = 0.0;
        for (std::size_t x = 0; x <= l; ++x) prefix[x + 1] = prefix[x] + u_[x];
        suffix[l + 1] = 0.0;
        for (std::size_t x = l + 1; x-- > 0;) suffix[x] = suffix[x + 1] + u_[x];
        double above = 0.0, below = 0.0, wide_above = 0.0, wide_below = 0.0;
        for (std::size_t from = 0; from <= l; ++from) {
            // The jumps from `from`, whatever their width (from the start: the real words).
            const double left = j == 0 ? (from == 0 ? real_words : 0.0)
                                       : remembered(j, from) * ahead_[(j - 1) * n + from];
            if (from + kBound <= l) {
                above += w_[from] * suffix[from + kBound];
                wide_above += left * static_cast<double>(l - from - kBound + 1);
            }
            if (from > kBound) {
                below += w_[from] * prefix[from - kBound + 1];
                wide_below += left * static_cast<double>(from - kBound);
            }
        }
        counts->jumps[kFarHigh] += c_[kFarHigh] * above;
        counts->jumps[kFarLow] += c_[kFarLow] * below;
        counts->wide_above += wide_above;
        counts->wide_below += wide_below;
    }
    return loglik;
}

void HmmLattice::viterbi(const JumpTable& table, std::uint32_t* best) {
    const std::size_t l = l_, m = m_, n = width();
    if (m == 0) return;
    prepare(table);
    from_.resize(m * n);
    via_null_.resize(m * n);
    // w_: the best score of each remembered position (over Z); run_ the running maxima of the
    // outer widths, with their positions in low_at and high_at.
    std::vector<double>& score = u_;  // best score by remembered position after each step
    std::fill(score.begin(), score.end(), 0.0);
    score[0] = 1.0;
    std::vector<std::uint32_t> low_at(l + 1), high_at(l + 2);
    double* low = run_.data();             // low[x]: max of w_[0..x]
    double* high = run_.data() + (l + 2);  // high[x]: max of w_[x..l]
    for (std::size_t j = 0; j < m; ++j) {
        const double* emit = emit_.data() + j * n;
        double* real = real_.data() + j * n;
        double* null = null_.data() + j * n;
        std::uint32_t* from = from_.data() + j * n;
        for (std::size_t k = 0; k <= l; ++k) {
            w_[k] = score[k] * inv_z_[k];
            null[k] = emit[0] * p_null_ * score[k];
        }
        for (std::size_t x = 0; x <= l; ++x) {
            const bool better = x == 0 || w_[x] > low[x - 1];
            low[x] = better ? w_[x] : low[x - 1];
            low_at[x] = better ? static_cast<std::uint32_t>(x) : low_at[x - 1];
        }
        high[l + 1] = -1.0;
        for (std::size_t x = l + 1; x-- > 0;) {
            const bool better = w_[x] >= high[x + 1];  // ties to the lower position
            high[x] = better ? w_[x] : high[x + 1];
            high_at[x] = better ? static_cast<std::uint32_t>(x) : high_at[x + 1];
        }
        for (std::size_t i = 1; i <= l; ++i) {
            double top = -1.0;
            std::uint32_t at = 0;
            if (i >= kBound) {
                top = c_[kFarHigh] * low[i - kBound];
                at = low_at[i - kBound];
            }
            const std::size_t lo = i + 1 > kBound ? i + 1 - kBound : 0;
            const std::size_t hi = std::min(l, i + kBound - 1);
            for (std::size_t k = lo; k <= hi; ++k) {
                const double v = w_[k] * c_[i + kBound - k];
                if (v > top) top = v, at = static_cast<std::uint32_t>(k);
            }
            if (i + kBound <= l && c_[kFarLow] * high[i + kBound] > top) {
                top = c_[kFarLow] * high[i + kBound];
                at = high_at[i + kBound];
            }
            real[i] = emit[i] * p_real_ * std::max(top, 0.0);
            from[i] = at;
        }
        double most = 0.0;
        std::uint8_t* via = via_null_.data() + j * n;
        for (std::size_t k = 0; k <= l; ++k) {
            const bool to_null = k == 0 || null[k] > real[k];
            via[k] = to_null;
            score[k] = to_null ? null[k] : real[k];
            most = std::max(most, score[k]);
        }
        if (most > 0.0)
            for (std::size_t k = 0; k <= l; ++k) score[k] /= most;
    }
    std::size_t k = 0;
    for (std::size_t x = 1; x <= l; ++x)
        if (score[x] > score[k]) k = x;
    for (std::size_t j = m; j-- > 0;) {
        const bool to_null = via_null_[j * n + k] != 0;
        best[j] = to_null ? 0 : static_cast<std::uint32_t>(k);
        if (!to_null) k = from_[j * n + k];
    }
}

}  // namespace zel::align
