#include "align/corpus/cooccurrence.hpp"

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <limits>
#include <numeric>
#include <ranges>
#include <stdexcept>

#include "common/errors.hpp"
#include "common/memory.hpp"
#include "common/parallel.hpp"

namespace zel::align {

SourceOccurrences::SourceOccurrences(const Corpus& corpus, std::size_t n_src)
    : start(n_src + 1, 0), work(n_src, 0) {
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
    assign_table(at, start[n_src], std::uint64_t{0}, "co-occurrence index");
    std::vector<std::uint64_t> fill(start.begin(), start.end() - 1);
    for (std::size_t p = 0; p < corpus.size(); ++p) {
        const auto src = corpus.src(p);
        for (std::size_t i = 0; i < src.size(); ++i) {
            at[fill[src[i]]++] = static_cast<std::uint64_t>(p) << 24 | i;
        }
    }
}

std::vector<std::size_t> SourceOccurrences::row_ranges(std::size_t threads) const {
    std::uint64_t total = 0;
    for (const std::uint64_t w : work) total += w + 1;
    // Parts small enough that a round of them ends well within a second on a large corpus.
    const std::size_t parts = std::max<std::size_t>(threads * 8, 64);
    std::vector<std::size_t> cuts{0};
    std::uint64_t done = 0;
    for (std::size_t s = 0; s < work.size(); ++s) {
        done += work[s] + 1;
        if (done * parts >= total * cuts.size() && s + 1 < work.size()) cuts.push_back(s + 1);
    }
    cuts.push_back(work.size());
    return cuts;
}

namespace {

// How far ahead the walks over a word's occurrences fetch the pairs they will read: the pairs
// lie anywhere in the corpus, and waiting for each in turn would dominate the walk.
constexpr std::uint64_t kAhead = 8;

// Runs part(k, worker) for each range of rows k on the threads, a round of parts at a time,
// calling check() (which throws on an interruption) between rounds.
template <class Part>
void for_row_parts(const std::vector<std::size_t>& cuts, std::size_t threads,
                   const std::function<void()>& check, Part&& part) {
    const std::size_t parts = cuts.size() - 1;
    for (std::size_t first = 0; first < parts; first += threads * 2) {
        if (check) check();
        const std::size_t n = std::min(parts - first, threads * 2);
        parallel_for(n, threads,
                     [&](std::size_t k, std::size_t worker) { part(first + k, worker); });
    }
}

constexpr std::uint32_t kUnseen = std::numeric_limits<std::uint32_t>::max();

}  // namespace

std::shared_ptr<const CooccurrencePattern> CooccurrencePattern::build(
    const Corpus& corpus, const SourceOccurrences& occ, std::size_t n_src, std::size_t n_trg,
    const std::function<void()>& check) {
    auto p = std::make_shared<CooccurrencePattern>();
    p->n_src_ = n_src;
    p->n_trg_ = n_trg;
    for (std::size_t i = 0; i < corpus.size(); ++i) {
        for (const WordId t : corpus.trg(i)) {
            if (t >= n_trg) throw IndexError(t, 1, n_trg);
        }
    }
    // Per source word, the distinct targets of its pairs, found with a stamp array instead of
    // sorting all cell instances: counted first, so the pattern is allocated once at its size,
    // then written in place and sorted. Threads take ranges of rows.
    const std::size_t threads = thread_count();
    const std::vector<std::size_t> cuts = occ.row_ranges(threads);
    std::vector<std::vector<std::uint32_t>> stamps(threads);
    const auto each_row = [&](auto&& row) {
        for_row_parts(cuts, threads, check, [&](std::size_t part, std::size_t worker) {
            std::vector<std::uint32_t>& stamp = stamps[worker];
            if (stamp.empty()) stamp.assign(n_trg, kUnseen);
            for (std::size_t s = cuts[part]; s < cuts[part + 1]; ++s) {
                const std::uint64_t end = occ.start[s + 1];
                for (std::uint64_t k = occ.start[s]; k < end; ++k) {
                    if (k + kAhead < end) {
                        __builtin_prefetch(
                            corpus.trg(SourceOccurrences::pair_of(occ.at[k + kAhead])).data());
                    }
                    for (const WordId t : corpus.trg(SourceOccurrences::pair_of(occ.at[k]))) {
                        if (stamp[t] != s) {
                            stamp[t] = static_cast<std::uint32_t>(s);
                            row(s, t);
                        }
                    }
                }
            }
        });
        // The next walk starts with stamps that name no row.
        for (std::vector<std::uint32_t>& stamp : stamps)
            std::fill(stamp.begin(), stamp.end(), kUnseen);
    };
    p->row_start_.assign(n_src + 1, 0);
    each_row([&](std::size_t s, WordId) { ++p->row_start_[s + 1]; });
    for (std::size_t s = 0; s < n_src; ++s) p->row_start_[s + 1] += p->row_start_[s];
    const std::uint64_t cells = p->row_start_[n_src];
    if (cells >= kNoCell) {
        throw MemoryError("cannot index co-occurrence pattern: more than 2^32 - 2 cells");
    }
    assign_table(p->col_, cells, std::uint32_t{0}, "co-occurrence pattern");
    std::vector<std::uint64_t> fill(p->row_start_.begin(), p->row_start_.end() - 1);
    each_row([&](std::size_t s, WordId t) { p->col_[fill[s]++] = t; });
    for_row_parts(cuts, threads, check, [&](std::size_t part, std::size_t) {
        for (std::size_t s = cuts[part]; s < cuts[part + 1]; ++s) {
            std::sort(p->col_.begin() + static_cast<std::ptrdiff_t>(p->row_start_[s]),
                      p->col_.begin() + static_cast<std::ptrdiff_t>(p->row_start_[s + 1]));
        }
    });
    p->build_samples();
    return p;
}

std::shared_ptr<const CooccurrencePattern> CooccurrencePattern::from_rows(
    std::size_t n_src, std::size_t n_trg, std::vector<std::uint64_t> row_start,
    std::vector<std::uint32_t> cols) {
    if (row_start.size() != n_src + 1 || row_start.front() != 0 || row_start.back() != cols.size())
        throw std::invalid_argument("row starts do not match the rows and cells given");
    if (cols.size() >= kNoCell)
        throw MemoryError("cannot index co-occurrence pattern: more than 2^32 - 2 cells");
    for (std::size_t s = 0; s < n_src; ++s) {
        if (row_start[s] > row_start[s + 1])
            throw std::invalid_argument("row starts do not match the rows and cells given");
        for (std::uint64_t c = row_start[s]; c < row_start[s + 1]; ++c) {
            if (cols[c] >= n_trg || (c > row_start[s] && cols[c] <= cols[c - 1]))
                throw std::invalid_argument("a row's targets are not sorted, distinct words");
        }
    }
    auto p = std::make_shared<CooccurrencePattern>();
    p->n_src_ = n_src;
    p->n_trg_ = n_trg;
    p->row_start_ = std::move(row_start);
    p->col_ = std::move(cols);
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

std::size_t pair_index_budget(std::size_t pattern_cells, std::size_t models,
                              std::size_t later_bytes) {
    std::size_t available = available_memory();
    if (available == 0) return (std::size_t{1} << 30) / std::max<std::size_t>(models, 1);
    available /= std::max<std::size_t>(models, 1);
    // Processes that train at once on one machine (zel-align's two directions) each count on
    // their share only.
    if (const char* share = std::getenv("ZEL_MEMORY_SHARE")) {
        const unsigned long n = std::strtoul(share, nullptr, 10);
        if (n > 1) available /= n;
    }
    const std::size_t tables = pattern_cells * 2 * sizeof(double) + later_bytes;
    return available > tables ? (available - tables) / 4 * 3 : 0;
}

PairCells::PairCells(std::shared_ptr<const CooccurrencePattern> pattern, const Corpus& corpus,
                     const SourceOccurrences& occ, std::size_t budget_bytes,
                     const std::function<void()>& check, bool byte_ranks)
    : pattern_(std::move(pattern)), corpus_(corpus), budget_(budget_bytes) {
    std::uint64_t total = 0;
    std::size_t widest = 0;
    for (std::size_t p = 0; p < corpus.size(); ++p)
        total += corpus.src(p).size() * corpus.trg(p).size();
    const std::size_t rows = pattern_->rows();
    for (std::size_t s = 0; s < rows; ++s)
        widest = std::max(widest, pattern_->row_end(s) - pattern_->row_begin(s));
    total_ = total;
    // Cells as they are (read without conversion) when the whole corpus fits so, else ranks
    // when every row allows them, else cells.
    narrow_ = total * sizeof(CellId) > budget_bytes && widest <= kNoRank;
    // Bytes where the short rows hold nine in ten of the position pairs (a pruned pattern's):
    // the others then cost a search or a direct row.
    std::uint64_t in_short_rows = 0;
    for (std::size_t s = 0; byte_ranks && s < rows; ++s)
        in_short_rows += short_row(s) ? occ.work[s] : 0;
    short_ = byte_ranks && narrow_ && in_short_rows * 10 >= total * 9;
    const std::size_t width = short_ ? 1 : narrow_ ? sizeof(std::uint16_t) : sizeof(CellId);
    whole_ = total * width <= budget_bytes && (!short_ || widest < kNoShortRank);
    const std::uint64_t kept = whole_ ? total : choose_forms(occ, width, budget_bytes);
    kept_share_ = total == 0 ? 1.0 : static_cast<double>(kept) / static_cast<double>(total);
    if (direct_words_ > 0) {
        // A direct row is read at the pair's target words, unchecked.
        for (std::size_t p = 0; p < corpus.size(); ++p) check_ids(0, corpus.trg(p));
        assign_table(direct_, direct_words_ * pattern_->cols(), kNoCell, "pair cell rows");
        for (std::size_t s = 0; s < rows; ++s) {
            if (form_[s] == kSearched || form_[s] == kRanked) continue;
            CellId* row = direct_.data() + std::size_t{form_[s]} * pattern_->cols();
            for (std::size_t c = pattern_->row_begin(s); c < pattern_->row_end(s); ++c)
                row[pattern_->col(c)] = static_cast<CellId>(c);
        }
    }
    std::uint64_t stored = total;
    if (!whole_) {
        stored = 0;
        for (std::size_t s = 0; s < rows; ++s) stored += ranked(s) ? occ.work[s] : 0;
        if (stored == 0) return;
    }
    start_.assign(corpus.size() + 1, 0);
    const auto what = whole_ ? "pair cell index" : "pair cell index (part of the corpus)";
    if (short_) {
        assign_table(short_ranks_, stored, std::uint8_t{0}, what);
    } else if (narrow_) {
        assign_table(ranks_, stored, std::uint16_t{0}, what);
    } else {
        assign_table(cells_, stored, CellId{0}, what);
    }
    for (std::size_t p = 0; p < corpus.size(); ++p) {
        std::uint64_t n = 0;
        const std::size_t m = corpus.trg(p).size();
        for (const WordId s : corpus.src(p)) n += whole_ || ranked(s) ? m : 0;
        start_[p + 1] = start_[p] + n;
    }
    // Row by row: the rank of every target word of the row, then the ranks of each occurrence
    // of the row's word. Threads take ranges of rows and write disjoint places.
    const std::size_t threads = thread_count();
    const std::vector<std::size_t> cuts = occ.row_ranges(threads);
    std::vector<std::vector<std::uint32_t>> rank_of(threads);
    // Where position i of pair p has its row in the index: after the kept positions before it.
    const auto row_at = [&](std::size_t p, std::size_t i) {
        const auto src = corpus.src(p);
        std::uint64_t before = i;
        if (!whole_) {
            before = 0;
            for (std::size_t k = 0; k < i; ++k) before += ranked(src[k]);
        }
        return start_[p] + before * corpus.trg(p).size();
    };
    for_row_parts(cuts, threads, check, [&](std::size_t part, std::size_t worker) {
        std::vector<std::uint32_t>& rank = rank_of[worker];
        if (rank.empty()) rank.assign(pattern_->cols(), kUnseen);
        for (std::size_t s = cuts[part]; s < cuts[part + 1]; ++s) {
            if (!whole_ && !ranked(s)) continue;
            const std::size_t first = pattern_->row_begin(s);
            for (std::size_t c = first; c < pattern_->row_end(s); ++c)
                rank[pattern_->col(c)] = static_cast<std::uint32_t>(c - first);
            const std::uint64_t end = occ.start[s + 1];
            for (std::uint64_t k = occ.start[s]; k < end; ++k) {
                if (k + kAhead < end) {
                    const std::size_t ahead = SourceOccurrences::pair_of(occ.at[k + kAhead]);
                    __builtin_prefetch(corpus.trg(ahead).data());
                    const std::uint64_t at =
                        start_[ahead] + (whole_
                                             ? SourceOccurrences::position_of(occ.at[k + kAhead]) *
                                                   corpus.trg(ahead).size()
                                             : 0);
                    if (short_) {
                        __builtin_prefetch(short_ranks_.data() + at, 1);
                    } else if (narrow_) {
                        __builtin_prefetch(ranks_.data() + at, 1);
                    } else {
                        __builtin_prefetch(cells_.data() + at, 1);
                    }
                }
                const std::size_t p = SourceOccurrences::pair_of(occ.at[k]);
                const std::size_t i = SourceOccurrences::position_of(occ.at[k]);
                const auto trg = corpus.trg(p);
                const std::uint64_t out = row_at(p, i);
                for (std::size_t j = 0; j < trg.size(); ++j) {
                    const std::uint32_t r = rank[trg[j]];
                    if (short_) {
                        short_ranks_[out + j] =
                            r == kUnseen ? kNoShortRank : static_cast<std::uint8_t>(r);
                    } else if (narrow_) {
                        ranks_[out + j] = r == kUnseen ? kNoRank : static_cast<std::uint16_t>(r);
                    } else {
                        cells_[out + j] = r == kUnseen ? kNoCell : static_cast<CellId>(first + r);
                    }
                }
            }
            // The next row starts from ranks that name no cell (targets a pruned row lacks).
            for (std::size_t c = first; c < pattern_->row_end(s); ++c)
                rank[pattern_->col(c)] = kUnseen;
        }
    });
}

std::uint64_t PairCells::choose_forms(const SourceOccurrences& occ, std::size_t width,
                                      std::size_t budget_bytes) {
    const std::size_t rows = pattern_->rows();
    form_.assign(rows, kSearched);
    std::vector<WordId> order(rows);
    std::iota(order.begin(), order.end(), WordId{0});
    // Ties by word id, so the choice never depends on threads.
    const auto by = [&](auto&& key) {
        std::stable_sort(order.begin(), order.end(),
                         [&](WordId a, WordId b) { return key(a) > key(b); });
    };
    std::uint64_t room = budget_bytes, kept = 0;
    const std::uint64_t row_bytes = std::uint64_t{pattern_->cols()} * sizeof(CellId);
    by([&](WordId s) { return occ.work[s]; });
    for (const WordId s : order) {
        if (occ.work[s] * width <= row_bytes || row_bytes > room) break;
        form_[s] = static_cast<std::uint32_t>(direct_words_++);
        room -= row_bytes;
        kept += occ.work[s];
    }
    by([&](WordId s) { return pattern_->row_end(s) - pattern_->row_begin(s); });
    for (const WordId s : order) {
        if (form_[s] != kSearched || occ.work[s] * width > room || (short_ && !short_row(s)))
            continue;
        form_[s] = kRanked;
        room -= occ.work[s] * width;
        kept += occ.work[s];
    }
    return kept;
}

std::string PairCells::describe() const {
    const auto mib = [](std::uint64_t bytes) {
        if (bytes < (std::uint64_t{1} << 20)) return std::to_string(bytes >> 10) + " KiB";
        return std::to_string(bytes >> 20) + " MiB";
    };
    const std::uint64_t width = short_ ? 1 : narrow_ ? 2 : 4;
    const std::string ranks = short_ ? "byte ranks" : narrow_ ? "ranks" : "cells";
    std::string text = "pair cell index: ";
    if (whole_) {
        text += ranks + " of every position pair (" + mib(total_ * width) + ")";
    } else if (kept_share_ == 0) {
        text += "none (2 bytes a position pair would need " + mib(total_ * 2) +
                "); every cell is searched for";
    } else {
        text +=
            std::to_string(static_cast<int>(kept_share_ * 100 + 0.5)) + "% of the position pairs: ";
        if (direct_words_ > 0) {
            text += "the " + std::to_string(direct_words_) +
                    " most frequent source words by rows of " + "every target word (" +
                    mib(direct_.size() * sizeof(CellId)) + ")";
        }
        if (!start_.empty()) {
            text += std::string(direct_words_ > 0 ? ", " : "") + "the longest rows by " + ranks +
                    " (" + mib((short_ranks_.size() + ranks_.size() + cells_.size()) * width) +
                    " of " + mib(total_ * width) + ")";
        }
        text += "; the others' cells are searched for";
    }
    return text + " [budget " + mib(budget_) + "]";
}

void PairCells::check_ids(WordId s, std::span<const WordId> trg) const {
    if (s >= pattern_->rows()) throw IndexError(s, 0, pattern_->rows());
    for (const WordId t : trg) {
        if (t >= pattern_->cols()) throw IndexError(t, 1, pattern_->cols());
    }
}

std::span<const CellId> PairCells::of(std::size_t p, std::vector<CellId>& scratch) const {
    const auto m = static_cast<std::uint32_t>(corpus_.trg(p).size());
    return of(p, scratch, std::views::iota(std::uint32_t{0}, m));
}

}  // namespace zel::align
