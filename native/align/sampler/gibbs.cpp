#include "align/sampler/gibbs.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <memory>
#include <optional>
#include <string>

#include "common/errors.hpp"
#include "common/parallel.hpp"

namespace zel::align {

namespace {

// Fertilities at or above this share one count.
constexpr std::size_t kFertilityCap = 8;
constexpr std::size_t kBuckets = kJumpBuckets;
// Draws whose distributions a marginal adds up at most.
constexpr std::size_t kMostKeptDraws = 4096;
// Pairs a direction samples between two looks at the host's interrupts.
constexpr std::size_t kBlockPairs = 4096;

// splitmix64: a fixed sequence for a seed on every platform, unlike the standard library's
// distributions.
class Generator {
public:
    explicit Generator(std::uint64_t seed) : state_(seed) {}
    double uniform() {
        state_ += 0x9E3779B97F4A7C15ULL;
        std::uint64_t z = state_;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        z ^= z >> 31;
        return static_cast<double>(z >> 11) * 0x1.0p-53;
    }

private:
    std::uint64_t state_;
};

std::uint64_t chain_seed(std::uint64_t seed, std::size_t direction, std::size_t chain) {
    return seed * 0x100000001B3ULL + direction * 1000 + chain;
}

std::size_t bucket(std::ptrdiff_t width) { return JumpTable::bucket(width); }

// A direction's sums over its chains' last states.
struct Totals {
    std::optional<CellCounts> lex;
    std::vector<double> src;
    std::array<double, kBuckets> jumps{};
    double null = 0.0, real = 0.0;
    std::array<double, 2> spans{}, wide{};
};

// One chain of one direction: its links, the counts they make, and its generator.
class Chain {
public:
    Chain(const SamplerInput& in, const GibbsSettings& s, std::uint64_t seed)
        : in_(in),
          s_(s),
          rng_(seed),
          lex_(in.pattern_cells + 1, 0),
          src_(in.n_src, 0),
          fert_(in.n_src * (kFertilityCap + 1), 0),
          links_(in.start.begin(), in.start.end()),
          starts_(in.corpus.size() + 1, 0) {
        const Corpus& c = in.corpus;
        for (std::size_t p = 0; p < c.size(); ++p) starts_[p + 1] = starts_[p] + c.src(p).size();
        phi_.assign(starts_.back(), 0);
        for (std::size_t p = 0; p < c.size(); ++p) count_pair(p);
        inv_src_.resize(src_.size());
        for (std::size_t e = 0; e < src_.size(); ++e) count_src(static_cast<WordId>(e), 0);
    }

    // Draws every link of pairs [begin, end) again; with `marginals`, adds each draw's
    // distribution to them.
    void sweep(std::size_t begin, std::size_t end, bool fertility, Marginals* marginals) {
        for (std::size_t p = begin; p < end; ++p) draw_pair(p, fertility, marginals);
    }

    // Adds the counts of the chain's links to `t`.
    void add_counts(Totals& t) const {
        CellCounts& lex = *t.lex;
        for (std::size_t c = 0; c < lex.size(); ++c) lex[c] += lex_[c];
        for (std::size_t e = 0; e < src_.size(); ++e) t.src[e] += src_[e];
        for (std::size_t b = 0; b < kBuckets; ++b) t.jumps[b] += static_cast<double>(jumps_[b]);
        t.null += static_cast<double>(null_);
        t.real += static_cast<double>(real_);
        // The widths an outer jump could have taken, as the jump file's weights are per width.
        const Corpus& c = in_.corpus;
        for (std::size_t p = 0; p < c.size(); ++p) {
            const std::size_t l = c.src(p).size() - 1, m = c.trg(p).size();
            const std::uint32_t* a = links_.data() + c.trg_start(p);
            std::size_t prev = 0;
            for (std::size_t j = 0; j <= m; ++j) {
                const std::size_t i = j < m ? a[j] : l + 1;
                if (i == 0) continue;
                const auto width =
                    static_cast<std::ptrdiff_t>(i) - static_cast<std::ptrdiff_t>(prev);
                if (width >= kJumpBound || width <= -kJumpBound) {
                    const bool above = width > 0;
                    t.spans[above] += span(prev, width, l);
                    t.wide[above] += 1.0;
                }
                prev = i;
            }
        }
    }

private:
    // The source positions an outer bucket spreads over from position `from` (real positions
    // 1..l and the end, l + 1); 1 for a near width.
    static double span(std::size_t from, std::ptrdiff_t width, std::size_t l) {
        const auto f = static_cast<std::ptrdiff_t>(from), last = static_cast<std::ptrdiff_t>(l) + 1;
        if (width >= kJumpBound)
            return static_cast<double>(std::max<std::ptrdiff_t>(1, last - (f + kJumpBound) + 1));
        if (width <= -kJumpBound)
            return static_cast<double>(std::max<std::ptrdiff_t>(1, f - kJumpBound));
        return 1.0;
    }

