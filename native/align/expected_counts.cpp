#include "align/expected_counts.hpp"

#include <algorithm>

#include "align/pair_blocks.hpp"
#include "common/memory.hpp"
#include "common/parallel.hpp"

namespace zel::align {

ExpectedCounts::ExpectedCounts(const Corpus& corpus, CellCounts& counts,
                               std::vector<double>* align_counts, std::size_t threads)
    : corpus_(corpus), counts_(counts), align_counts_(align_counts), threads_(threads) {
    first_.resize(corpus.size() + 1, 0);
    for (std::size_t p = 0; p < corpus.size(); ++p)
        first_[p + 1] = first_[p] + corpus.src(p).size() * corpus.trg(p).size();
    // Several threads hold a block's entries, one thread a pair's.
    const std::size_t span = threads == 1 ? 1 : kBlock;
    std::uint64_t largest = 0;
    for (std::size_t b = 0; b < corpus.size(); b += span) {
        largest = std::max(largest, first_[std::min(corpus.size(), b + span)] - first_[b]);
    }
    picked_.resize(2 * threads);
    const std::size_t per_entry =
        sizeof(CellId) + sizeof(double) + (align_counts ? sizeof(std::uint64_t) : 0);
    allocate_checked(largest * per_entry, "E-step buffers", [&] {
        cells_.resize(largest);
        values_.resize(largest);
        if (align_counts) align_cells_.resize(largest);
    });
}

void ExpectedCounts::written(std::size_t p, std::span<const CellId> cells) {
    std::copy(cells.begin(), cells.end(), cells_.data() + offset(p));
}

void ExpectedCounts::add(std::size_t begin, std::size_t end) {
    if (begin >= end || threads_ == 1) return;
    const std::size_t first = offset(begin);
    const std::size_t last = first + static_cast<std::size_t>(first_[end] - first_[begin]);
    const bool aligned = align_counts_ != nullptr;
    parallel_for(aligned ? 2 * threads_ : threads_, threads_, [&](std::size_t task, std::size_t) {
        // Cells are dealt out in stripes, so frequent (cached) and rare (uncached) rows
        // spread over the threads alike.
        const std::size_t owner = task % threads_;
        // A mask for two, four, ... threads: a division per entry would cost more than the add.
        const bool power_of_two = (threads_ & (threads_ - 1)) == 0;
        const auto owns = [&](std::uint64_t cell) {
            const std::uint64_t stripe = cell >> kStripeBits;
            return (power_of_two ? stripe & (threads_ - 1) : stripe % threads_) == owner;
        };
        // The entries this task adds are picked without a branch first (ownership is as good
        // as random per entry, so a branch would mispredict half the time), then added.
        std::vector<std::uint32_t>& picked = picked_[task];
        picked.resize(last - first);
        std::size_t n = 0;
        if (task < threads_) {
            for (std::size_t q = first; q < last; ++q) {
                picked[n] = static_cast<std::uint32_t>(q - first);
                n += static_cast<std::size_t>((cells_[q] != kNoCell) & owns(cells_[q]));
            }
            for (std::size_t k = 0; k < n; ++k) {
                const std::size_t q = first + picked[k];
                counts_[cells_[q]] += values_[q];
            }
        } else {
            std::vector<double>& align = *align_counts_;
            for (std::size_t q = first; q < last; ++q) {
                picked[n] = static_cast<std::uint32_t>(q - first);
                n += static_cast<std::size_t>((align_cells_[q] != kNoAlignCell) &
                                              owns(align_cells_[q]));
            }
            for (std::size_t k = 0; k < n; ++k) {
                const std::size_t q = first + picked[k];
                align[align_cells_[q]] += values_[q];
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
