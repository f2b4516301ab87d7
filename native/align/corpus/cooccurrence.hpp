// The (source word, target word) cells a corpus can touch, and where each pair's cells are.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "align/corpus/corpus.hpp"

namespace zel::align {

using CellId = std::uint32_t;

// The cell id of a (source, target) combination the pattern does not hold.
inline constexpr CellId kNoCell = 0xFFFFFFFFU;

// Where each source word occurs in a corpus: (pair, source position) packed as
// pair << 24 | position, grouped by word in corpus order. The pattern and the pair index are
// built from it, word by word.
struct SourceOccurrences {
    static constexpr std::size_t kMaxPosition = (std::size_t{1} << 24) - 1;

    SourceOccurrences(const Corpus& corpus, std::size_t n_src);

    static std::size_t pair_of(std::uint64_t packed) {
        return static_cast<std::size_t>(packed >> 24);
    }
    static std::size_t position_of(std::uint64_t packed) { return packed & kMaxPosition; }

    // Source words cut into consecutive ranges of about equal work, several per thread.
    std::vector<std::size_t> row_ranges(std::size_t threads) const;

    std::vector<std::uint64_t> start;  // occurrences of word s: at[start[s], start[s + 1])
    std::vector<std::uint64_t> at;
    std::vector<std::uint64_t> work;  // per word: the cells its occurrences visit
};

// Cells (s, t) such that s and t occur in one sentence pair, grouped by source word and sorted
// by target word (compressed sparse rows). Every value of a [V_src, V_trg] table outside these
// cells is never read nor changed by training on this corpus.
class CooccurrencePattern {
public:
    // `check`, when given, is called now and then and throws to stop (an interruption).
    static std::shared_ptr<const CooccurrencePattern> build(
        const Corpus& corpus, const SourceOccurrences& occ, std::size_t n_src, std::size_t n_trg,
        const std::function<void()>& check = {});

    // A pattern given as its rows: row s holds cols[row_start[s], row_start[s + 1]), sorted
    // and distinct (checked).
    static std::shared_ptr<const CooccurrencePattern> from_rows(
        std::size_t n_src, std::size_t n_trg, std::vector<std::uint64_t> row_start,
        std::vector<std::uint32_t> cols);

    std::size_t rows() const { return n_src_; }
    std::size_t cols() const { return n_trg_; }
    std::size_t cells() const { return col_.size(); }

    // Cells of row s are [row_begin(s), row_end(s)); col(c) is the target word of cell c.
    std::size_t row_begin(std::size_t s) const { return row_start_[s]; }
    std::size_t row_end(std::size_t s) const { return row_start_[s + 1]; }
    std::uint32_t col(std::size_t c) const { return col_[c]; }
    const std::uint32_t* cols_data() const { return col_.data(); }

    // The cell of (s, t), or -1 when they never co-occur.
    std::int64_t find(std::size_t s, std::size_t t) const;

    // The cells of (s, trg[j]) for every j of `js`, into out[j] (kNoCell where they never
    // co-occur): find's answers, with the searches' memory reads overlapped. Each search's
    // segment of the row is asked for before any is read, so a position's m searches wait on
    // memory about once instead of m times.
    template <class Positions>
    void find_in_row(std::size_t s, std::span<const WordId> trg, const Positions& js,
                     CellId* out) const {
        const std::uint32_t* row = col_.data() + row_start_[s];
        const std::size_t n = row_start_[s + 1] - row_start_[s];
        const std::size_t samples = sample_start_[s + 1] - sample_start_[s];
        const std::uint32_t* sample = sample_.data() + sample_start_[s];
        for (const std::uint32_t j : js) {
            std::size_t begin = 0;
            if (samples > 0) {
                const std::ptrdiff_t block = last_not_above(sample, samples, trg[j]);
                if (block < 0) {
                    out[j] = kNoCell;
                    continue;
                }
                begin = static_cast<std::size_t>(block) * kSampleStride;
            }
            out[j] = static_cast<CellId>(begin);
            __builtin_prefetch(row + begin);
            __builtin_prefetch(row + begin + kSampleStride - 1);
        }
        for (const std::uint32_t j : js) {
            if (out[j] == kNoCell) continue;
            const std::size_t begin = out[j];
            const std::size_t len = std::min(kSampleStride, n - begin);
            const std::ptrdiff_t k = last_not_above(row + begin, len, trg[j]);
            out[j] = k >= 0 && row[begin + static_cast<std::size_t>(k)] == trg[j]
                         ? static_cast<CellId>(row_start_[s] + begin + static_cast<std::size_t>(k))
                         : kNoCell;
        }
    }

