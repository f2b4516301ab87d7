// The distributions and count tables of the alignment models, stored compactly.
//
// The models are defined on dense arrays: t(target | source) as [V_src, V_trg] and the
// alignment distribution as [S_max - 1, T_max, T_max, S_max]. Training on a corpus only ever
// reads or changes the cells its sentence pairs touch, so these tables store exactly those
// cells, plus what every other cell holds (a per-row default), and answer for any cell the
// value the dense array would hold. See align/README.md.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "align/corpus/cooccurrence.hpp"
#include "align/corpus/corpus.hpp"

namespace zel::align {

class CellCounts;
class CountRecovery;

// t(target | source): values of the co-occurring cells, and for each source row the value of
// all its other cells (1 / V_trg until the row is first re-estimated, 0 after).
//
// A trainer's table keeps a slot for each cell's expected count beside its value
// (`with_counts`): the E-step reads a value and adds to its count at random cells of a table
// far larger than the caches, and one cache line then serves both. The slots are lent to one
// CellCounts at a time.
class TransTable {
public:
    TransTable(std::shared_ptr<const CooccurrencePattern> pattern, double initial,
               bool with_counts = false);
    // A table holding `values` (one per cell, no count slots) and the rows' `defaults`.
    TransTable(std::shared_ptr<const CooccurrencePattern> pattern, std::vector<double> values,
               std::vector<double> defaults);
    TransTable(const TransTable&) = delete;
    TransTable& operator=(const TransTable&) = delete;

    const CooccurrencePattern& pattern() const { return *pattern_; }
    std::shared_ptr<const CooccurrencePattern> shared_pattern() const { return pattern_; }
    std::size_t rows() const { return pattern_->rows(); }
    std::size_t cols() const { return pattern_->cols(); }
    std::size_t cells() const { return pattern_->cells(); }

    double value(std::size_t c) const { return slots_[c * stride_]; }
    void set_value(std::size_t c, double v) { slots_[c * stride_] = v; }
    // Cell c's value is value_data()[c * stride()]; its count slot, when there is one, follows.
    const double* value_data() const { return slots_.data(); }
    std::size_t stride() const { return stride_; }
    bool has_count_slots() const { return stride_ == 2; }

    // The dense value at (s, t), indices already in range.
    double at(std::size_t s, std::size_t t) const;

    // Re-estimates every row from `counts` (one per cell; other cells count 0): rows whose
    // total is positive become counts / total, the others keep their values. With
    // `recovery`, also keeps what brings the counts back once they are overwritten.
    void normalize_rows(const CellCounts& counts, CountRecovery* recovery = nullptr);

    std::vector<double> row_default;  // one per source row
    // What a cell outside the pattern reads where that exceeds its row's default: above 0 once
    // the pattern is pruned of cells its corpus has (see keep_cells_from), so that a target
    // word whose every cell was pruned still has somewhere to link.
    double floor = 0.0;

    // Gives up the values of a table without count slots, leaving it empty.
    std::vector<double> release_values();

private:
    friend class CellCounts;
    std::vector<double> slots_;
    std::size_t stride_;
    CellCounts* counts_holder_ = nullptr;  // whose counts the count slots hold
    std::shared_ptr<const CooccurrencePattern> pattern_;
};

// The expected counts of the translation cells, one per pattern cell, as a trainer keeps them
// from its E-step to its M-step: in the count slots of the table they re-estimate, or in an
// array of their own (set from outside, or for a table without slots). A holder whose slots
// another holder takes keeps a copy of its counts, so counts never change under their holder.
class CellCounts {
public:
    explicit CellCounts(std::vector<double> counts);
    // A zero for every cell of `table`, in its count slots when it has them.
    explicit CellCounts(std::shared_ptr<TransTable> table);
    ~CellCounts();
    CellCounts(CellCounts&& other) noexcept;
    CellCounts(const CellCounts&) = delete;
    CellCounts& operator=(const CellCounts&) = delete;

    std::size_t size() const { return size_; }
    double operator[](std::size_t c) const { return data_[c * stride_]; }
    double& operator[](std::size_t c) { return data_[c * stride_]; }
    // Count c is data()[c * stride()].
    double* data() { return data_; }
    const double* data() const { return data_; }
    std::size_t stride() const { return stride_; }
    // The table whose slots hold the counts (it owns data()), or null.
    const std::shared_ptr<TransTable>& slots_of() const { return table_; }
    // Gives up counts held in an array of their own, leaving none.
    std::vector<double> release();

private:
    // Another holder takes the slots: the counts move to an array of their own.
    void keep_a_copy();

