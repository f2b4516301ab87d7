#include "align/shards/row_ranges.hpp"

#include <algorithm>
#include <stdexcept>

#include "align/hmm/passes.hpp"
#include "align/model/distribution_files.hpp"
#include "common/errors.hpp"
#include "common/parallel.hpp"
#include "common/quiet_host.hpp"

namespace zel::align {

KeyUnion merge_keys(std::span<const std::span<const std::uint64_t>> lists, std::size_t first,
                    std::size_t count, std::size_t n_trg) {
    KeyUnion out;
    out.positions.resize(lists.size());
    for (std::size_t k = 0; k < lists.size(); ++k) {
        const auto l = lists[k];
        out.positions[k].resize(l.size());
        for (std::size_t i = 0; i < l.size(); ++i) {
            if ((i > 0 && l[i] <= l[i - 1]) || l[i] / n_trg < first ||
                l[i] / n_trg - first >= count)
                throw std::invalid_argument(
                    "a list of keys is not sorted, distinct cells of the rows");
        }
    }
    // Row by row: the row's targets in any list are marked once, sorted, numbered; then each
    // list's keys in the row look up their number. Linear but for the sort of each row.
    constexpr std::uint32_t kUnseen = 0xFFFFFFFFU;
    std::vector<std::uint32_t> slot(n_trg, kUnseen);
    std::vector<std::size_t> next(lists.size(), 0);
    std::vector<std::uint32_t> cols;
    for (std::size_t s = first; s < first + count; ++s) {
        const std::uint64_t base = std::uint64_t{s} * n_trg, end = base + n_trg;
        cols.clear();
        for (std::size_t k = 0; k < lists.size(); ++k) {
            const auto l = lists[k];
            for (std::size_t i = next[k]; i < l.size() && l[i] < end; ++i) {
                const auto t = static_cast<std::uint32_t>(l[i] - base);
                if (slot[t] == kUnseen) {
                    slot[t] = 0;
                    cols.push_back(t);
                }
            }
        }
        std::sort(cols.begin(), cols.end());
        if (out.keys.size() + cols.size() >= kNoCell)
            throw MemoryError("more than 2^32 - 2 cells in one range of rows: use more ranges");
        for (std::size_t i = 0; i < cols.size(); ++i) {
            slot[cols[i]] = static_cast<std::uint32_t>(out.keys.size() + i);
        }
        for (const std::uint32_t t : cols) out.keys.push_back(base + t);
        for (std::size_t k = 0; k < lists.size(); ++k) {
            const auto l = lists[k];
            std::size_t& i = next[k];
            for (; i < l.size() && l[i] < end; ++i)
                out.positions[k][i] = slot[static_cast<std::size_t>(l[i] - base)];
        }
        for (const std::uint32_t t : cols) slot[t] = kUnseen;
    }
    return out;
}

RowRange::RowRange(std::size_t first, std::size_t count, std::size_t n_trg,
                   std::span<const std::uint64_t> keys)
    : first_(first) {
    if (n_trg == 0) throw std::invalid_argument("no target words");
    std::vector<std::uint64_t> row_start(count + 1, 0);
    std::vector<std::uint32_t> cols(keys.size());
    for (std::size_t k = 0; k < keys.size(); ++k) {
        const std::uint64_t s = keys[k] / n_trg;
        if (s < first || s - first >= count || (k > 0 && keys[k] <= keys[k - 1]))
            throw std::invalid_argument("cell keys are not sorted, distinct cells of the rows");
        ++row_start[s - first + 1];
        cols[k] = static_cast<std::uint32_t>(keys[k] % n_trg);
    }
    for (std::size_t s = 0; s < count; ++s) row_start[s + 1] += row_start[s];
    pattern_ = CooccurrencePattern::from_rows(count, n_trg, std::move(row_start), std::move(cols));
}

std::vector<std::uint64_t> RowRange::keys() const {
    const CooccurrencePattern& p = *pattern_;
    std::vector<std::uint64_t> keys(p.cells());
    for (std::size_t s = 0; s < p.rows(); ++s) {
        for (std::size_t c = p.row_begin(s); c < p.row_end(s); ++c)
            keys[c] = std::uint64_t{first_ + s} * p.cols() + p.col(c);
    }
    return keys;
}

RowRange::Values RowRange::initial() const {
    const double v = 1.0 / static_cast<double>(pattern_->cols());
    return {std::vector<double>(cells(), v), std::vector<double>(pattern_->rows(), v),
            std::nullopt};
}

RowRange::Values RowRange::maximize(std::span<const double> values,
                                    std::span<const double> row_default,
                                    std::span<const std::span<const std::uint32_t>> positions,
                                    std::span<const std::span<const double>> counts,
                                    double prior) const {
    check_size(values.size(), cells(), "translation values");
    check_size(row_default.size(), pattern_->rows(), "row defaults");
    check_size(counts.size(), positions.size(), "shards' counts");
    for (std::size_t k = 0; k < positions.size(); ++k) {
        check_size(counts[k].size(), positions[k].size(), "a shard's counts");
        const auto at = positions[k];
        for (std::size_t i = 0; i < at.size(); ++i) {
            if (at[i] >= cells() || (i > 0 && at[i] <= at[i - 1]))
                throw std::invalid_argument("a shard's cells are not distinct cells of the range");
        }
    }
    // The threads add up parts of the cells, each cell's counts in shard order. A shard's
    // positions ascend, so its counts in a part are found by search.
    std::vector<double> total(cells(), 0.0);
    const std::size_t threads = thread_count();
    const std::size_t parts = threads == 1 ? 1 : threads * 4;
    parallel_for(parts, threads, [&](std::size_t part, std::size_t) {
        const std::size_t lo = cells() * part / parts, hi = cells() * (part + 1) / parts;
        for (std::size_t k = 0; k < positions.size(); ++k) {
            const auto at = positions[k];
            const auto first = std::lower_bound(at.begin(), at.end(), lo);
            const auto last = std::lower_bound(first, at.end(), hi);
            for (auto i = static_cast<std::size_t>(first - at.begin());
                 i < static_cast<std::size_t>(last - at.begin()); ++i)
                total[at[i]] += counts[k][i];
        }
    });
    TransTable table(pattern_, std::vector<double>(values.begin(), values.end()),
                     std::vector<double>(row_default.begin(), row_default.end()));
    CellCounts held(std::move(total));
    if (prior > 0.0) {
        normalize_rows_vb(table, held, prior, pattern_->cols());
    } else {
        table.normalize_rows(held);
    }
    return {table.release_values(), std::move(table.row_default), held.release()};
}

std::string RowRange::trans_lines(Values v, std::span<const std::string> src_words,
                                  std::span<const std::string> trg_words,
                                  const Threshold& threshold, std::int64_t nbest,
                                  bool with_counts) const {
    check_size(src_words.size(), pattern_->rows(), "source words");
    check_size(trg_words.size(), pattern_->cols(), "target words");
    if (with_counts) {
        if (!v.counts) throw Missing("the expected counts", Missing::Use::subscript);
        check_size(v.counts->size(), cells(), "translation counts");
    }
    QuietHost host;
    Model2Trainer t;
    t.init(host);
    // The rows' own vocabulary: row s is the range's word s.
    for (const auto& [words, e] : {std::pair{src_words, &t.model->vocab->src_enum},
                                   std::pair{trg_words, &t.model->vocab->trg_enum}}) {
        const std::vector<std::string_view> views(words.begin(), words.end());
        std::vector<WordId> ids(views.size());
        e->str2ids(views, ids.data());
        if (e->size() != views.size()) throw std::invalid_argument("the words are not distinct");
    }
    t.model->trans_dist =
        std::make_shared<TransTable>(pattern_, std::move(v.values), std::move(v.row_default));
    const std::string path = host.new_path();
    if (with_counts) {
        t.count_cooc_src2trg.emplace(std::move(*v.counts));
        t.save_trans_dist(host, path, threshold, nbest);
    } else {
        write_trans_dist(host, *t.model, path, threshold, nbest, false, nullptr);
    }
    return host.take(path);
}

AlignRows::AlignRows(std::size_t s_max, std::size_t t_max, std::span<const BlockKey> blocks)
    : start_(s_max, t_max, blocks) {}

AlignRows::Values AlignRows::initial() const { return {start_.values, start_.tail_zero}; }

AlignRows::Values AlignRows::maximize(std::span<const double> values,
                                      std::span<const std::uint8_t> tail_zero,
                                      const std::vector<double>& counts) const {
    check_size(values.size(), start_.values.size(), "alignment values");
    check_size(tail_zero.size(), start_.tail_zero.size(), "alignment rows");
    check_size(counts.size(), start_.values.size(), "alignment counts");
    AlignTable table = start_;
    std::copy(values.begin(), values.end(), table.values.begin());
    std::copy(tail_zero.begin(), tail_zero.end(), table.tail_zero.begin());
    table.normalize_rows(counts);
    return {std::move(table.values), std::move(table.tail_zero)};
}

}  // namespace zel::align