    // Where cell c's count is read. A cell the pattern lacks (one pruned) reads the last slot,
    // which stays 0: nothing counts there, and such a cell keeps the prior alone.
    std::size_t slot(CellId c) const { return c == kNoCell ? in_.pattern_cells : c; }
    void count_cell(CellId c, int sign) {
        if (c != kNoCell)
            lex_[c] = static_cast<std::uint32_t>(static_cast<std::int64_t>(lex_[c]) + sign);
    }

    std::uint32_t& fert_count(WordId e, std::uint32_t phi) {
        return fert_[e * (kFertilityCap + 1) + std::min<std::size_t>(phi, kFertilityCap)];
    }

    // n(e) changes, and with it the reciprocal of its translations' denominator, which each
    // draw reads for every source position.
    void count_src(WordId e, int sign) {
        src_[e] = static_cast<std::uint32_t>(static_cast<std::int64_t>(src_[e]) + sign);
        inv_src_[e] = 1.0 / (static_cast<double>(src_[e]) +
                             s_.lexical_prior * static_cast<double>(in_.n_trg));
    }

    void jump(std::size_t from, std::size_t to, int sign) {
        const auto width = static_cast<std::ptrdiff_t>(to) - static_cast<std::ptrdiff_t>(from);
        jumps_[bucket(width)] += sign;
        jump_total_ += sign;
    }

    void count_pair(std::size_t p) {
        const Corpus& c = in_.corpus;
        const auto src = c.src(p);
        const std::size_t l = src.size() - 1, m = c.trg(p).size();
        const auto cells = in_.cells.of(p, scratch_);
        const std::uint32_t* a = links_.data() + c.trg_start(p);
        std::uint32_t* phi = phi_.data() + starts_[p];
        std::size_t prev = 0;
        for (std::size_t j = 0; j < m; ++j) {
            const std::uint32_t i = a[j];
            if (i > l) throw ValueError("a starting link lies beyond its sentence");
            count_cell(cells[i * m + j], 1);
            ++src_[src[i]];
            if (i == 0) {
                ++null_;
                continue;
            }
            ++real_;
            jump(prev, i, 1);
            prev = i;
            ++phi[i];
        }
        jump(prev, l + 1, 1);
        for (std::size_t i = 1; i <= l; ++i) ++fert_count(src[i], phi[i]);
    }

