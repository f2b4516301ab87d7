#include "align/hmm_lattice.hpp"

#include <cmath>
#include <limits>

namespace zel::align {

namespace {

constexpr std::size_t kFarLow = 0;                  // widths -kJumpBound and below
constexpr std::size_t kFarHigh = kJumpBuckets - 1;  // widths kJumpBound and above
constexpr auto kBound = static_cast<std::size_t>(kJumpBound);

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

void HmmLattice::spread(const double* in, double* out) {
    const std::size_t l = l_;
    // prefix[x] = in[0] + ... + in[x - 1]; suffix[x] = in[x] + ... + in[l].
    double* prefix = run_.data();
    double* suffix = run_.data() + (l + 2);
    prefix[0] = 0.0;
    for (std::size_t x = 0; x <= l; ++x) prefix[x + 1] = prefix[x] + in[x];
    suffix[l + 1] = 0.0;
    for (std::size_t x = l + 1; x-- > 0;) suffix[x] = suffix[x + 1] + in[x];
    for (std::size_t i = 1; i <= l; ++i) {
        double sum = 0.0;
        if (i >= kBound) sum += c_[kFarHigh] * prefix[i - kBound + 1];
        const std::size_t lo = i + 1 > kBound ? i + 1 - kBound : 0;
        const std::size_t hi = std::min(l, i + kBound - 1);
        for (std::size_t from = lo; from <= hi; ++from) sum += in[from] * c_[i + kBound - from];
        if (i + kBound <= l) sum += c_[kFarLow] * suffix[i + kBound];
        out[i] = sum;
    }
}

void HmmLattice::gather(const double* in, double* out) {
    const std::size_t l = l_;
    double* prefix = run_.data();
    double* suffix = run_.data() + (l + 2);
    prefix[0] = 0.0;
    for (std::size_t x = 0; x <= l; ++x) prefix[x + 1] = prefix[x] + (x == 0 ? 0.0 : in[x]);
    suffix[l + 1] = 0.0;
    for (std::size_t x = l + 1; x-- > 1;) suffix[x] = suffix[x + 1] + in[x];
    suffix[0] = suffix[1];
    for (std::size_t from = 0; from <= l; ++from) {
        double sum = 0.0;
        if (from > kBound) sum += c_[kFarLow] * prefix[from - kBound + 1];
        const std::size_t lo = std::max<std::size_t>(1, from + 1 > kBound ? from + 1 - kBound : 1);
        const std::size_t hi = std::min(l, from + kBound - 1);
        for (std::size_t i = lo; i <= hi; ++i) sum += c_[i + kBound - from] * in[i];
        if (from + kBound <= l) sum += c_[kFarHigh] * suffix[from + kBound];
        out[from] = sum;
    }
}

double HmmLattice::posteriors(const JumpTable& table, double* post, JumpCounts* counts) {
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
            const double mass =
                j == 0 ? (k == 0 ? 1.0 : 0.0) : real_[(j - 1) * n + k] + null_[(j - 1) * n + k];
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
        gather(u_.data(), prev);
        for (std::size_t k = 0; k <= l; ++k) {
            prev[k] = (p_real_ * prev[k] * inv_z_[k] + p_null_ * emit[0] * back[k]) / scale_[j];
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
    // Z) to each real position's emission times what follows (u_).
    double* prefix = run_.data();
    double* suffix = run_.data() + (l + 2);
    for (std::size_t j = 0; j < m; ++j) {
        const double* emit = emit_.data() + j * n;
        const double* back = back_.data() + j * n;
        for (std::size_t k = 0; k <= l; ++k) {
            const double mass =
                j == 0 ? (k == 0 ? 1.0 : 0.0) : real_[(j - 1) * n + k] + null_[(j - 1) * n + k];
            w_[k] = mass * inv_z_[k] * p_real_;
        }
        u_[0] = 0.0;
        for (std::size_t i = 1; i <= l; ++i) u_[i] = emit[i] * back[i] / scale_[j];
        prefix[0] = 0.0;
        for (std::size_t x = 0; x <= l; ++x) prefix[x + 1] = prefix[x] + u_[x];
        suffix[l + 1] = 0.0;
        for (std::size_t x = l + 1; x-- > 0;) suffix[x] = suffix[x + 1] + u_[x];
        for (std::size_t from = 0; from <= l; ++from) {
            if (w_[from] == 0.0) continue;
            const std::size_t lo =
                std::max<std::size_t>(1, from + 1 > kBound ? from + 1 - kBound : 1);
            const std::size_t hi = std::min(l, from + kBound - 1);
            double left = 0.0;  // the jumps from `from`
            for (std::size_t i = lo; i <= hi; ++i) {
                const double jumped = w_[from] * c_[i + kBound - from] * u_[i];
                counts->jumps[i + kBound - from] += jumped;
                left += jumped;
            }
            if (from + kBound <= l) {
                const double jumped = w_[from] * c_[kFarHigh] * suffix[from + kBound];
                counts->jumps[kFarHigh] += jumped;
                left += jumped;
            }
            if (from > kBound) {
                const double jumped = w_[from] * c_[kFarLow] * prefix[from - kBound + 1];
                counts->jumps[kFarLow] += jumped;
                left += jumped;
            }
            if (from > kBound) counts->wide_below += left * static_cast<double>(from - kBound);
            if (from + kBound <= l)
                counts->wide_above += left * static_cast<double>(l - from - kBound + 1);
        }
        const double* out = post + j * n;
        counts->null += out[0];
        for (std::size_t i = 1; i <= l; ++i) counts->real += out[i];
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
    // outer widths, with their positions in from_'s scratch row below.
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