    // Position of the last element not above `t` in the sorted a[0, n), or -1 when there is
    // none. Branch-free: lookups land anywhere in a row, so a branching search mispredicts
    // every step.
    static std::ptrdiff_t last_not_above(const std::uint32_t* a, std::size_t n, std::uint32_t t) {
        if (n == 0 || a[0] > t) return -1;
        const std::uint32_t* base = a;
        while (n > 1) {
            const std::size_t half = n / 2;
            base = base[half] <= t ? base + half : base;
            n -= half;
        }
        return base - a;
    }

    std::size_t memory_bytes() const;

private:
    // Every kSampleStride-th target of each row, so a search in a long row touches a small
    // array and then one short block of the row instead of probing the whole row.
    static constexpr std::size_t kSampleStride = 32;
    void build_samples();

    std::size_t n_src_ = 0, n_trg_ = 0;
    std::vector<std::uint64_t> row_start_;
    std::vector<std::uint32_t> col_;
    std::vector<std::uint64_t> sample_start_;  // samples of row s: sample_[sample_start_[s] ..)
    std::vector<std::uint32_t> sample_;
};

// What the pair cell index may take by default: the memory this process may still use, less
// what the tables made after it need (a value and a count for each of `pattern_cells` cells)
// and `later_bytes` that the model takes once trained, with a quarter of the rest kept for
// everything else; 1 GiB when the memory is not known. ZEL_MEMORY_SHARE=N (set by a command
// that trains N processes at once) counts on 1/N of it, and `models` (models that one process
// trains together) on a further 1/models.
std::size_t pair_index_budget(std::size_t pattern_cells, std::size_t models = 1,
                              std::size_t later_bytes = 0);

// The cells of each sentence pair, l * m of them, row by row (source position i, then target
// position j), as the E-step and the scores read them; kNoCell where the pattern lacks the
// pair's words (one pruned of cells the corpus has).
//
// Kept as an index within `budget_bytes` where it fits, else found by binary search in the
// pattern: the same answers, trading memory for speed. The index holds each cell as it is (4
// bytes a position pair) when the whole corpus fits so, else as its rank in its row (2 bytes,
// while rows are shorter than 65,535 cells; 1 byte over a pruned pattern whose rows of fewer
// than 255 cells hold most position pairs, the longer rows then taking a direct row or a
// search). When not every source word's positions fit:
// - a word whose positions would take more than a row of the whole target vocabulary gets such
//   a row (the cell of every target word, one read away): the frequent words, few but most of
//   the position pairs, then cost a fixed size whatever the corpus's size;
// - of the others, the words of the longest rows come first (a search costs most there);
// so the cost grows with the share of the corpus left out, not all at once.
class PairCells {
public:
    // `byte_ranks` allows ranks in a byte where the short rows hold most position pairs, as a
    // pruned pattern's do (see short_).
    PairCells(std::shared_ptr<const CooccurrencePattern> pattern, const Corpus& corpus,
              const SourceOccurrences& occ, std::size_t budget_bytes,
              const std::function<void()>& check = {}, bool byte_ranks = false);