    void draw_pair(std::size_t p, bool fertility, Marginals* marginals) {
        const Corpus& c = in_.corpus;
        const auto src = c.src(p);
        const std::size_t l = src.size() - 1, m = c.trg(p).size();
        const auto cells = in_.cells.of(p, scratch_);
        std::uint32_t* a = links_.data() + c.trg_start(p);
        std::uint32_t* phi = phi_.data() + starts_[p];
        weights_.resize(l + 1);
        const double a_lex = s_.lexical_prior, b = s_.jump_prior, g = s_.fertility_prior;
        for (std::size_t j = 0; j < m; ++j) {
            // The next word's counts lie anywhere in an array far larger than the caches: asked
            // for now, they arrive while this word is drawn.
            if (j + 1 < m) {
                for (std::size_t i = 0; i <= l; ++i)
                    __builtin_prefetch(&lex_[slot(cells[i * m + j + 1])]);
            }
            std::size_t prev = 0, next = l + 1;
            for (std::size_t k = j; k-- > 0;) {
                if (a[k] != 0) {
                    prev = a[k];
                    break;
                }
            }
            for (std::size_t k = j + 1; k < m; ++k) {
                if (a[k] != 0) {
                    next = a[k];
                    break;
                }
            }
            const std::uint32_t old = a[j];
            count_cell(cells[old * m + j], -1);
            count_src(src[old], -1);
            if (old == 0) {
                --null_;
            } else {
                --real_;
                jump(prev, old, -1);
                jump(old, next, -1);
                jump(prev, next, 1);
                --fert_count(src[old], phi[old]);
                --phi[old];
                ++fert_count(src[old], phi[old]);
            }
            const double p_null = (static_cast<double>(null_) + s_.null_prior) /
                                  static_cast<double>(null_ + real_ + 1);
            // A real position's jumps, J(i - prev) J(next - i) / J(next - prev): the
            // normalisers of the three jumps leave one, which `real` holds with the bridge (the
            // jump the draw replaces, weighed without itself) and the NULL link's complement.
            std::array<double, kBuckets> near{};
            for (std::size_t k = 0; k < kBuckets; ++k) near[k] = static_cast<double>(jumps_[k]) + b;
            const auto bridge_width =
                static_cast<std::ptrdiff_t>(next) - static_cast<std::ptrdiff_t>(prev);
            const double jump_norm =
                static_cast<double>(jump_total_) + b * static_cast<double>(kBuckets);
            const double real = (1.0 - p_null) * span(prev, bridge_width, l) /
                                (jump_norm * (near[bucket(bridge_width)] - 1.0));
            const auto weight_of = [&](std::size_t from, std::size_t to) {
                const auto width =
                    static_cast<std::ptrdiff_t>(to) - static_cast<std::ptrdiff_t>(from);
                const double w = near[bucket(width)];
                return width > -kJumpBound && width < kJumpBound ? w : w / span(from, width, l);
            };
            double total = 0.0;
            for (std::size_t i = 0; i <= l; ++i) {
                const WordId e = src[i];
                double w = (lex_[slot(cells[i * m + j])] + a_lex) * inv_src_[e];
                if (i == 0) {
                    w *= p_null;
                } else {
                    w *= real * weight_of(prev, i) * weight_of(i, next);
                    if (fertility) {
                        const double here = fert_count(e, phi[i]);
                        // Position i's own count is among those of its fertility.
                        w *= (fert_count(e, phi[i] + 1) + g) / (here - 1.0 + g);
                    }
                }
                weights_[i] = w;
                total += w;
            }
            double u = rng_.uniform() * total;
            std::uint32_t chosen = static_cast<std::uint32_t>(l);
            for (std::size_t i = 0; i <= l; ++i) {
                if (u < weights_[i]) {
                    chosen = static_cast<std::uint32_t>(i);
                    break;
                }
                u -= weights_[i];
            }
            if (marginals && total > 0.0) {
                const double units = marginals->unit() / total;
                const std::uint64_t token = c.trg_start(p) + j;
                for (std::size_t i = 0; i <= l; ++i) {
                    marginals->add(token, static_cast<std::uint32_t>(i),
                                   static_cast<std::uint32_t>(weights_[i] * units));
                }
            }
            a[j] = chosen;
            count_cell(cells[chosen * m + j], 1);
            count_src(src[chosen], 1);
            if (chosen == 0) {
                ++null_;
            } else {
                ++real_;
                jump(prev, next, -1);
                jump(prev, chosen, 1);
                jump(chosen, next, 1);
                --fert_count(src[chosen], phi[chosen]);
                ++phi[chosen];
                ++fert_count(src[chosen], phi[chosen]);
            }
        }
    }

