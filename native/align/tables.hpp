// The distributions and count tables of the alignment models, stored compactly.
//
// The models are defined on dense arrays: t(target | source) as [V_src, V_trg] and the
// alignment distribution as [S_max - 1, T_max, T_max, S_max]. Training on a corpus only ever
// reads or changes the cells its sentence pairs touch, so these tables store exactly those
// cells, plus what every other cell holds (a per-row default), and answer for any cell the
// value the dense array would hold. See align/README.md.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "align/cooccurrence.hpp"
#include "align/corpus.hpp"

namespace zel::align {

// t(target | source): values of the co-occurring cells, and for each source row the value of
// all its other cells (1 / V_trg until the row is first re-estimated, 0 after).
class TransTable {
public:
    TransTable(std::shared_ptr<const CooccurrencePattern> pattern, double initial);

    const CooccurrencePattern& pattern() const { return *pattern_; }
    std::shared_ptr<const CooccurrencePattern> shared_pattern() const { return pattern_; }
    std::size_t rows() const { return pattern_->rows(); }
    std::size_t cols() const { return pattern_->cols(); }

    // The dense value at (s, t), indices already in range.
    double at(std::size_t s, std::size_t t) const;

    // Re-estimates every row from `counts` (one per cell; other cells count 0): rows whose
    // total is positive become counts / total, the others keep their values.
    void normalize_rows(const std::vector<double>& counts);

    std::vector<double> values;       // one per cell of the pattern
    std::vector<double> row_default;  // one per source row

private:
    std::shared_ptr<const CooccurrencePattern> pattern_;
};

// Resolved position of a sentence pair's block in the alignment array.
struct BlockRef {
    std::size_t a, b;    // first two indices after wrapping
    std::int64_t block;  // stored block, or -1 (then every value is 1 / (a + 2))
};

// p_align(i | j, l, m): one block per (source length, target length) that the corpus has,
// holding the rows the corpus can touch (j < m) over the positions it can read (i < a + 2);
// every other row keeps 1 / (a + 2) throughout, and a re-estimated row is 0 beyond a + 2.
class AlignTable {
public:
    AlignTable(std::size_t s_max, std::size_t t_max, const Corpus& corpus);

    std::size_t s_max() const { return s_max_; }
    std::size_t t_max() const { return t_max_; }
    // Dense element count, (S_max - 1) * T_max * T_max * S_max.
    std::size_t dense_size() const;

    // The block of align_dist[l - 2, m - 1], with index checks and wrapping as the dense
    // array does (throws zel::IndexError).
    BlockRef block_for(std::int64_t l, std::int64_t m) const;
    std::int64_t block_at(std::size_t a, std::size_t b) const { return index_[a * t_max_ + b]; }

    std::size_t block_rows(std::int64_t block) const {
        return blocks_[static_cast<std::size_t>(block)].rows;
    }
    std::size_t block_cols(std::int64_t block) const {
        return blocks_[static_cast<std::size_t>(block)].cols;
    }
    std::size_t block_offset(std::int64_t block) const {
        return blocks_[static_cast<std::size_t>(block)].offset;
    }
    std::size_t stored() const { return values.size(); }

    // The dense value at (a, b, j, i), indices already in range.
    double at(std::size_t a, std::size_t b, std::size_t j, std::size_t i) const;
    // Index of stored cell (a, b, j, i), or -1 when the cell is not stored.
    std::int64_t cell(std::size_t a, std::size_t b, std::size_t j, std::size_t i) const;

    // Re-estimates every stored row from `counts` (one per stored cell).
    void normalize_rows(const std::vector<double>& counts);

    std::vector<double> values;           // blocks back to back, rows x cols each
    std::vector<std::uint8_t> tail_zero;  // per stored row: positions >= cols hold 0, not 1/(a+2)

    static double uniform(std::size_t a) { return 1.0 / static_cast<double>(a + 2); }

private:
    struct Block {
        std::size_t a, b, rows, cols, offset, first_row;
    };
    std::size_t s_max_, t_max_;
    std::vector<std::int64_t> index_;  // (a, b) -> block or -1
    std::vector<Block> blocks_;
};

// The translation value of a pair's cell (the row default where the pattern has no cell).
inline double trans_value(const TransTable& t, CellId cell, WordId s) {
    return cell == kNoCell ? t.row_default[s] : t.values[cell];
}

// p_align(i | j) of a pair's block, as read from align_dist[l - 2, m - 1, j, i], resolved once
// for the pair: j < m and i < l stay inside the stored block (or its uniform default).
struct PairBlock {
    const AlignTable& table;
    BlockRef ref;
    std::size_t cols;
    const double* values;  // null when the block is not stored

    PairBlock(const AlignTable& t, std::size_t l, std::size_t m)
        : table(t), ref(t.block_for(static_cast<std::int64_t>(l), static_cast<std::int64_t>(m))) {
        cols = ref.block >= 0 ? t.block_cols(ref.block) : 0;
        values = ref.block >= 0 ? t.values.data() + t.block_offset(ref.block) : nullptr;
    }
    double at(std::size_t j, std::size_t i) const {
        return values ? values[j * cols + i] : AlignTable::uniform(ref.a);
    }
};

}  // namespace zel::align
