#include "align/hmm/passes.hpp"

#include <algorithm>
#include <cmath>

#include "align/corpus/pair_blocks.hpp"
#include "align/tables/expected_counts.hpp"
#include "common/digamma.hpp"
#include "common/format.hpp"
#include "common/parallel.hpp"

namespace zel::align {

namespace {

// Counted onto every jump width at each re-estimation, so no width the corpus never showed
// becomes impossible for a later corpus.
constexpr double kJumpPrior = 0.1;

// Pairs of an E-step block: few enough that the table lines the forward-backward passes read
// are still in the last-level cache when the block's counts are added to them.
constexpr std::size_t kHmmBlock = 256;

// The agreed posterior of the link between source position i (1-based) and target position j
// of a pair: the product of the two directions' posteriors, `forward` m rows of l + 1 (NULL
// first), `backward` l rows of m + 1.
double agreed(const double* forward, const double* backward, std::size_t l, std::size_t m,
              std::size_t i, std::size_t j) {
    return forward[j * (l + 1) + i] * backward[(i - 1) * (m + 1) + j + 1];
}

}  // namespace

void normalize_rows_vb(TransTable& table, const CellCounts& counts, double a, std::size_t vocab) {
    const CooccurrencePattern& p = table.pattern();
    const std::size_t threads = thread_count();
    const std::size_t parts = threads == 1 ? 1 : threads * 8;
    parallel_for(parts, threads, [&](std::size_t part, std::size_t) {
        for (std::size_t s = p.rows() * part / parts; s < p.rows() * (part + 1) / parts; ++s) {
            double total = 0.0;
            for (std::size_t c = p.row_begin(s); c < p.row_end(s); ++c) total += counts[c];
            const double norm = digamma(total + a * static_cast<double>(vocab));
            for (std::size_t c = p.row_begin(s); c < p.row_end(s); ++c)
                table.set_value(c, std::exp(digamma(counts[c] + a) - norm));
            table.row_default[s] = std::exp(digamma(a) - norm);
        }
    });
}

JumpTable reestimate_jumps(const JumpCounts& counts, std::optional<double> null_prob) {
    JumpTable table = counts.estimate(kJumpPrior);
    if (null_prob) table.null_prob = *null_prob;
    return table;
}

void HmmPasses::fill_emissions(int d, std::size_t p, HmmLattice& lattice,
                               std::vector<CellId>& cells) const {
    const Model1Trainer& t = direction(d);
    const auto src = t.sent_pairs->src(p);
    const std::size_t n = src.size(), m = t.sent_pairs->trg(p).size();
    const auto found = t.pair_cells->of(p, cells);
    const TransTable& trans = *t.model->trans_dist;
    lattice.reset(n - 1, m);
    // The cells lie anywhere in a table far larger than the caches: all are asked of memory
    // before any is read, so the pair waits on memory about once.
    const double* values = trans.value_data();
    for (const CellId c : found) {
        if (c != kNoCell) __builtin_prefetch(values + std::size_t{c} * trans.stride());
    }
    double* emit = lattice.emit();
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < m; ++j)
            emit[j * n + i] = trans_value(trans, found[i * m + j], src[i]);
    }
}

double HmmPasses::pair_posteriors(int d, std::size_t p, HmmLattice& lattice,
                                  std::vector<CellId>& cells, std::vector<double>& post,
                                  JumpCounts* counts) const {
    fill_emissions(d, p, lattice, cells);
    const Corpus& corpus = *direction(d).sent_pairs;
    post.resize(corpus.src(p).size() * corpus.trg(p).size());
    return lattice.posteriors(jumps_[static_cast<std::size_t>(d)], post.data(), counts);
}

void write_jumps(Host& host, const JumpTable& table, const std::string& path) {
    LineWriter out(host.open_write(path));
    out.line() = "null\t" + fmt::float_repr(table.null_prob);
    out.end_line();
    for (std::size_t b = 0; b < kJumpBuckets; ++b) {
        out.line() = std::to_string(static_cast<std::ptrdiff_t>(b) - kJumpBound) + "\t" +
                     fmt::float_repr(table.weight[b]);
        out.end_line();
    }
    out.close();
}