    const SamplerInput& in_;
    const GibbsSettings& s_;
    Generator rng_;
    std::vector<std::uint32_t> lex_, src_, fert_;
    std::array<std::int64_t, kBuckets> jumps_{};
    std::int64_t jump_total_ = 0, null_ = 0, real_ = 0;
    std::vector<std::uint32_t> links_;
    std::vector<std::uint64_t> starts_;  // each pair's first source position in phi_
    std::vector<std::uint32_t> phi_;     // the fertility of every source position
    std::vector<CellId> scratch_;
    std::vector<double> weights_, inv_src_;
};

SampledDirection estimate(const SamplerInput& in, const GibbsSettings& s, Totals& t,
                          Marginals&& marginals) {
    const auto chains = static_cast<double>(s.chains);
    // Each cell's value takes the place of its summed counts, which only it reads.
    SampledDirection out{std::move(marginals), std::move(*t.lex), std::vector<double>(in.n_src),
                         JumpTable{}};
    const double a_lex_v = s.lexical_prior * static_cast<double>(in.n_trg);
    // Every cell of a word's row shares its denominator; the cells are found through the
    // corpus, as the pattern's rows are not at hand here.
    for (std::size_t e = 0; e < in.n_src; ++e)
        out.row_default[e] = s.lexical_prior / (t.src[e] / chains + a_lex_v);
    std::vector<CellId> scratch;
    std::vector<bool> done(in.pattern_cells, false);
    for (std::size_t p = 0; p < in.corpus.size(); ++p) {
        const auto src = in.corpus.src(p);
        const std::size_t m = in.corpus.trg(p).size();
        const auto cells = in.cells.of(p, scratch);
        for (std::size_t i = 0; i < src.size(); ++i) {
            for (std::size_t j = 0; j < m; ++j) {
                const CellId cell = cells[i * m + j];
                if (cell == kNoCell || done[cell]) continue;
                done[cell] = true;
                out.values[cell] = (out.values[cell] / chains + s.lexical_prior) /
                                   (t.src[src[i]] / chains + a_lex_v);
            }
        }
    }
    for (std::size_t b = 0; b < kBuckets; ++b)
        out.jumps.weight[b] = t.jumps[b] / chains + s.jump_prior;
    for (const std::size_t side : {std::size_t{0}, std::size_t{1}}) {
        const std::size_t b = side == 0 ? 0 : kBuckets - 1;
        if (t.wide[side] > 0.0) out.jumps.weight[b] /= t.spans[side] / t.wide[side];
    }
    // Weights that sum to 1, as the HMM's jump files hold them.
    double sum = 0.0;
    for (const double w : out.jumps.weight) sum += w;
    for (double& w : out.jumps.weight) w /= sum;
    out.jumps.null_prob =
        (t.null / chains + s.null_prior) / (t.null / chains + t.real / chains + 1.0);
    return out;
}

}  // namespace

std::int32_t default_sampling_iterations(std::size_t pairs) {
    if (pairs == 0) return kMostSamplingIterations;
    const double n = 50.0 * std::sqrt(10000.0 / static_cast<double>(pairs));
    return static_cast<std::int32_t>(std::clamp(std::lround(n), 5L, long{kMostSamplingIterations}));
}

std::size_t sampling_memory(const Corpus& corpus, std::size_t cells) {
    const std::size_t pair_starts = 3 * (corpus.size() + 1) * sizeof(std::uint64_t);
    // The starting links and a chain's links, its fertilities, its counts and the cells an
    // estimate has done.
    const std::size_t chain = 2 * corpus.trg_tokens() * sizeof(std::uint32_t) +
                              corpus.src_tokens() * sizeof(std::uint32_t) +
                              cells * sizeof(std::uint32_t) + cells / 8;
    const std::size_t marginals =
        corpus.trg_tokens() * Marginals::kSlots * 2 * sizeof(std::uint16_t);
    return marginals + pair_starts + chain;
}

std::vector<SampledDirection> sample_directions(Host& host, std::span<const SamplerInput> inputs,
                                                const GibbsSettings& settings) {
    const std::size_t n = inputs.size();
    const auto hmm = static_cast<std::size_t>(std::max(settings.iterations, 0));
    const auto fert = static_cast<std::size_t>(std::max(settings.fertility_iterations, 0));
    const std::size_t steps = hmm + fert;
    // The second half of the last phase (its last draw at least) adds to the marginals, up to
    // kMostKeptDraws draws of all chains, which their 16 bits hold to 1 / 16 of a draw.
    const auto chains = static_cast<std::size_t>(std::max(settings.chains, 1));
    const std::size_t last_phase = fert > 0 ? fert : hmm;
    const std::size_t kept =
        steps == 0 ? 0
                   : std::min(std::max<std::size_t>(1, last_phase / 2 + last_phase % 2),
                              std::max<std::size_t>(1, kMostKeptDraws / chains));
    const std::size_t first_kept = steps - kept;
    std::vector<Marginals> marginals;
    std::vector<Totals> totals(n);
    for (std::size_t d = 0; d < n; ++d) {
        marginals.emplace_back(inputs[d].corpus, chains * kept);
        if (inputs[d].sums_in)
            totals[d].lex.emplace(inputs[d].sums_in);
        else
            totals[d].lex.emplace(std::vector<double>(inputs[d].pattern_cells, 0.0));
        totals[d].src.assign(inputs[d].n_src, 0.0);
    }
    const std::size_t pairs = n > 0 ? inputs[0].corpus.size() : 0;
    auto progress = host.progress("sampling", chains * steps * pairs);
    for (std::size_t k = 0; k < chains; ++k) {
        std::vector<std::unique_ptr<Chain>> running(n);
        parallel_for(n, n, [&](std::size_t d, std::size_t) {
            running[d] =
                std::make_unique<Chain>(inputs[d], settings, chain_seed(settings.seed, d, k));
        });
        for (std::size_t step = 0; step < steps && pairs > 0; ++step) {
            const bool fertility = step >= hmm;
            const bool keep = step >= first_kept;
            for (std::size_t begin = 0; begin < pairs; begin += kBlockPairs) {
                host.check_interrupt();
                const std::size_t end = std::min(pairs, begin + kBlockPairs);
                parallel_for(n, n, [&](std::size_t d, std::size_t) {
                    running[d]->sweep(begin, end, fertility, keep ? &marginals[d] : nullptr);
                });
                progress->advance(end - begin);
            }
        }
        for (std::size_t d = 0; d < n; ++d) {
            running[d]->add_counts(totals[d]);
        }
    }
    std::vector<SampledDirection> out;
    for (std::size_t d = 0; d < n; ++d) {
        marginals[d].finish();
        out.push_back(estimate(inputs[d], settings, totals[d], std::move(marginals[d])));
    }
    return out;
}

}  // namespace zel::align
