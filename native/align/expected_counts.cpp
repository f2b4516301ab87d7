#include "align/expected_counts.hpp"

#include <algorithm>

#include "align/pair_blocks.hpp"
#include "common/memory.hpp"
#include "common/parallel.hpp"

namespace zel::align {

ExpectedCounts::ExpectedCounts(const Corpus& corpus, const CooccurrencePattern& pattern,
                               std::vector<double>& counts, std::vector<double>* align_counts,
                               std::size_t threads)
    : corpus_(corpus),
      counts_(counts),
      align_counts_(align_counts),
      threads_(threads),
      block_(kPairsPerBlock) {
    first_.resize(corpus.size() + 1, 0);
    std::vector<std::uint64_t> work(pattern.rows(), 0);
    for (std::size_t p = 0; p < corpus.size(); ++p) {
        const std::size_t m = corpus.trg(p).size();
        first_[p + 1] = first_[p] + corpus.src(p).size() * m;
        for (const WordId s : corpus.src(p)) work[s] += m;
    }
    // Several threads hold a block's entries, one thread a pair's.
    const std::size_t span = threads == 1 ? 1 : block_;
    std::uint64_t largest = 0;
    for (std::size_t b = 0; b < corpus.size(); b += span) {
        largest = std::max(largest, first_[std::min(corpus.size(), b + span)] - first_[b]);
    }
    const std::size_t per_entry =
        sizeof(CellId) + sizeof(double) + (align_counts ? sizeof(std::uint64_t) : 0);
    allocate_checked(largest * per_entry, "E-step buffers", [&] {
        cells_.resize(largest);
        values_.resize(largest);
        if (align_counts) align_cells_.resize(largest);
    });
    // Thread k owns a range of source rows with about a k-th of the additions; the alignment
    // counts are shared out evenly by cell.
    const std::uint64_t total = first_.back();
    owned_.assign(threads + 1, pattern.cells());
    owned_[0] = 0;
    std::uint64_t done = 0;
    std::size_t k = 1;
    for (std::size_t s = 0; s < pattern.rows() && k < threads; ++s) {
        done += work[s];
        while (k < threads && done * threads >= total * k) owned_[k++] = pattern.row_end(s);
    }
    if (align_counts) {
        for (std::size_t t = 0; t <= threads; ++t)
            align_owned_.push_back(align_counts->size() * t / threads);
    }
}

void ExpectedCounts::add_entries(std::size_t first, std::size_t last) {
    for (std::size_t q = first; q < last; ++q) {
        if (cells_[q] != kNoCell) counts_[cells_[q]] += values_[q];
        if (align_counts_ && align_cells_[q] != kNoAlignCell)
            (*align_counts_)[align_cells_[q]] += values_[q];
    }
}

void ExpectedCounts::add(std::size_t begin, std::size_t end) {
    if (begin >= end || threads_ == 1) return;
    const std::size_t first = offset(begin);
    const std::size_t last = first + static_cast<std::size_t>(first_[end] - first_[begin]);
    const bool aligned = align_counts_ != nullptr;
    parallel_for(aligned ? 2 * threads_ : threads_, threads_, [&](std::size_t task, std::size_t) {
        if (task < threads_) {
            const std::uint64_t lo = owned_[task], span = owned_[task + 1] - lo;
            for (std::size_t q = first; q < last; ++q) {
                // Unsigned: cells below lo, and kNoCell, fall outside the span.
                if (cells_[q] - lo < span) counts_[cells_[q]] += values_[q];
            }
        } else {
            const std::size_t k = task - threads_;
            const std::uint64_t lo = align_owned_[k], span = align_owned_[k + 1] - lo;
            std::vector<double>& align = *align_counts_;
            for (std::size_t q = first; q < last; ++q) {
                if (align_cells_[q] - lo < span) align[align_cells_[q]] += values_[q];
            }
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