std::array<double, 2> HmmPasses::expect(Host& host, bool agreement,
                                        const std::array<std::optional<CellCounts>*, 2>& counts,
                                        std::array<JumpCounts, 2>& jumps) const {
    const Corpus& a = *direction(0).sent_pairs;
    const Corpus& b = *direction(1).sent_pairs;
    const std::size_t pairs = a.size(), threads = thread_count();
    for (int d = 0; d < 2; ++d)
        zero_cell_counts(*counts[static_cast<std::size_t>(d)], direction(d).model->trans_dist);
    // Each pair's counts of both directions (l + 1 rows of m, as its cells lie) in the block's
    // buffer, at the pair's offset from its block's first pair: first[p] counted over the
    // corpus, the buffer as large as the largest block needs.
    const auto offsets = [&](const Corpus& corpus, std::vector<std::uint64_t>& first,
                             std::vector<double>& block) {
        first.assign(pairs + 1, 0);
        std::uint64_t widest = 0;
        for (std::size_t p = 0; p < pairs; ++p) {
            first[p + 1] = first[p] + corpus.src(p).size() * corpus.trg(p).size();
            if (p % kHmmBlock == kHmmBlock - 1 || p + 1 == pairs)
                widest = std::max(widest, first[p + 1] - first[p - p % kHmmBlock]);
        }
        block.resize(widest);
    };
    std::vector<std::uint64_t> first, first_b;
    std::vector<double> block_a, block_b;
    offsets(a, first, block_a);
    offsets(b, first_b, block_b);
    std::array<std::vector<JumpCounts>, 2> pair_jumps{std::vector<JumpCounts>(kHmmBlock),
                                                      std::vector<JumpCounts>(kHmmBlock)};
    std::array<std::vector<double>, 2> loglik{std::vector<double>(kHmmBlock),
                                              std::vector<double>(kHmmBlock)};
    std::vector<PairScratch> scratch(threads);
    const TargetShares shares_a(a, threads), shares_b(b, threads);
    std::array<double, 2> logs{};
    auto progress = host.progress("HMM", pairs);
    for_blocks<kHmmBlock>(
        host, *progress, pairs, threads, nullptr,
        [&](std::size_t p, std::size_t worker) {
            PairScratch& s = scratch[worker];
            const std::size_t k = p % kHmmBlock;
            const std::size_t l = a.src(p).size() - 1, m = a.trg(p).size();
            pair_jumps[0][k] = {};
            pair_jumps[1][k] = {};
            const double ll_a =
                pair_posteriors(0, p, s.lattice, s.cells, s.post_a, &pair_jumps[0][k]);
            const double ll_b =
                pair_posteriors(1, p, s.lattice, s.cells, s.post_b, &pair_jumps[1][k]);
            loglik[0][k] = ll_a;
            loglik[1][k] = ll_b;
            double* ca = block_a.data() + (first[p] - first[p - k]);
            double* cb = block_b.data() + (first_b[p] - first_b[p - k]);
            const bool ok_a = std::isfinite(ll_a), ok_b = std::isfinite(ll_b);
            // A: (l + 1) x m at i * m + j; B: (m + 1) x l at j * l + i, its positions 1-based
            // on the source side like A's.
            std::fill(ca, ca + (l + 1) * m, 0.0);
            std::fill(cb, cb + (m + 1) * l, 0.0);
            const double* pa = s.post_a.data();  // m rows of l + 1
            const double* pb = s.post_b.data();  // l rows of m + 1
            if (!agreement) {
                if (ok_a) {
                    for (std::size_t j = 0; j < m; ++j)
                        for (std::size_t i = 0; i <= l; ++i) ca[i * m + j] = pa[j * (l + 1) + i];
                }
                if (ok_b) {
                    for (std::size_t i = 0; i < l; ++i)
                        for (std::size_t j = 0; j <= m; ++j) cb[j * l + i] = pb[i * (m + 1) + j];
                }
                return;
            }
            if (!ok_a || !ok_b) return;
            for (std::size_t i = 1; i <= l; ++i) {
                for (std::size_t j = 0; j < m; ++j) {
                    const double q = agreed(pa, pb, l, m, i, j);
                    ca[i * m + j] = q;
                    cb[(j + 1) * l + (i - 1)] = q;
                }
            }
            for (std::size_t j = 0; j < m; ++j) {
                double linked = 0.0;
                for (std::size_t i = 1; i <= l; ++i) linked += ca[i * m + j];
                ca[j] = 1.0 - linked;
            }
            for (std::size_t i = 0; i < l; ++i) {
                double linked = 0.0;
                for (std::size_t j = 1; j <= m; ++j) linked += cb[j * l + i];
                cb[i] = 1.0 - linked;
            }
        },
        [&](std::size_t begin, std::size_t end) {
            // Translation counts: each target word's cells by the thread of its share, in
            // pair order.
            parallel_for(threads, threads, [&](std::size_t k, std::size_t worker) {
                PairScratch& s = scratch[worker];
                for (int d = 0; d < 2; ++d) {
                    const Model1Trainer& t = direction(d);
                    const Corpus& corpus = *t.sent_pairs;
                    CellCounts& cell = **counts[static_cast<std::size_t>(d)];
                    const TargetShares& shares = d == 0 ? shares_a : shares_b;
                    for (std::size_t p = begin; p < end; ++p) {
                        const double* block = d == 0
                                                  ? block_a.data() + (first[p] - first[begin])
                                                  : block_b.data() + (first_b[p] - first_b[begin]);
                        const std::size_t n = corpus.src(p).size(), m = corpus.trg(p).size();
                        shares.visit(corpus.trg(p), k, s.positions, [&](const auto& mine) {
                            const auto cells = t.pair_cells->of(p, s.cells, mine);
                            for (std::size_t i = 0; i < n; ++i) {
                                for (const std::uint32_t j : mine) {
                                    const CellId c = cells[i * m + j];
                                    if (c != kNoCell) cell[c] += block[i * m + j];
                                }
                            }
                        });
                    }
                }
            });
            for (std::size_t p = begin; p < end; ++p) {
                const std::size_t k = p - begin;
                for (std::size_t d = 0; d < 2; ++d) {
                    jumps[d].add(pair_jumps[d][k]);
                    logs[d] += loglik[d][k];
                }
            }
        });
    return logs;
}

