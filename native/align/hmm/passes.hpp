// The passes of the HMM alignment model over one corpus read both ways: its E-step (by EM or by
// agreement of the two directions), its links and its scores. Two Model 1 trainers hold the
// corpus, cells and translation tables of each direction; the passes only read them, and the
// E-step writes its counts where it is told. One process trains with these passes, and so does
// each shard of a corpus trained in several processes.
//
// Agreement (Liang, Taskar and Klein 2006): each E-step computes both directions' link
// posteriors of a pair and multiplies them per (source position, target position); both
// directions' translation counts come from these products, a word's NULL count from what its
// products leave of 1. Each direction's jump counts are its own forward-backward's.
//
// Every sum over pairs is made in pair order (jump counts and log-likelihoods on the calling
// thread, translation counts by the thread owning the target word), so results are the same for
// any thread count.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "align/hmm/lattice.hpp"
#include "align/hmm/marginals.hpp"
#include "align/ibm/model1.hpp"
#include "align/links/links.hpp"
#include "common/host.hpp"

namespace zel::align {

// Direction 0 is source to target, 1 target to source, as the files and messages name them.
inline const char* direction_name(int d) { return d == 0 ? "src-trg" : "trg-src"; }

// Variational Bayes re-estimation of every row of `table` with a symmetric Dirichlet prior `a`
// over `vocab` target words: t(f | e) = exp(digamma(n(e, f) + a)) / exp(digamma(n(e) + a V)),
// which pushes rare words towards few translations.
void normalize_rows_vb(TransTable& table, const CellCounts& counts, double a, std::size_t vocab);

// The jump table the counts give; `null_prob`, when set, is kept instead of the estimate.
JumpTable reestimate_jumps(const JumpCounts& counts, std::optional<double> null_prob);

// The jump file: "null<TAB>p0", then "width<TAB>weight" from -kJumpBound to kJumpBound.
void write_jumps(Host& host, const JumpTable& table, const std::string& path);

class HmmPasses {
public:
    // Direction 0 is source to target, 1 target to source: `forward` reads the corpus one way,
    // `backward` the other, pair for pair.
    // With `sampled`, each direction's link posteriors are those marginals instead of the
    // forward-backward's, for its links (not its scores, nor the E-step).
    HmmPasses(const Model1Trainer& forward, const Model1Trainer& backward,
              const std::array<JumpTable, 2>& jumps,
              std::array<const Marginals*, 2> sampled = {nullptr, nullptr})
        : dirs_{&forward, &backward}, jumps_(jumps), sampled_(sampled) {}

    // One E-step under the current tables: each direction's translation counts into
    // `counts[d]` (one per cell of its table), its jump counts added to `jumps[d]`; gives each
    // direction's sum of the pairs' log-likelihoods.
    std::array<double, 2> expect(Host& host, bool agreement,
                                 const std::array<std::optional<CellCounts>*, 2>& counts,
                                 std::array<JumpCounts, 2>& jumps) const;

    // Direction d's most probable source position of every target word (0 for NULL), in
    // corpus order.
    std::vector<std::uint32_t> best_positions(Host& host, int d) const;
    // Each direction's most probable links, source-target orientation, one "i-j" line a pair.
    std::vector<std::vector<links::Link>> viterbi(Host& host, int d) const;
    // Links whose posterior (the product of the two directions') is at least `threshold`;
    // with `posteriors`, each link's posterior too.
    std::vector<std::vector<links::Link>> posterior_links(
        Host& host, double threshold, std::vector<std::vector<double>>* posteriors = nullptr) const;
    // The posterior (the product of the two directions') of each of `links`, pair by pair.
    std::vector<std::vector<double>> link_posteriors(
        Host& host, const std::vector<std::vector<links::Link>>& links) const;
    // Both directions' most probable links combined by `heuristic`; each direction's own
    // links also into `forward` and `backward`, when given.
    std::vector<std::vector<links::Link>> symmetrized_links(
        Host& host, links::Heuristic heuristic,
        std::vector<std::vector<links::Link>>* forward = nullptr,
        std::vector<std::vector<links::Link>>* backward = nullptr) const;
    // Both directions' most probable links combined by `heuristic`, to `path`; each
    // direction's own links also to `forward` and `backward`, and the combined links'
    // posteriors to `posteriors`, when given.
    void save_symmetrized_links(Host& host, const std::string& path, links::Heuristic heuristic,
                                const std::optional<std::string>& forward,
                                const std::optional<std::string>& backward,
                                const std::optional<std::string>& posteriors = std::nullopt) const;
    // Each pair's entropy under direction d (per target word, natural logarithm), a line a pair.
    void save_scores(Host& host, int d, const std::string& path) const;

    // One "i-j" line a pair.
    static void save_links(Host& host, const std::string& path,
                           const std::vector<std::vector<links::Link>>& links);
    // One line a pair of "i-j p" tokens: each link and its posterior.
    static void save_link_posteriors(Host& host, const std::string& path,
                                     const std::vector<std::vector<links::Link>>& links,
                                     const std::vector<std::vector<double>>& posteriors);

private:
    // What a thread holds for the pair it works on.
    struct PairScratch {
        HmmLattice lattice;
        std::vector<CellId> cells;
        std::vector<double> post_a, post_b;
        std::vector<std::uint32_t> best;       // Viterbi's positions
        std::vector<std::uint32_t> positions;  // a thread's share of a pair's target positions
        std::vector<std::uint16_t> sampled;    // a pair's sampled marginals
    };
    const Model1Trainer& direction(int d) const { return *dirs_[static_cast<std::size_t>(d)]; }
    // f(p, scratch) for every pair on the threads, with a progress display under `label`.
    template <class F>
    void each_pair(Host& host, const std::string& label, F&& f) const;
    // Pair p's emissions under direction d into `lattice`, reset to the pair's lengths.
    void fill_emissions(int d, std::size_t p, HmmLattice& lattice,
                        std::vector<CellId>& cells) const;
    // Pair p's posteriors of direction d into post (m rows of l + 1); its log-likelihood.
    double pair_posteriors(int d, std::size_t p, HmmLattice& lattice, std::vector<CellId>& cells,
                           std::vector<double>& post, JumpCounts* counts) const;
    // Pair p's posteriors of both directions into s.post_a and s.post_b; false when either
    // direction gives the pair no probability (and so no posterior).
    bool pair_both_ways(std::size_t p, PairScratch& s) const;

    // Pair p's most probable links of direction d into s.best (0 for NULL).
    void pair_best(int d, std::size_t p, PairScratch& s) const;

    std::array<const Model1Trainer*, 2> dirs_;
    std::array<JumpTable, 2> jumps_;
    std::array<const Marginals*, 2> sampled_;
};

}  // namespace zel::align