    // Cells of pair p, l * m of them (in `scratch` when they are not stored as they are).
    std::span<const CellId> of(std::size_t p, std::vector<CellId>& scratch) const;
    // The same, where only those at the target positions `js` are read: the others are left
    // as `scratch` had them when it holds the cells.
    template <class Positions>
    std::span<const CellId> of(std::size_t p, std::vector<CellId>& scratch,
                               const Positions& js) const {
        const auto src = corpus_.src(p);
        const auto trg = corpus_.trg(p);
        const std::size_t m = trg.size();
        if (whole_ && !narrow_) return {cells_.data() + start_[p], src.size() * m};
        scratch.resize(src.size() * m);
        std::uint64_t at = start_.empty() ? 0 : start_[p];  // the next indexed position's row
        for (std::size_t i = 0; i < src.size(); ++i) {
            CellId* out = scratch.data() + i * m;
            const std::uint32_t form = whole_ ? kRanked : form_[src[i]];
            if (form == kSearched) {
                search_row(src[i], trg, js, out);
                continue;
            }
            if (form != kRanked) {
                const CellId* row = direct_.data() + std::size_t{form} * pattern_->cols();
                for (const std::uint32_t j : js) out[j] = row[trg[j]];
                continue;
            }
            if (short_) {
                const auto base = static_cast<CellId>(pattern_->row_begin(src[i]));
                const std::uint8_t* rank = short_ranks_.data() + at;
                for (const std::uint32_t j : js)
                    out[j] = rank[j] == kNoShortRank ? kNoCell : base + rank[j];
            } else if (narrow_) {
                const auto base = static_cast<CellId>(pattern_->row_begin(src[i]));
                const std::uint16_t* rank = ranks_.data() + at;
                for (const std::uint32_t j : js)
                    out[j] = rank[j] == kNoRank ? kNoCell : base + rank[j];
            } else {
                const CellId* cells = cells_.data() + at;
                for (const std::uint32_t j : js) out[j] = cells[j];
            }
            at += m;
        }
        return scratch;
    }

    // Every position pair's cell is kept (none is searched for).
    bool precomputed() const { return whole_; }
    // The share of the corpus's position pairs whose cells are kept, and how (for the log).
    double kept_share() const { return kept_share_; }
    std::string describe() const;
    std::size_t memory_bytes() const {
        return short_ranks_.capacity() + ranks_.capacity() * 2 +
               (cells_.capacity() + direct_.capacity()) * 4 + start_.capacity() * 8 +
               form_.capacity() * 4;
    }

private:
    // The rank of a position pair whose words the pattern does not hold (a pattern pruned of
    // cells the corpus has): rows of ranks are shorter than this.
    static constexpr std::uint16_t kNoRank = 0xFFFF;
    // The same in a byte, for ranks in rows shorter than it (see short_).
    static constexpr std::uint8_t kNoShortRank = 0xFF;
    bool short_row(std::size_t s) const {
        return pattern_->row_end(s) - pattern_->row_begin(s) < kNoShortRank;
    }
    // How a source word's cells are found, when not whole_: searched, by its positions' ranks
    // (or cells), or else the number of its row in direct_.
    static constexpr std::uint32_t kSearched = 0xFFFFFFFFU;
    static constexpr std::uint32_t kRanked = 0xFFFFFFFEU;
    bool ranked(std::size_t s) const { return form_[s] == kRanked; }
    // Chooses form_ within the budget; returns the position pairs whose cells are kept.
    std::uint64_t choose_forms(const SourceOccurrences& occ, std::size_t width,
                               std::size_t budget_bytes);
    template <class Positions>
    void search_row(WordId s, std::span<const WordId> trg, const Positions& js, CellId* out) const {
        check_ids(s, trg);
        pattern_->find_in_row(s, trg, js, out);
    }
    // IndexError for ids outside the pattern.
    void check_ids(WordId s, std::span<const WordId> trg) const;

    std::shared_ptr<const CooccurrencePattern> pattern_;
    const Corpus& corpus_;
    bool whole_ = false;  // every source word's positions are kept
    bool narrow_ = true;  // kept as ranks, not cells
    // Ranks kept in a byte: a pruned pattern's rows are mostly short, and a row of 255 cells
    // or more is then found otherwise (a direct row or a search).
    bool short_ = false;
    std::vector<std::uint32_t> form_;        // by source word, when not whole_
    std::vector<CellId> direct_;             // rows of cols() cells, by target word
    std::vector<std::uint64_t> start_;       // pair p's kept rows: from start_[p] on
    std::vector<CellId> cells_;              // the cells themselves, or
    std::vector<std::uint16_t> ranks_;       // their ranks in their rows (narrow_)
    std::vector<std::uint8_t> short_ranks_;  // or in a byte (short_)
    double kept_share_ = 0;
    std::size_t budget_ = 0, total_ = 0, direct_words_ = 0;
};

}  // namespace zel::align