template <class F>
void HmmPasses::each_pair(Host& host, const std::string& label, F&& f) const {
    const std::size_t pairs = direction(0).sent_pairs->size();
    std::vector<PairScratch> scratch(thread_count());
    auto progress = host.progress(label, pairs);
    for_blocks(
        host, *progress, pairs, scratch.size(), nullptr,
        [&](std::size_t p, std::size_t worker) { f(p, scratch[worker]); },
        [](std::size_t, std::size_t) {});
}

std::vector<std::uint32_t> HmmPasses::best_positions(Host& host, int d) const {
    const Corpus& corpus = *direction(d).sent_pairs;
    std::vector<std::uint32_t> out(corpus.trg_tokens());
    each_pair(host, std::string("Viterbi ") + direction_name(d),
              [&](std::size_t p, PairScratch& s) {
                  pair_best(d, p, s);
                  std::copy(s.best.begin(), s.best.end(),
                            out.begin() + static_cast<std::ptrdiff_t>(corpus.trg_start(p)));
              });
    return out;
}

std::vector<std::vector<links::Link>> HmmPasses::viterbi(Host& host, int d) const {
    const Corpus& corpus = *direction(d).sent_pairs;
    const std::vector<std::uint32_t> best = best_positions(host, d);
    std::vector<std::vector<links::Link>> out(corpus.size());
    for (std::size_t p = 0; p < corpus.size(); ++p) {
        const std::uint32_t* a = best.data() + corpus.trg_start(p);
        std::vector<links::Link>& links = out[p];
        for (std::uint32_t j = 0; j < corpus.trg(p).size(); ++j) {
            if (a[j] == 0) continue;
            links.push_back(d == 0 ? links::Link{a[j] - 1, j} : links::Link{j, a[j] - 1});
        }
        std::sort(links.begin(), links.end());
    }
    return out;
}

std::vector<std::vector<links::Link>> HmmPasses::posterior_links(
    Host& host, double threshold, std::vector<std::vector<double>>* posteriors) const {
    const Corpus& a = *direction(0).sent_pairs;
    std::vector<std::vector<links::Link>> out(a.size());
    if (posteriors) posteriors->assign(a.size(), {});
    each_pair(host, "posterior links", [&](std::size_t p, PairScratch& s) {
        const std::size_t l = a.src(p).size() - 1, m = a.trg(p).size();
        if (!pair_both_ways(p, s)) return;
        for (std::size_t i = 1; i <= l; ++i) {
            for (std::size_t j = 0; j < m; ++j) {
                const double q = agreed(s.post_a.data(), s.post_b.data(), l, m, i, j);
                if (q < threshold) continue;
                out[p].push_back(
                    {static_cast<std::uint32_t>(i - 1), static_cast<std::uint32_t>(j)});
                if (posteriors) (*posteriors)[p].push_back(q);
            }
        }
    });
    return out;
}

std::vector<std::vector<double>> HmmPasses::link_posteriors(
    Host& host, const std::vector<std::vector<links::Link>>& links) const {
    const Corpus& a = *direction(0).sent_pairs;
    std::vector<std::vector<double>> out(a.size());
    each_pair(host, "link posteriors", [&](std::size_t p, PairScratch& s) {
        out[p].assign(links[p].size(), 0.0);
        if (!pair_both_ways(p, s)) return;
        const std::size_t l = a.src(p).size() - 1, m = a.trg(p).size();
        for (std::size_t k = 0; k < links[p].size(); ++k)
            out[p][k] = agreed(s.post_a.data(), s.post_b.data(), l, m, links[p][k].src + 1,
                               links[p][k].trg);
    });
    return out;
}

