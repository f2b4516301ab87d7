#include "align/tables/expected_counts.hpp"

#include <algorithm>

#include "common/memory.hpp"
#include "common/parallel.hpp"

namespace zel::align {

TargetShares::TargetShares(const Corpus& corpus, std::size_t shares) {
    const std::size_t n = std::max<std::size_t>(shares, 1);
    std::vector<std::uint64_t> weight;
    if (n > 1) {
        for (std::size_t p = 0; p < corpus.size(); ++p) {
            const std::uint64_t cells = corpus.src(p).size();  // NULL included
            for (const WordId t : corpus.trg(p)) {
                if (t >= weight.size()) weight.resize(static_cast<std::size_t>(t) + 1, 0);
                weight[t] += cells;
            }
        }
    }
    below_.assign(weight.size() + 1, 0);
    for (std::size_t t = 0; t < weight.size(); ++t) below_[t + 1] = below_[t] + weight[t];
    cuts_.assign(n + 1, 0);
    for (std::size_t k = 1; k <= n; ++k) {
        cuts_[k] = word_at(static_cast<double>(below_.back()) * static_cast<double>(k) /
                           static_cast<double>(n));
    }
}

WordId TargetShares::word_at(double weight) const {
    // The word whose weight below is nearest `weight` (the lower one on a tie).
    const auto above =
        std::lower_bound(below_.begin(), below_.end(), weight,
                         [](std::uint64_t b, double w) { return static_cast<double>(b) < w; });
    auto t = above - below_.begin();
    if (above == below_.end() ||
        (t > 0 && weight - static_cast<double>(below_[static_cast<std::size_t>(t - 1)]) <=
                      static_cast<double>(*above) - weight))
        --t;
    return static_cast<WordId>(t);
}

void TargetShares::rebalance(std::span<const double> seconds) {
    const std::size_t n = size();
    double total = 0.0;
    for (const double s : seconds) total += s;
    if (!(total > 0.0)) return;
    std::vector<WordId> cuts = cuts_;
    std::size_t k = 0;
    double before = 0.0;  // the time of the shares below k
    for (std::size_t c = 1; c < n; ++c) {
        const double goal = total * static_cast<double>(c) / static_cast<double>(n);
        while (k + 1 < n && before + seconds[k] < goal) before += seconds[k++];
        const double lo = weight_below(cuts_[k]), hi = weight_below(cuts_[k + 1]);
        const double into =
            seconds[k] > 0.0 ? std::clamp((goal - before) / seconds[k], 0.0, 1.0) : 0.0;
        cuts[c] = word_at((lo + into * (hi - lo) + weight_below(cuts_[c])) / 2.0);
    }
    for (std::size_t c = 1; c < n; ++c) cuts[c] = std::clamp(cuts[c], cuts[c - 1], cuts[n]);
    cuts_ = std::move(cuts);
}

std::vector<ShareScratch> share_scratch(const Corpus& corpus, std::size_t shares) {
    std::size_t cells = 0, m = 0;
    for (std::size_t p = 0; p < corpus.size(); ++p) {
        cells = std::max(cells, corpus.src(p).size() * corpus.trg(p).size());
        m = std::max(m, corpus.trg(p).size());
    }
    std::vector<ShareScratch> scratch(shares);
    for (ShareScratch& s : scratch) {
        s.cells.reserve(cells);
        s.positions.reserve(m);
        s.column.resize(m);
        s.post.resize(cells);
    }
    return scratch;
}

PosteriorBlock::PosteriorBlock(const Corpus& corpus, std::size_t threads)
    : corpus_(corpus), threads_(threads) {
    first_.resize(corpus.size() + 1, 0);
    for (std::size_t p = 0; p < corpus.size(); ++p)
        first_[p + 1] = first_[p] + corpus.src(p).size() * corpus.trg(p).size();
    // Several threads hold a block's posteriors, one thread a pair's.
    const std::size_t span = threads == 1 ? 1 : kBlock;
    std::uint64_t largest = 0;
    for (std::size_t b = 0; b < corpus.size(); b += span) {
        largest = std::max(largest, first_[std::min(corpus.size(), b + span)] - first_[b]);
    }
    allocate_checked(largest * sizeof(double), "E-step buffers", [&] { values_.resize(largest); });
}

void PosteriorBlock::add_align(const AlignTable& align, std::vector<double>& counts,
                               std::size_t begin, std::size_t end) {
    if (begin >= end || threads_ == 1) return;
    parallel_for(threads_, threads_, [&](std::size_t owner, std::size_t) {
        for (std::size_t p = begin; p < end; ++p) {
            const std::size_t l = corpus_.src(p).size(), m = corpus_.trg(p).size();
            const PairBlock block(align, l, m);
            // Whole alignment blocks go to the threads in turn: the pairs that share one
            // are added by one thread, in pair order.
            if (!block.values || static_cast<std::size_t>(block.ref.block) % threads_ != owner)
                continue;
            block.add_counts(counts, values(p));
        }
    });
}

void zero_counts(std::optional<std::vector<double>>& counts, std::size_t size,
                 std::string_view what) {
    if (counts && counts->size() == size) {
        std::fill(counts->begin(), counts->end(), 0.0);
        return;
    }
    counts.reset();
    counts.emplace();
    assign_table(*counts, size, 0.0, what);
}

}  // namespace zel::align
