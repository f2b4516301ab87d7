#include "align/expected_counts.hpp"

#include <algorithm>
#include <limits>
#include <numeric>

#include "common/memory.hpp"
#include "common/parallel.hpp"

namespace zel::align {

TargetShares::TargetShares(const Corpus& corpus, std::size_t shares)
    : shares_(std::clamp<std::size_t>(shares, 1, std::numeric_limits<std::uint16_t>::max())) {
    if (shares_ == 1) return;
    std::vector<std::uint64_t> weight;
    for (std::size_t p = 0; p < corpus.size(); ++p) {
        const std::uint64_t l = corpus.src(p).size();
        for (const WordId t : corpus.trg(p)) {
            if (t >= weight.size()) weight.resize(static_cast<std::size_t>(t) + 1, 0);
            weight[t] += l;
        }
    }
    // Heaviest first, each to the lightest share so far: a frequent word outweighs thousands
    // of rare ones. Ties go by word id and share number, so the shares depend on the corpus
    // and their number only.
    std::vector<WordId> order(weight.size());
    std::iota(order.begin(), order.end(), WordId{0});
    std::stable_sort(order.begin(), order.end(),
                     [&](WordId a, WordId b) { return weight[a] > weight[b]; });
    std::vector<std::uint64_t> load(shares_, 0);
    share_of_.assign(weight.size(), 0);
    for (const WordId t : order) {
        const auto lightest = std::min_element(load.begin(), load.end()) - load.begin();
        share_of_[t] = static_cast<std::uint16_t>(lightest);
        load[static_cast<std::size_t>(lightest)] += weight[t];
    }
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
