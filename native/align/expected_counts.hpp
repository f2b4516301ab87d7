// The E-step's additions to the expected counts, made in pair order for any thread count.
// The threads compute the posteriors of the pairs of a block (see pair_blocks.hpp) into this
// object's buffers; then each thread adds the entries of the whole block whose count it owns
// (a range of cells), in pair order, so every count receives its additions in the order one
// thread would make them.
//
// Which thread adds to a count depends on the count's cell only (stripes of cells), never on
// timing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "align/cooccurrence.hpp"
#include "align/corpus.hpp"
#include "align/pair_blocks.hpp"
#include "align/tables.hpp"

namespace zel::align {

// Marks an entry that adds to no alignment count.
inline constexpr std::uint64_t kNoAlignCell = ~std::uint64_t{0};

class ExpectedCounts {
public:
    // `align_counts` is null for Model 1.
    ExpectedCounts(const Corpus& corpus, CellCounts& counts, std::vector<double>* align_counts,
                   std::size_t threads);

    // Pair p's posteriors and alignment cells (p in the block being computed): l * m of
    // each, row-major.
    double* values(std::size_t p) { return values_.data() + offset(p); }
    std::uint64_t* align_cells(std::size_t p) { return align_cells_.data() + offset(p); }

    // Pair p's entries are written; `cells` are its cells. On one thread the kernels add
    // their posteriors as they make them and use none of this (the buffers hold one pair).
    void written(std::size_t p, std::span<const CellId> cells);

    // Adds the entries of the block's pairs [begin, end) to the counts.
    void add(std::size_t begin, std::size_t end);

private:
    std::size_t offset(std::size_t p) const {
        return threads_ == 1 ? 0 : static_cast<std::size_t>(first_[p] - first_[p - p % kBlock]);
    }

    const Corpus& corpus_;
    CellCounts& counts_;
    std::vector<double>* align_counts_;
    std::size_t threads_;
    std::vector<std::uint64_t> first_;  // first entry of pair p, counted over the corpus
    // Cells 2^kStripeBits apart in a row of stripes belong to one thread.
    static constexpr unsigned kStripeBits = 7;
    std::vector<CellId> cells_;
    std::vector<double> values_;
    std::vector<std::uint64_t> align_cells_;
    std::vector<std::vector<std::uint32_t>> picked_;  // per adding task: its entries
};

// Makes `counts` hold `size` zeros, reusing its memory when it has the size already (a count
// table is replaced by every E-step); `what` names the table if memory runs out.
void zero_counts(std::optional<std::vector<double>>& counts, std::size_t size,
                 std::string_view what);

}  // namespace zel::align
