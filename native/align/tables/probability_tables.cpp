#include "align/tables/probability_tables.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>
#include <utility>

#include "align/tables/array_ops.hpp"
#include "common/memory.hpp"
#include "common/pairwise_sum.hpp"
#include "common/parallel.hpp"

namespace zel::align {

TransTable::TransTable(std::shared_ptr<const CooccurrencePattern> pattern, double initial,
                       bool with_counts)
    : stride_(with_counts ? 2 : 1), pattern_(std::move(pattern)) {
    assign_table(slots_, pattern_->cells() * stride_, initial, "word translation distribution");
    if (with_counts) {
        for (std::size_t c = 0; c < pattern_->cells(); ++c) slots_[2 * c + 1] = 0.0;
    }
    row_default.assign(pattern_->rows(), initial);
}

TransTable::TransTable(std::shared_ptr<const CooccurrencePattern> pattern,
                       std::vector<double> values, std::vector<double> defaults)
    : row_default(std::move(defaults)),
      slots_(std::move(values)),
      stride_(1),
      pattern_(std::move(pattern)) {
    if (slots_.size() != pattern_->cells() || row_default.size() != pattern_->rows())
        throw std::invalid_argument("values do not match the table's cells and rows");
}

std::vector<double> TransTable::release_values() {
    if (stride_ != 1 || counts_holder_) throw std::logic_error("the values hold count slots");
    return std::exchange(slots_, {});
}

double TransTable::at(std::size_t s, std::size_t t) const {
    const std::int64_t c = pattern_->find(s, t);
    return c >= 0 ? value(static_cast<std::size_t>(c)) : std::max(row_default[s], floor);
}

std::shared_ptr<TransTable> keep_cells_from(const TransTable& table, double threshold,
                                            double floor) {
    const CooccurrencePattern& p = table.pattern();
    std::vector<std::uint64_t> row_start(p.rows() + 1, 0);
    for (std::size_t s = 0; s < p.rows(); ++s) {
        std::uint64_t kept = 0;
        for (std::size_t c = p.row_begin(s); c < p.row_end(s); ++c)
            kept += table.value(c) >= threshold;
        row_start[s + 1] = row_start[s] + kept;
    }
    std::vector<std::uint32_t> cols;
    assign_table(cols, row_start.back(), std::uint32_t{0}, "pruned co-occurrence pattern");
    std::size_t k = 0;
    for (std::size_t c = 0; c < p.cells(); ++c) {
        if (table.value(c) >= threshold) cols[k++] = p.col(c);
    }
    auto kept = std::make_shared<TransTable>(
        CooccurrencePattern::from_rows(p.rows(), p.cols(), std::move(row_start), std::move(cols)),
        0.0, table.has_count_slots());
    k = 0;
    for (std::size_t c = 0; c < p.cells(); ++c) {
        if (table.value(c) >= threshold) kept->set_value(k++, table.value(c));
    }
    kept->row_default = table.row_default;
    kept->floor = floor;
    return kept;
}

namespace {

// One expression for the product both the M-step and the recovery compute, so both round it
// alike.
double count_estimate(double value, double total) { return value * total; }

}  // namespace

void TransTable::normalize_rows(const CellCounts& counts, CountRecovery* recovery) {
    const CooccurrencePattern& p = *pattern_;
    // Rows are independent: ranges of about equal cells go to the threads.
    const std::size_t threads = thread_count();
    const std::size_t parts = threads == 1 ? 1 : threads * 8;
    std::vector<std::size_t> cuts{0};
    for (std::size_t s = 0; s < p.rows(); ++s) {
        if (p.row_end(s) * parts >= p.cells() * cuts.size() && cuts.size() < parts)
            cuts.push_back(s + 1);
    }
    cuts.push_back(p.rows());
    if (recovery) {
        allocate_checked(p.cells() / 2 + 1 + p.rows() * sizeof(double), "saved expected counts",
                         [&] {
                             recovery->totals_.resize(p.rows());
                             recovery->ulps_.resize(p.cells() / 2 + 1);
                         });
        recovery->held_.assign(cuts.size() - 1, {});
    }
    parallel_for(cuts.size() - 1, threads, [&](std::size_t part, std::size_t) {
        // A byte holds the corrections of two cells; one at either end of the part whose byte
        // it shares with the next part is held instead, so no byte is written by two threads.
        const std::size_t first = p.row_begin(cuts[part]), last = p.row_begin(cuts[part + 1]);
        const auto shares_a_byte = [&](std::size_t c) {
            return (c == first && c % 2 == 1) || (c + 1 == last && c % 2 == 0);
        };
        // Read through a plain pointer: through the holder, its members would be loaded again
        // at every cell.
        const double* count_data = counts.data();
        const std::size_t count_stride = counts.stride();
        const auto count = [&](std::size_t c) { return count_data[c * count_stride]; };
        for (std::size_t s = cuts[part]; s < cuts[part + 1]; ++s) {
            const std::size_t begin = p.row_begin(s), end = p.row_end(s);
            // The dense row sum, grouped as the dense array's reduction groups it.
            const double total =
                sparse_pairwise_sum(p.cols(), p.cols_data() + begin, end - begin,
                                    count_data + begin * count_stride, count_stride);
            if (recovery) recovery->totals_[s] = total;
            if (!(total > 0.0)) {
                if (recovery) {
                    for (std::size_t c = begin; c < end; ++c)
                        recovery->held_[part].emplace_back(c, count(c));
                }
                continue;
            }
            row_default[s] = 0.0;
            if (!recovery) {
                for (std::size_t c = begin; c < end; ++c) set_value(c, count(c) / total);
                continue;
            }
            for (std::size_t c = begin; c < end; ++c) {
                const double n = count(c), v = n / total;
                set_value(c, v);
                const double estimate = count_estimate(v, total);
                // Both finite and non-negative, their bit patterns are ordered as they are.
                bool fits = std::isfinite(n) && std::isfinite(estimate) && !std::signbit(n) &&
                            !std::signbit(estimate);
                std::int64_t ulps = 0;
                if (fits) {
                    ulps = std::bit_cast<std::int64_t>(n) - std::bit_cast<std::int64_t>(estimate);
                    fits = ulps >= -8 && ulps <= 7 && !shares_a_byte(c);
                }
                if (fits) {
                    std::uint8_t& byte = recovery->ulps_[c / 2];
                    const unsigned shift = 4 * (c % 2);
                    byte =
                        static_cast<std::uint8_t>((byte & ~(0xFU << shift)) |
                                                  ((static_cast<unsigned>(ulps) & 0xFU) << shift));
                } else {
                    recovery->held_[part].emplace_back(c, n);
                }
            }
        }
    });
}

void CountRecovery::recover(const TransTable& table, CellCounts& counts) const {
    const CooccurrencePattern& p = table.pattern();
    for (std::size_t s = 0; s < p.rows(); ++s) {
        if (!(totals_[s] > 0.0)) continue;
        for (std::size_t c = p.row_begin(s); c < p.row_end(s); ++c) {
            const double estimate = count_estimate(table.value(c), totals_[s]);
            const unsigned byte = ulps_[c / 2];
            const auto nibble = static_cast<std::int64_t>((byte >> (4 * (c % 2))) & 0xFU);
            const std::int64_t ulps = nibble >= 8 ? nibble - 16 : nibble;
            counts[c] = std::bit_cast<double>(std::bit_cast<std::int64_t>(estimate) + ulps);
        }
    }
    for (const auto& part : held_) {
        for (const auto& [c, count] : part) counts[c] = count;
    }
}

CellCounts::CellCounts(std::vector<double> counts)
    : own_(std::move(counts)), data_(own_.data()), size_(own_.size()) {}

CellCounts::CellCounts(std::shared_ptr<TransTable> table) : size_(table->cells()) {
    if (!table->has_count_slots()) {
        assign_table(own_, size_, 0.0, "expected co-occurrence counts");
        data_ = own_.data();
        return;
    }
    if (table->counts_holder_) table->counts_holder_->keep_a_copy();
    table->counts_holder_ = this;
    data_ = table->slots_.data() + 1;
    stride_ = 2;
    table_ = std::move(table);
    for (std::size_t c = 0; c < size_; ++c) data_[2 * c] = 0.0;
}

std::vector<double> CellCounts::release() {
    if (table_) throw std::logic_error("the counts are a table's count slots");
    data_ = nullptr;
    size_ = 0;
    return std::exchange(own_, {});
}

CellCounts::CellCounts(CellCounts&& other) noexcept
    : own_(std::move(other.own_)),
      table_(std::move(other.table_)),
      data_(std::exchange(other.data_, nullptr)),
      stride_(std::exchange(other.stride_, 1)),
      size_(std::exchange(other.size_, 0)) {
    if (table_) table_->counts_holder_ = this;
}

CellCounts::~CellCounts() {
    if (table_) table_->counts_holder_ = nullptr;
}

void CellCounts::keep_a_copy() {
    std::vector<double> copy;
    allocate_checked(size_ * sizeof(double), "expected co-occurrence counts",
                     [&] { copy.resize(size_); });
    for (std::size_t c = 0; c < size_; ++c) copy[c] = data_[c * stride_];
    own_ = std::move(copy);
    table_->counts_holder_ = nullptr;
    table_.reset();
    data_ = own_.data();
    stride_ = 1;
}

void zero_cell_counts(std::optional<CellCounts>& counts, const std::shared_ptr<TransTable>& table) {
    const bool reusable =
        counts && counts->size() == table->cells() &&
        (counts->slots_of() ? counts->slots_of() == table : !table->has_count_slots());
    if (reusable) {
        for (std::size_t c = 0; c < counts->size(); ++c) (*counts)[c] = 0.0;
        return;
    }
    counts.reset();
    counts.emplace(table);
}

AlignTable::AlignTable(std::size_t s_max, std::size_t t_max, const Corpus& corpus)
    : s_max_(s_max), t_max_(t_max) {
    make_index();
    for (std::size_t p = 0; p < corpus.size(); ++p) {
        BlockRef ref;
        try {
            ref = block_for(static_cast<std::int64_t>(corpus.src(p).size()),
                            static_cast<std::int64_t>(corpus.trg(p).size()));
        } catch (const std::out_of_range&) {
            continue;  // a pair the dense array cannot index either; it fails when used
        }
        add_block(ref.a, ref.b);
    }
    fill_uniform();
}

AlignTable::AlignTable(std::size_t s_max, std::size_t t_max, std::span<const BlockKey> keys)
    : s_max_(s_max), t_max_(t_max) {
    make_index();
    for (const auto& [a, b] : keys) {
        if (a + 1 >= std::max<std::size_t>(s_max, 1) || b >= t_max) {
            throw std::out_of_range("alignment block (" + std::to_string(a) + ", " +
                                    std::to_string(b) + ") outside the table");
        }
        add_block(a, b);
    }
    fill_uniform();
}

void AlignTable::make_index() {
    const std::size_t n_a = s_max_ > 0 ? s_max_ - 1 : 0;
    // One slot a (source length, target length): the longest sentences of each side, even of
    // different pairs, size it.
    const std::size_t slots = t_max_ == 0 || n_a <= std::numeric_limits<std::size_t>::max() /
                                                        sizeof(std::int64_t) / t_max_
                                  ? n_a * t_max_
                                  : std::numeric_limits<std::size_t>::max() / sizeof(std::int64_t);
    allocate_checked(slots * sizeof(std::int64_t), "word alignment block index",
                     [&] { index_.assign(slots, -1); });
}

void AlignTable::add_block(std::size_t a, std::size_t b) {
    std::int64_t& slot = index_[a * t_max_ + b];
    if (slot >= 0) return;
    slot = static_cast<std::int64_t>(blocks_.size());
    // A block's stored rows are those its nominal target length m = b + 1 can touch, over its
    // nominal source length l = a + 2; pairs wrapped into it (empty sides) fit inside.
    const std::size_t stored =
        blocks_.empty() ? 0 : blocks_.back().offset + blocks_.back().rows * blocks_.back().cols;
    const std::size_t rows = blocks_.empty() ? 0 : blocks_.back().first_row + blocks_.back().rows;
    blocks_.push_back(Block{a, b, b + 1, a + 2, stored, rows});
}

void AlignTable::fill_uniform() {
    std::size_t stored = 0, rows = 0;
    if (!blocks_.empty()) {
        stored = blocks_.back().offset + blocks_.back().rows * blocks_.back().cols;
        rows = blocks_.back().first_row + blocks_.back().rows;
    }
    allocate_checked(stored * sizeof(double), "word alignment distribution", [&] {
        values.resize(stored);
        tail_zero.assign(rows, 0);
    });
    for (const Block& block : blocks_) {
        std::fill_n(values.begin() + static_cast<std::ptrdiff_t>(block.offset),
                    block.rows * block.cols, uniform(block.a));
    }
}

std::size_t AlignTable::dense_size() const {
    return (s_max_ > 0 ? s_max_ - 1 : 0) * t_max_ * t_max_ * s_max_;
}

BlockRef AlignTable::block_for(std::int64_t l, std::int64_t m) const {
    const std::size_t n_a = s_max_ > 0 ? s_max_ - 1 : 0;
    const std::size_t a = resolve_index(l - 2, 0, n_a);
    const std::size_t b = resolve_index(m - 1, 1, t_max_);
    return {a, b, index_[a * t_max_ + b]};
}

std::int64_t AlignTable::cell(std::size_t a, std::size_t b, std::size_t j, std::size_t i) const {
    const std::int64_t block = index_[a * t_max_ + b];
    if (block < 0) return -1;
    const Block& k = blocks_[static_cast<std::size_t>(block)];
    if (j >= k.rows || i >= k.cols) return -1;
    return static_cast<std::int64_t>(k.offset + j * k.cols + i);
}

double AlignTable::at(std::size_t a, std::size_t b, std::size_t j, std::size_t i) const {
    const std::int64_t block = index_[a * t_max_ + b];
    if (block < 0) return uniform(a);
    const Block& k = blocks_[static_cast<std::size_t>(block)];
    if (j >= k.rows) return uniform(a);
    if (i < k.cols) return values[k.offset + j * k.cols + i];
    return tail_zero[k.first_row + j] ? 0.0 : uniform(a);
}

void AlignTable::normalize_rows(const std::vector<double>& counts) {
    std::vector<double> row(s_max_, 0.0);
    for (const Block& k : blocks_) {
        for (std::size_t j = 0; j < k.rows; ++j) {
            const std::size_t begin = k.offset + j * k.cols;
            // The dense row has S_max cells; those past the block's columns count 0.
            std::copy_n(counts.begin() + static_cast<std::ptrdiff_t>(begin), k.cols, row.begin());
            std::fill(row.begin() + static_cast<std::ptrdiff_t>(k.cols), row.end(), 0.0);
            const double total = pairwise_sum(row.data(), s_max_);
            if (!(total > 0.0)) continue;
            for (std::size_t i = 0; i < k.cols; ++i) values[begin + i] = counts[begin + i] / total;
            tail_zero[k.first_row + j] = 1;
        }
    }
}

}  // namespace zel::align
