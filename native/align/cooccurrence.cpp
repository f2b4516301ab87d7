#include "align/cooccurrence.hpp"

#include <algorithm>
#include <limits>
#include <stdexcept>

#include "common/errors.hpp"
#include "common/memory.hpp"
#include "common/parallel.hpp"

namespace zel::align {

namespace {

// Where each source word occurs: (pair, source position) packed as pair << 24 | position,
// grouped by word in corpus order.
struct Occurrences {
    static constexpr std::size_t kMaxPosition = (std::size_t{1} << 24) - 1;

    std::vector<std::uint64_t> start;  // occurrences of word s: at[start[s], start[s + 1])
    std::vector<std::uint64_t> at;
    std::vector<std::uint64_t> work;  // per word: the cells its occurrences visit

    static std::size_t pair_of(std::uint64_t packed) {
        return static_cast<std::size_t>(packed >> 24);
    }
    static std::size_t position_of(std::uint64_t packed) { return packed & kMaxPosition; }

    Occurrences(const Corpus& corpus, std::size_t n_src) : start(n_src + 1, 0), work(n_src, 0) {
        for (std::size_t p = 0; p < corpus.size(); ++p) {
            const std::size_t m = corpus.trg(p).size();
            if (corpus.src(p).size() > kMaxPosition) {
                throw ValueError("sentence pair " + std::to_string(p + 1) + " has more than " +
                                 std::to_string(kMaxPosition) + " source words");
            }
            for (const WordId s : corpus.src(p)) {
                if (s >= n_src) throw IndexError(s, 0, n_src);
                ++start[s + 1];
                work[s] += m;
            }
        }
        for (std::size_t s = 0; s < n_src; ++s) start[s + 1] += start[s];
        allocate_checked(start[n_src] * sizeof(std::uint64_t), "co-occurrence index",
                         [&] { at.resize(start[n_src]); });
        std::vector<std::uint64_t> fill(start.begin(), start.end() - 1);
        for (std::size_t p = 0; p < corpus.size(); ++p) {
            const auto src = corpus.src(p);
            for (std::size_t i = 0; i < src.size(); ++i) {
                at[fill[src[i]]++] = static_cast<std::uint64_t>(p) << 24 | i;
            }
        }
    }

