// The E-step's additions to the expected counts, made in pair order for any thread count.
//
// Translation counts: the target words are shared out to the threads (`TargetShares`). Every
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
// Which thread adds to a count may change from block to block (the shares follow the threads'
// timings), but within a block one thread adds all of a count's additions, and blocks are done
// one after the other: no result depends on the shares.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <ranges>
#include <span>
#include <string_view>
#include <vector>

#include "align/corpus/corpus.hpp"
#include "align/corpus/pair_blocks.hpp"
#include "align/tables/probability_tables.hpp"
#include "common/float_flags.hpp"
#include "common/host.hpp"
#include "common/parallel.hpp"

namespace zel::align {

// The target words of a corpus shared out to `shares` threads as ranges of word ids. A row of
// the translation table holds its cells in target order, so a range keeps a row's cells of
// one thread together: two threads writing counts in one cache line would pass the line to and
// fro on every addition, which made the threads' work a third slower than the share of cells
// they had. The ranges start at equal weights (cells visited: source length, NULL included, per
// token); as frequent words' cells stay in the caches and rare words' cells do not, a cell's
// cost differs, and after each block the ranges move towards equal time.
class TargetShares {
public:
    TargetShares(const Corpus& corpus, std::size_t shares);

    std::size_t size() const { return cuts_.size() - 1; }
    // Share k holds the target words [cut(k), cut(k + 1)); the last share every word from its
    // cut on.
    WordId cut(std::size_t k) const { return cuts_[k]; }

    // Calls f(positions) with the target positions of `trg` whose word is in share k, in
    // order, unless there are none: as a plain range when they are all of them, so the kernels
    // index nothing then (always, with one share), else as a list made in `scratch`.
    template <class F>
    void visit(std::span<const WordId> trg, std::size_t k, std::vector<std::uint32_t>& scratch,
               F&& f) const {
        const auto all = std::views::iota(std::uint32_t{0}, static_cast<std::uint32_t>(trg.size()));
        if (trg.empty()) return;
        if (size() == 1) return f(all);
        const WordId lo = cuts_[k];
        const bool last = k + 1 == size();
        const WordId hi = last ? 0 : cuts_[k + 1];
        // Without a branch on each word: which share a word falls in is a coin toss.
        scratch.resize(trg.size());
        std::size_t n = 0;
        for (const std::uint32_t j : all) {
            scratch[n] = j;
            n += static_cast<std::size_t>(trg[j] >= lo) &
                 static_cast<std::size_t>(last || trg[j] < hi);
        }
        if (n == trg.size()) return f(all);
        if (n > 0) f(std::span<const std::uint32_t>(scratch.data(), n));
    }

    // Moves the cuts half way towards where the shares would have taken equal time, had each
    // share's time been spread evenly over its weight.
    void rebalance(std::span<const double> seconds);

    // For each block [begin, end) of the pairs [0, total): each(p, k) for every pair of the
    // block, in pair order, by the thread of every share k, then after(begin, end) on the
    // calling thread; then the shares are rebalanced by the threads' times. `flags`, when
    // given, gathers the floating-point flags the threads raise. `each` must not throw: the
    // shares are at different pairs of a block.
    template <class Each, class After>
    void for_blocks(Host& host, Progress& progress, std::size_t total, FloatFlags* flags,
                    Each&& each, After&& after) {
        std::vector<double> seconds(size());
        for (std::size_t begin = 0; begin < total; begin += kBlock) {
            const std::size_t end = std::min(total, begin + kBlock);
            host.check_interrupt();
            parallel_for(size(), size(), [&](std::size_t k, std::size_t) {
                const auto start = std::chrono::steady_clock::now();
                if (flags) FloatFlags::watch();
                for (std::size_t p = begin; p < end; ++p) each(p, k);
                if (flags) flags->collect();
                seconds[k] =
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            });
            after(begin, end);
            if (size() > 1) rebalance(seconds);
            progress.advance(end - begin);
        }
    }

private:
    double weight_below(WordId t) const { return static_cast<double>(below_[t]); }
    WordId word_at(double weight) const;

    std::vector<std::uint64_t> below_;  // weight of the words below t, for t up to their number
    std::vector<WordId> cuts_;          // shares + 1 of them, the last the number of words
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

// The posteriors of the pairs of one block, l * m of each, by target position (m rows of l, as
// an alignment block holds its rows, so they are added row to row); one pair's on one thread,
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
