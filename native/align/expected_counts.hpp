// The E-step's additions to the expected counts, made in pair order for any thread count.
//
// Translation counts: the target words are dealt out to the threads (`TargetShares`). Every
// thread walks all pairs of a block in order and handles only the target positions whose
// word is its own: it reads their cells' values, sums their columns and adds their posteriors.
// A cell (s, t) is then read and added to by the thread of t alone, in pair order, and within
// a pair in the order one thread adds (source position, then target position), so every count
// receives its additions in the order one thread makes them, and its value and count are
// touched once, in one cache line (see `TransTable`'s count slots).
//
// Alignment counts (Model 2): a pair adds once to each cell of its block, but the pairs of a
// block have their target words in several shares, so the posteriors of a block of pairs are
// kept (`PosteriorBlock`) and added afterwards, each alignment block by one thread, in pair
// order.
//
// Which thread adds to a count depends on the count's cell only, never on timing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <ranges>
#include <span>
#include <string_view>
#include <vector>

#include "align/corpus.hpp"
#include "align/pair_blocks.hpp"
#include "align/tables.hpp"

namespace zel::align {

// The target words of a corpus dealt out to `shares` threads, each word to one, so that the
// cells their columns visit (source length, NULL included, per token) weigh about the same.
class TargetShares {
public:
    TargetShares(const Corpus& corpus, std::size_t shares);

    std::size_t size() const { return shares_; }
    // Calls f(positions) with the target positions of `trg` whose word is in share k, in
    // order, unless there are none: as a plain range when they are all of them, so the kernels
    // index nothing then (always, with one share), else as a list made in `scratch`.
    template <class F>
    void visit(std::span<const WordId> trg, std::size_t k, std::vector<std::uint32_t>& scratch,
               F&& f) const {
        const auto all = std::views::iota(std::uint32_t{0}, static_cast<std::uint32_t>(trg.size()));
        if (trg.empty()) return;
        if (shares_ == 1) return f(all);
        scratch.clear();
        for (const std::uint32_t j : all) {
            if (share_of_[trg[j]] == k) scratch.push_back(j);
        }
        if (scratch.size() == trg.size()) return f(all);
        if (!scratch.empty()) f(std::span<const std::uint32_t>(scratch));
    }

private:
    std::size_t shares_;
    std::vector<std::uint16_t> share_of_;  // by target word id
};

// What a share's thread holds for the pair it works on.
struct ShareScratch {
    std::vector<CellId> cells;
    std::vector<std::uint32_t> positions;
    std::vector<double> column;
    std::vector<double> post;
};

// Scratch space for each of `shares` threads, large enough for every pair of the corpus (the
// kernels allocate nothing while the threads run).
std::vector<ShareScratch> share_scratch(const Corpus& corpus, std::size_t shares);

// The posteriors of the pairs of one block, l * m of each, row-major; one pair's on one thread,
// whose kernels add the alignment counts as each pair is done.
class PosteriorBlock {
public:
    PosteriorBlock(const Corpus& corpus, std::size_t threads);

    // Pair p's posteriors (p in the block being computed).
    double* values(std::size_t p) { return values_.data() + offset(p); }

    // Adds the posteriors of the block's pairs [begin, end) to the alignment counts, on the
    // threads (several threads only).
    void add_align(const AlignTable& align, std::vector<double>& counts, std::size_t begin,
                   std::size_t end);

private:
    std::size_t offset(std::size_t p) const {
        return threads_ == 1 ? 0 : static_cast<std::size_t>(first_[p] - first_[p - p % kBlock]);
    }

    const Corpus& corpus_;
    std::size_t threads_;
    std::vector<std::uint64_t> first_;  // first posterior of pair p, counted over the corpus
    std::vector<double> values_;
};

// Makes `counts` hold `size` zeros, reusing its memory when it has the size already (a count
// table is replaced by every E-step); `what` names the table if memory runs out.
void zero_counts(std::optional<std::vector<double>>& counts, std::size_t size,
                 std::string_view what);

}  // namespace zel::align