void HmmPasses::pair_best(int d, std::size_t p, PairScratch& s) const {
    const Corpus& corpus = *direction(d).sent_pairs;
    const std::size_t width = corpus.src(p).size(), m = corpus.trg(p).size();
    s.best.resize(m);
    if (const Marginals* sampled = sampled_[static_cast<std::size_t>(d)]) {
        // The most probable position of each word on its own; ties go to the lowest, NULL first.
        sampled->fill(p, s.sampled);
        const std::uint16_t* row = s.sampled.data();
        for (std::size_t j = 0; j < m; ++j, row += width)
            s.best[j] = static_cast<std::uint32_t>(std::max_element(row, row + width) - row);
        return;
    }
    fill_emissions(d, p, s.lattice, s.cells);
    s.lattice.viterbi(jumps_[static_cast<std::size_t>(d)], s.best.data());
}

bool HmmPasses::pair_both_ways(std::size_t p, PairScratch& s) const {
    if (sampled_[0] && sampled_[1]) {
        for (int d = 0; d < 2; ++d) {
            sampled_[static_cast<std::size_t>(d)]->fill(p, s.sampled);
            std::vector<double>& post = d == 0 ? s.post_a : s.post_b;
            post.resize(s.sampled.size());
            for (std::size_t k = 0; k < post.size(); ++k)
                post[k] = s.sampled[k] / static_cast<double>(Marginals::kOne);
        }
        return true;
    }
    const double ll_a = pair_posteriors(0, p, s.lattice, s.cells, s.post_a, nullptr);
    const double ll_b = pair_posteriors(1, p, s.lattice, s.cells, s.post_b, nullptr);
    return std::isfinite(ll_a) && std::isfinite(ll_b);
}

std::vector<std::vector<links::Link>> HmmPasses::symmetrized_links(
    Host& host, links::Heuristic heuristic, std::vector<std::vector<links::Link>>* forward,
    std::vector<std::vector<links::Link>>* backward) const {
    auto fwd = viterbi(host, 0);
    const auto bwd = viterbi(host, 1);
    if (forward) *forward = fwd;
    if (backward) *backward = bwd;
    const Corpus& corpus = *direction(0).sent_pairs;
    for (std::size_t p = 0; p < fwd.size(); ++p) {
        fwd[p] = links::combine(fwd[p], bwd[p], corpus.src(p).size() - 1, corpus.trg(p).size(),
                                heuristic);
    }
    return fwd;
}

void HmmPasses::save_symmetrized_links(Host& host, const std::string& path,
                                       links::Heuristic heuristic,
                                       const std::optional<std::string>& forward,
                                       const std::optional<std::string>& backward,
                                       const std::optional<std::string>& posteriors) const {
    std::vector<std::vector<links::Link>> fwd, bwd;
    const auto combined =
        symmetrized_links(host, heuristic, forward ? &fwd : nullptr, backward ? &bwd : nullptr);
    if (forward) save_links(host, *forward, fwd);
    if (backward) save_links(host, *backward, bwd);
    save_links(host, path, combined);
    if (posteriors)
        save_link_posteriors(host, *posteriors, combined, link_posteriors(host, combined));
}

void HmmPasses::save_scores(Host& host, int d, const std::string& path) const {
    const Corpus& corpus = *direction(d).sent_pairs;
    std::vector<double> scores(corpus.size());
    each_pair(host, "scores", [&](std::size_t p, PairScratch& s) {
        const double ll = pair_posteriors(d, p, s.lattice, s.cells, s.post_a, nullptr);
        const std::size_t m = corpus.trg(p).size();
        scores[p] = m == 0 ? 0.0 : -ll / static_cast<double>(m);
    });
    LineWriter out(host.open_write(path));
    for (const double h : scores) {
        fmt::append_float_repr(out.line(), h);
        out.end_line();
    }
    out.close();
}

void HmmPasses::save_links(Host& host, const std::string& path,
                           const std::vector<std::vector<links::Link>>& links) {
    LineWriter out(host.open_write(path));
    std::string line;
    for (const auto& pair : links) {
        line.clear();
        links::append_links(line, pair);
        out.write_lines(line);
    }
    out.close();
}

void HmmPasses::save_link_posteriors(Host& host, const std::string& path,
                                     const std::vector<std::vector<links::Link>>& links,
                                     const std::vector<std::vector<double>>& posteriors) {
    LineWriter out(host.open_write(path));
    for (std::size_t p = 0; p < links.size(); ++p) {
        std::string& line = out.line();
        for (std::size_t k = 0; k < links[p].size(); ++k) {
            if (k) line += ' ';
            line += std::to_string(links[p][k].src) + '-' + std::to_string(links[p][k].trg) + ' ';
            fmt::append_float_repr(line, posteriors[p][k]);
        }
        out.end_line();
    }
    out.close();
}

}  // namespace zel::align
