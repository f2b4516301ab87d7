#include "align/cooccurrence.hpp"

#include <algorithm>
#include <limits>
#include <stdexcept>

#include "common/errors.hpp"
#include "common/memory.hpp"

namespace zel::align {

std::shared_ptr<const CooccurrencePattern> CooccurrencePattern::build(const Corpus& corpus,
                                                                      std::size_t n_src,
                                                                      std::size_t n_trg) {
    auto p = std::make_shared<CooccurrencePattern>();
    p->n_src_ = n_src;
    p->n_trg_ = n_trg;

    // Pairs of each source word (an inverted index), then per word the distinct targets of
    // its pairs, found with a stamp array instead of sorting all cell instances.
    std::vector<std::uint64_t> pair_start(n_src + 1, 0);
    for (std::size_t i = 0; i < corpus.size(); ++i) {
        for (const WordId s : corpus.src(i)) ++pair_start[s + 1];
    }
    for (std::size_t s = 0; s < n_src; ++s) pair_start[s + 1] += pair_start[s];
    std::vector<std::uint32_t> pairs_of;
    allocate_checked(pair_start[n_src] * sizeof(std::uint32_t), "co-occurrence index",
                     [&] { pairs_of.resize(pair_start[n_src]); });
    // Row s lists its pairs in pairs_of[pair_start[s], fill[s]); a word repeated in one
    // sentence lists the pair once (its entries are adjacent, pairs being visited in order).
    std::vector<std::uint64_t> fill(pair_start.begin(), pair_start.end() - 1);
    for (std::size_t i = 0; i < corpus.size(); ++i) {
        for (const WordId s : corpus.src(i)) {
            if (fill[s] == pair_start[s] || pairs_of[fill[s] - 1] != i) {
                pairs_of[fill[s]++] = static_cast<std::uint32_t>(i);
            }
        }
    }

    constexpr std::uint32_t kUnseen = std::numeric_limits<std::uint32_t>::max();
    std::vector<std::uint32_t> stamp(n_trg, kUnseen);
    p->row_start_.assign(n_src + 1, 0);
    std::vector<std::uint32_t> row;
    for (std::size_t s = 0; s < n_src; ++s) {
        row.clear();
        for (std::uint64_t k = pair_start[s]; k < fill[s]; ++k) {
            for (const WordId t : corpus.trg(pairs_of[k])) {
                if (stamp[t] != s) {
                    stamp[t] = static_cast<std::uint32_t>(s);
                    row.push_back(t);
                }
            }
        }
        std::sort(row.begin(), row.end());
        if (p->col_.size() + row.size() > std::numeric_limits<CellId>::max()) {
            throw std::length_error("more than 2^32 - 1 co-occurring word pairs");
        }
        if (p->col_.capacity() < p->col_.size() + row.size()) {
            const std::size_t grown =
                std::max(p->col_.size() + row.size(), p->col_.capacity() * 3 / 2);
            allocate_checked((grown - p->col_.size()) * sizeof(std::uint32_t),
                             "co-occurrence pattern", [&] { p->col_.reserve(grown); });
        }
        p->col_.insert(p->col_.end(), row.begin(), row.end());
        p->row_start_[s + 1] = p->col_.size();
    }
    p->col_.shrink_to_fit();
    p->build_samples();
    return p;
}

void CooccurrencePattern::build_samples() {
    sample_start_.assign(n_src_ + 1, 0);
    for (std::size_t s = 0; s < n_src_; ++s) {
        const std::size_t n = row_end(s) - row_begin(s);
        sample_start_[s + 1] =
            sample_start_[s] + (n > kSampleStride ? (n + kSampleStride - 1) / kSampleStride : 0);
    }
    sample_.resize(sample_start_[n_src_]);
    for (std::size_t s = 0; s < n_src_; ++s) {
        std::size_t k = sample_start_[s];
        for (std::size_t c = row_begin(s); k < sample_start_[s + 1]; c += kSampleStride)
            sample_[k++] = col_[c];
    }
}

namespace {

// Position of the last element not above `t` in the sorted a[0, n), or -1 when there is none.
// Branch-free: lookups land anywhere in a row, so a branching search mispredicts every step.
std::ptrdiff_t last_not_above(const std::uint32_t* a, std::size_t n, std::uint32_t t) {
    if (n == 0 || a[0] > t) return -1;
    const std::uint32_t* base = a;
    while (n > 1) {
        const std::size_t half = n / 2;
        base = base[half] <= t ? base + half : base;
        n -= half;
    }
    return base - a;
}

}  // namespace

std::int64_t CooccurrencePattern::find(std::size_t s, std::size_t t) const {
    const auto target = static_cast<std::uint32_t>(t);
    const std::uint32_t* first = col_.data() + row_start_[s];
    std::size_t n = row_start_[s + 1] - row_start_[s];
    const std::size_t samples = sample_start_[s + 1] - sample_start_[s];
    if (samples > 0) {
        const std::ptrdiff_t block =
            last_not_above(sample_.data() + sample_start_[s], samples, target);
        if (block < 0) return -1;
        first += static_cast<std::size_t>(block) * kSampleStride;
        n = std::min(kSampleStride, n - static_cast<std::size_t>(block) * kSampleStride);
    }
    const std::ptrdiff_t k = last_not_above(first, n, target);
    return k >= 0 && first[k] == target ? (first + k) - col_.data() : -1;
}

std::size_t CooccurrencePattern::memory_bytes() const {
    return (row_start_.capacity() + sample_start_.capacity()) * sizeof(std::uint64_t) +
           (col_.capacity() + sample_.capacity()) * sizeof(std::uint32_t);
}

PairCells::PairCells(std::shared_ptr<const CooccurrencePattern> pattern, const Corpus& corpus,
                     std::size_t budget_bytes)
    : pattern_(std::move(pattern)), corpus_(corpus) {
    std::uint64_t total = 0;
    for (std::size_t p = 0; p < corpus.size(); ++p)
        total += corpus.src(p).size() * corpus.trg(p).size();
    if (total * sizeof(CellId) > budget_bytes) return;
    allocate_checked(total * sizeof(CellId) + (corpus.size() + 1) * 8, "pair cell index", [&] {
        start_.resize(corpus.size() + 1);
        cells_.resize(total);
    });
    for (std::size_t p = 0; p < corpus.size(); ++p) {
        start_[p + 1] = start_[p] + corpus.src(p).size() * corpus.trg(p).size();
        lookup(p, cells_.data() + start_[p]);
    }
}

void PairCells::lookup(std::size_t p, CellId* out) const {
    const auto src = corpus_.src(p);
    const auto trg = corpus_.trg(p);
    for (const WordId s : src) {
        if (s >= pattern_->rows()) throw IndexError(s, 0, pattern_->rows());
        for (const WordId t : trg) {
            if (t >= pattern_->cols()) throw IndexError(t, 1, pattern_->cols());
            *out++ = static_cast<CellId>(pattern_->find(s, t));
        }
    }
}

std::span<const CellId> PairCells::of(std::size_t p, std::vector<CellId>& scratch) const {
    if (!cells_.empty()) {
        return {cells_.data() + start_[p], static_cast<std::size_t>(start_[p + 1] - start_[p])};
    }
    scratch.resize(corpus_.src(p).size() * corpus_.trg(p).size());
    lookup(p, scratch.data());
    return scratch;
}

}  // namespace zel::align