    // Rows cut into consecutive ranges of about equal work, several per thread.
    std::vector<std::size_t> row_ranges(std::size_t threads) const {
        std::uint64_t total = 0;
        for (const std::uint64_t w : work) total += w + 1;
        const std::size_t parts = threads == 1 ? 1 : threads * 8;
        std::vector<std::size_t> cuts{0};
        std::uint64_t done = 0;
        for (std::size_t s = 0; s < work.size(); ++s) {
            done += work[s] + 1;
            if (done * parts >= total * cuts.size() && s + 1 < work.size()) cuts.push_back(s + 1);
        }
        cuts.push_back(work.size());
        return cuts;
    }
};

constexpr std::uint32_t kUnseen = std::numeric_limits<std::uint32_t>::max();

}  // namespace

std::shared_ptr<const CooccurrencePattern> CooccurrencePattern::build(const Corpus& corpus,
                                                                      std::size_t n_src,
                                                                      std::size_t n_trg) {
    auto p = std::make_shared<CooccurrencePattern>();
    p->n_src_ = n_src;
    p->n_trg_ = n_trg;
    for (std::size_t i = 0; i < corpus.size(); ++i) {
        for (const WordId t : corpus.trg(i)) {
            if (t >= n_trg) throw IndexError(t, 1, n_trg);
        }
    }
    // Per source word, the distinct targets of its pairs, found with a stamp array instead of
    // sorting all cell instances. Ranges of rows are built on the threads into their own
    // arrays, then put back to back in row order: the result does not depend on the threads.
    const Occurrences occ(corpus, n_src);
    const std::size_t threads = thread_count();
    const std::vector<std::size_t> cuts = occ.row_ranges(threads);
    const std::size_t parts = cuts.size() - 1;
    std::vector<std::vector<std::uint32_t>> part_cols(parts);
    std::vector<std::vector<std::uint32_t>> stamps(threads);
    p->row_start_.assign(n_src + 1, 0);
    parallel_for(parts, threads, [&](std::size_t part, std::size_t worker) {
        try {
            std::vector<std::uint32_t>& stamp = stamps[worker];
            if (stamp.empty()) stamp.assign(n_trg, kUnseen);
            std::vector<std::uint32_t>& cols = part_cols[part];
            for (std::size_t s = cuts[part]; s < cuts[part + 1]; ++s) {
                const std::size_t row_first = cols.size();
                for (std::uint64_t k = occ.start[s]; k < occ.start[s + 1]; ++k) {
                    for (const WordId t : corpus.trg(Occurrences::pair_of(occ.at[k]))) {
                        if (stamp[t] != s) {
                            stamp[t] = static_cast<std::uint32_t>(s);
                            cols.push_back(t);
                        }
                    }
                }
                std::sort(cols.begin() + static_cast<std::ptrdiff_t>(row_first), cols.end());
                p->row_start_[s + 1] = cols.size() - row_first;
            }
        } catch (const std::bad_alloc&) {
            // A range's rows grow as they are found: name the table they belong to.
            allocation_failed(part_cols[part].capacity() * sizeof(std::uint32_t) * 2,
                              "co-occurrence pattern");
        }
    });
    for (std::size_t s = 0; s < n_src; ++s) p->row_start_[s + 1] += p->row_start_[s];
    const std::uint64_t cells = p->row_start_[n_src];
    if (cells > std::numeric_limits<CellId>::max()) {
        throw MemoryError("cannot index co-occurrence pattern: more than 2^32 - 1 cells");
    }
    allocate_checked(cells * sizeof(std::uint32_t), "co-occurrence pattern",
                     [&] { p->col_.reserve(cells); });
    for (std::vector<std::uint32_t>& cols : part_cols) {
        p->col_.insert(p->col_.end(), cols.begin(), cols.end());
        std::vector<std::uint32_t>().swap(cols);
    }
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
    std::size_t widest = 0;
    for (std::size_t p = 0; p < corpus.size(); ++p)
        total += corpus.src(p).size() * corpus.trg(p).size();
    for (std::size_t s = 0; s < pattern_->rows(); ++s)
        widest = std::max(widest, pattern_->row_end(s) - pattern_->row_begin(s));
    // A cell is stored as its rank in its row: two bytes while every row is shorter than
    // 65,536 cells (a target vocabulary of at most that many words), four otherwise.
    narrow_ = widest <= std::numeric_limits<std::uint16_t>::max();
    const std::size_t bytes = total * (narrow_ ? 2 : 4);
    if (bytes > budget_bytes) return;
    allocate_checked(bytes + (corpus.size() + 1) * 8, "pair cell index", [&] {
        start_.resize(corpus.size() + 1);
        if (narrow_) {
            narrow_ranks_.resize(total);
        } else {
            wide_ranks_.resize(total);
        }
    });
    for (std::size_t p = 0; p < corpus.size(); ++p)
        start_[p + 1] = start_[p] + corpus.src(p).size() * corpus.trg(p).size();
    // Row by row: the rank of every target word of the row, then the ranks of each occurrence
    // of the row's word. Threads take ranges of rows and write disjoint places.
    const Occurrences occ(corpus, pattern_->rows());
    const std::size_t threads = thread_count();
    const std::vector<std::size_t> cuts = occ.row_ranges(threads);
    std::vector<std::vector<std::uint32_t>> rank_of(threads);
    parallel_for(cuts.size() - 1, threads, [&](std::size_t part, std::size_t worker) {
        std::vector<std::uint32_t>& rank = rank_of[worker];
        if (rank.empty()) rank.assign(pattern_->cols(), 0);
        for (std::size_t s = cuts[part]; s < cuts[part + 1]; ++s) {
            const std::size_t first = pattern_->row_begin(s);
            for (std::size_t c = first; c < pattern_->row_end(s); ++c)
                rank[pattern_->col(c)] = static_cast<std::uint32_t>(c - first);
            for (std::uint64_t k = occ.start[s]; k < occ.start[s + 1]; ++k) {
                const std::size_t p = Occurrences::pair_of(occ.at[k]);
                const std::size_t i = Occurrences::position_of(occ.at[k]);
                const auto trg = corpus.trg(p);
                const std::uint64_t out = start_[p] + i * trg.size();
                for (std::size_t j = 0; j < trg.size(); ++j) {
                    if (narrow_) {
                        narrow_ranks_[out + j] = static_cast<std::uint16_t>(rank[trg[j]]);
                    } else {
                        wide_ranks_[out + j] = rank[trg[j]];
                    }
                }
            }
        }
    });
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
    const auto src = corpus_.src(p);
    const std::size_t m = corpus_.trg(p).size();
    scratch.resize(src.size() * m);
    if (!precomputed()) {
        lookup(p, scratch.data());
        return scratch;
    }
    CellId* out = scratch.data();
    const std::uint64_t first = start_[p];
    for (std::size_t i = 0; i < src.size(); ++i) {
        const auto base = static_cast<CellId>(pattern_->row_begin(src[i]));
        const std::uint64_t at = first + i * m;
        if (narrow_) {
            for (std::size_t j = 0; j < m; ++j) *out++ = base + narrow_ranks_[at + j];
        } else {
            for (std::size_t j = 0; j < m; ++j) *out++ = base + wide_ranks_[at + j];
        }
    }
    return scratch;
}

}  // namespace zel::align
