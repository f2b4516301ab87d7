// The whole's tables on a cluster, cut apart from its shards: ranges of the translation
// table's rows and the alignment table, each re-estimated from the shards' counts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "align/ibm/model2.hpp"

namespace zel::align {

// The union of sorted, distinct lists of cell keys s * n_trg + t of rows [first, first + count),
// and where each list's keys lie in it.
struct KeyUnion {
    std::vector<std::uint64_t> keys;
    std::vector<std::vector<std::uint32_t>> positions;  // per list, per key
};
KeyUnion merge_keys(std::span<const std::span<const std::uint64_t>> lists, std::size_t first,
                    std::size_t count, std::size_t n_trg);

// Rows [first, first + count) of the whole's translation table, re-estimated apart from the
// other rows. A row's re-estimation reads only that row's cells and counts, so any cut of the
// rows into ranges gives the whole's values bit for bit. The values are passed in and given
// back rather than kept, so a range's re-estimation is a pure function of its inputs (what a
// cluster needs to make it again after losing it).
class RowRange {
public:
    struct Values {
        std::vector<double> values;       // one per cell
        std::vector<double> row_default;  // one per row: the value of the row's other cells
        // One per cell: those of the M-step that made the values (none before the first).
        std::optional<std::vector<double>> counts;
    };

    // The cells given as sorted, distinct keys s * n_trg + t, every s in the range.
    RowRange(std::size_t first, std::size_t count, std::size_t n_trg,
             std::span<const std::uint64_t> keys);

    std::size_t first() const { return first_; }
    std::size_t cells() const { return pattern_->cells(); }
    const CooccurrencePattern& pattern() const { return *pattern_; }
    std::vector<std::uint64_t> keys() const;

    // Every value 1 / n_trg, as a table starts.
    Values initial() const;
    // The values after an M-step from these: the counts of each cell are the shards' counts
    // added up in shard order (shard k's count i belongs to cell positions[k][i]); rows whose
    // total is positive become counts / total, the others keep theirs. With a `prior` above 0,
    // every row is re-estimated by variational Bayes instead (normalize_rows_vb).
    Values maximize(std::span<const double> values, std::span<const double> row_default,
                    std::span<const std::span<const std::uint32_t>> positions,
                    std::span<const std::span<const double>> counts, double prior = 0.0) const;

    // The lines of the translation file for these rows under `v`, as the whole's file has
    // them: `src_words` are the rows' words, `trg_words` all target words. `with_counts`: the
    // trainer's file, with each cell's count (`v` has them), else the model's, without.
    std::string trans_lines(Values v, std::span<const std::string> src_words,
                            std::span<const std::string> trg_words, const Threshold& threshold,
                            std::int64_t nbest, bool with_counts = true) const;

private:
    std::size_t first_;
    std::shared_ptr<const CooccurrencePattern> pattern_;
};

// The whole's alignment table, re-estimated apart from the translation table (the same
// passing of values in and out).
class AlignRows {
public:
    struct Values {
        std::vector<double> values;
        std::vector<std::uint8_t> tail_zero;
    };

    AlignRows(std::size_t s_max, std::size_t t_max, std::span<const BlockKey> blocks);

    Values initial() const;
    Values maximize(std::span<const double> values, std::span<const std::uint8_t> tail_zero,
                    const std::vector<double>& counts) const;

private:
    AlignTable start_;
};

}  // namespace zel::align