    std::vector<double> own_;
    std::shared_ptr<TransTable> table_;
    double* data_ = nullptr;
    std::size_t stride_ = 1, size_ = 0;
};

// What brings back the counts a TransTable was last re-estimated from, after they are
// overwritten (an E-step computed ahead, then not wanted): each count is the product of its
// cell's new value and its row's total, corrected by a few units in the last place (four bits a
// cell), or, where that does not give it, held as it is.
class CountRecovery {
public:
    // Writes the counts back; `table` and `counts` are those the M-step had.
    void recover(const TransTable& table, CellCounts& counts) const;

private:
    friend class TransTable;
    std::vector<double> totals_;  // per row; a row not re-estimated holds its counts in held_
    // Per cell, four bits: count minus product, in units in the last place (-8 to 7).
    std::vector<std::uint8_t> ulps_;
    std::vector<std::vector<std::pair<std::size_t, double>>> held_;  // per part of the rows
};

// Makes `counts` a zero for every cell of `table`, reusing their memory where they can.
void zero_cell_counts(std::optional<CellCounts>& counts, const std::shared_ptr<TransTable>& table);

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
    // The blocks (a, b) given, in their order: a corpus's, as the constructor above would
    // store them for it.
    using BlockKey = std::pair<std::size_t, std::size_t>;
    AlignTable(std::size_t s_max, std::size_t t_max, std::span<const BlockKey> keys);
    std::size_t blocks() const { return blocks_.size(); }
    BlockKey block_key(std::size_t k) const { return {blocks_[k].a, blocks_[k].b}; }
    // The first of the block's rows among all stored rows (as tail_zero holds them).
    std::size_t block_first_row(std::int64_t block) const {
        return blocks_[static_cast<std::size_t>(block)].first_row;
    }

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
    void make_index();
    // Stores the block (a, b) after the others, unless it is there.
    void add_block(std::size_t a, std::size_t b);
    void fill_uniform();
    std::size_t s_max_, t_max_;
    std::vector<std::int64_t> index_;  // (a, b) -> block or -1
    std::vector<Block> blocks_;
};

using BlockKey = AlignTable::BlockKey;

// The translation value of a pair's cell (the row default, or the floor above it, where the
// pattern has no cell).
inline double trans_value(const TransTable& t, CellId cell, WordId s) {
    return cell == kNoCell ? std::max(t.row_default[s], t.floor) : t.value(cell);
}

// The cells of `table` whose value is at least `threshold`, as a table of their own over a
// pattern of those cells: their values, count slots when `table` has them, its rows' defaults,
// and `floor` for the cells left out.
std::shared_ptr<TransTable> keep_cells_from(const TransTable& table, double threshold,
                                            double floor);

// p_align(i | j) of a pair's block, as read from align_dist[l - 2, m - 1, j, i], resolved once
// for the pair: j < m and i < l stay inside the stored block (or its uniform default).
struct PairBlock {
    const AlignTable& table;
    BlockRef ref;
    std::size_t l, m;
    std::size_t cols;
    const double* values;  // null when the block is not stored

    PairBlock(const AlignTable& t, std::size_t l_, std::size_t m_)
        : table(t),
          ref(t.block_for(static_cast<std::int64_t>(l_), static_cast<std::int64_t>(m_))),
          l(l_),
          m(m_) {
        cols = ref.block >= 0 ? t.block_cols(ref.block) : 0;
        values = ref.block >= 0 ? t.values.data() + t.block_offset(ref.block) : nullptr;
    }
    double at(std::size_t j, std::size_t i) const {
        return values ? values[j * cols + i] : AlignTable::uniform(ref.a);
    }
    // Adds the pair's posteriors (m rows of l, by target position, as the block's rows are)
    // to the counts of its stored block.
    void add_counts(std::vector<double>& counts, const double* post) const {
        double* block = counts.data() + table.block_offset(ref.block);
        for (std::size_t j = 0; j < m; ++j) {
            for (std::size_t i = 0; i < l; ++i) block[j * cols + i] += post[j * l + i];
        }
    }
};

}  // namespace zel::align
