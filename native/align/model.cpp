#include "align/model.hpp"

#include <algorithm>
#include <array>
#include <cfenv>
#include <cmath>
#include <cstdio>
#include <limits>
#include <numeric>

#include "align/pair_blocks.hpp"
#include "common/errors.hpp"
#include "common/float_flags.hpp"
#include "common/format.hpp"
#include "common/memory.hpp"
#include "common/pairwise_sum.hpp"

namespace zel::align {

namespace {

// Per-pair entropies take the logarithm of each target word's probability (0 gives -inf) and
// divide by the target length (0 gives NaN).
void report_entropy_flags(Host& host, bool divide_by_zero, bool invalid) {
    using K = FloatEvent::Kind;
    using O = FloatEvent::Operation;
    if (divide_by_zero) host.float_event({K::divide_by_zero, O::log});
    if (invalid) host.float_event({K::invalid, O::scalar_divide});
}

// The decoded link of target position j of a pair: the lowest source position of the largest
// a x t, NaN ranking below numbers, compared quietly (a NaN raises nothing). Every product also
// goes to use(v), in source order.
template <class Use>
std::size_t decode_position(const PairBlock& block, const TransTable& trans,
                            std::span<const CellId> cells, std::span<const WordId> src,
                            std::size_t j, Use&& use) {
    std::size_t best = 0;
    double best_value = std::numeric_limits<double>::quiet_NaN();
    for (std::size_t i = 0; i < src.size(); ++i) {
        const double v = block.at(j, i) * trans_value(trans, cells[i * block.m + j], src[i]);
        use(v);
        if (std::isnan(best_value) ? !std::isnan(v) : std::isgreater(v, best_value)) {
            best = i;
            best_value = v;
        }
    }
    return best;
}

}  // namespace

Model::Model(Host& host) {
    host.debug(Channel::align, "base model cinit");
    Model::init();
}

void Model::init() { vocab = std::make_unique<Vocab>(); }

double Model::calc_pair_entropy(std::span<const WordId>, std::span<const WordId>,
                                std::span<const CellId>, bool) const {
    throw NotImplemented();
}

double Model::entropy_of_columns(std::span<const double>, std::size_t, bool) const {
    throw NotImplemented();
}

double entropy_of_column_sums(std::span<const double> columns, double divisor, bool per_word) {
    const std::size_t m = columns.size();
    SmallBuffer<double, kPairScratch> logs(m);
    for (std::size_t j = 0; j < m; ++j) logs[j] = std::log(columns[j] / divisor);
    const double h = -pairwise_sum(logs.data(), m);
    return per_word ? h / static_cast<double>(m) : h;
}

void Model::pair_entropies(
    Host& host, const CorpusCells& c, DecodedLinks* links,
    const std::function<void(std::size_t, std::size_t, const std::vector<double>&)>& after) const {
    const std::size_t threads = thread_count();
    std::vector<std::vector<CellId>> scratch(threads);
    std::vector<double> entropy(kBlock);
    auto progress = host.progress("progress", c.corpus.size());
    FloatFlags flags;
    for_blocks(
        host, *progress, c.corpus.size(), threads, &flags,
        [&](std::size_t p, std::size_t worker) {
            const auto cells = c.cells->of(p, scratch[worker]);
            const auto src = c.corpus.src(p), trg = c.corpus.trg(p);
            if (!links) {
                entropy[p % kBlock] = calc_pair_entropy(src, trg, cells, true);
                return;
            }
            // calc_pair_entropy's column sums of a x t, and the links decoded from the same
            // products.
            const std::size_t l = src.size(), m = trg.size();
            const PairBlock block(*align_dist, l, m);
            SmallBuffer<double, kPairScratch> columns(m);
            const std::size_t first = c.corpus.trg_start(p);
            for (std::size_t j = 0; j < m; ++j) {
                links->set(first + j, decode_position(block, *trans_dist, cells, src, j,
                                                      [&](double v) { columns[j] += v; }));
            }
            entropy[p % kBlock] = entropy_of_columns(columns.span(), l, true);
        },
        [&](std::size_t begin, std::size_t end) { after(begin, end, entropy); });
    report_entropy_flags(host, flags.divide_by_zero(), flags.invalid());
}

bool Model::keeps_links(const CorpusCells& c, DecodedLinks& links) const {
    if (!trans_dist || !align_dist || pair_columns() != Columns::weighted_by_alignment)
        return false;
    std::size_t longest = 0;
    for (std::size_t p = 0; p < c.corpus.size(); ++p)
        longest = std::max(longest, c.corpus.src(p).size());
    return links.make(c.corpus.trg_start(c.corpus.size()), longest);
}

bool DecodedLinks::make(std::size_t tokens, std::size_t positions) {
    kept_ = false;
    bytes_.clear();
    if (positions > std::size_t{1} << 16) return false;
    width_ = positions > 256 ? 2 : 1;
    try {
        allocate_checked(tokens * width_, "decoded alignment",
                         [&] { bytes_.resize(tokens * width_); });
    } catch (const MemoryError&) {
        return false;  // decoded by a pass of their own
    }
    kept_ = true;
    return true;
}

double Model::calc_entropy(Host& host, const CorpusCells& c) const {
    host.info(Channel::align, "calculating entropy");
    return corpus_entropy(host, c);
}

double Model::corpus_entropy(Host& host, const CorpusCells& c) const {
    CorpusEntropy entropy(*this, c.corpus);
    std::vector<std::vector<CellId>> scratch(thread_count());
    auto progress = host.progress("progress", c.corpus.size());
    for_blocks(
        host, *progress, c.corpus.size(), scratch.size(), nullptr,
        [&](std::size_t p, std::size_t worker) {
            entropy.pair(c, p, c.cells->of(p, scratch[worker]));
        },
        [&](std::size_t begin, std::size_t end) { entropy.add(begin, end); });
    return entropy.mean(host, c.corpus.size());
}

CorpusEntropy::CorpusEntropy(const Model& model, const Corpus& corpus)
    : model_(model), corpus_(corpus), entropy_(kBlock) {
    std::uint64_t largest = 0;
    for (std::size_t b = 0; b < corpus.size(); b += kBlock) {
        const std::size_t e = std::min(corpus.size(), b + kBlock);
        largest = std::max(largest, corpus.trg_start(e) - corpus.trg_start(b));
    }
    columns_.resize(largest);
}

void CorpusEntropy::pair(const CorpusCells& c, std::size_t p, std::span<const CellId> cells) {
    int raised = 0;
    entropy_[p % kBlock] = flags_apart(raised, [&] {
        return model_.calc_pair_entropy(c.corpus.src(p), c.corpus.trg(p), cells, true);
    });
    if (raised) raised_.fetch_or(raised);
}

void CorpusEntropy::add_columns(std::size_t begin, std::size_t end, std::size_t threads) {
    const std::size_t n = end - begin;
    const std::size_t chunks = threads == 1 ? 1 : threads * 4;
    parallel_for(chunks, threads, [&](std::size_t chunk, std::size_t) {
        int raised = 0;
        for (std::size_t p = begin + n * chunk / chunks; p < begin + n * (chunk + 1) / chunks;
             ++p) {
            const std::span<const double> sums(columns(p), corpus_.trg(p).size());
            entropy_[p % kBlock] = flags_apart(raised, [&] {
                return model_.entropy_of_columns(sums, corpus_.src(p).size(), true);
            });
        }
        if (raised) raised_.fetch_or(raised);
    });
    add(begin, end);
}

void CorpusEntropy::add(std::size_t begin, std::size_t end) {
    for (std::size_t p = begin; p < end; ++p) total_ += entropy_[p % kBlock];
}

double CorpusEntropy::mean(Host& host, std::size_t pairs) {
    report_entropy_flags(host, (raised_.load() & FE_DIVBYZERO) != 0,
                         (raised_.load() & FE_INVALID) != 0);
    if (pairs == 0) throw ZeroDivision("float division");
    return total_ / static_cast<double>(pairs);
}

void Model::calc_and_save_scores(Host& host, const std::string& path, const CorpusCells& c,
                                 DecodedLinks* links) const {
    host.info(Channel::align, "calculating and storing alignment scores into file: " + path);
    LineWriter out(host.open_write(path));
    if (links && !keeps_links(c, *links)) links = nullptr;
    pair_entropies(host, c, links, [&](std::size_t begin, std::size_t end, const auto& entropy) {
        for (std::size_t p = begin; p < end; ++p) {
            fmt::append_float_repr(out.line(), entropy[p % kBlock]);
            out.end_line();
        }
    });
    out.close();
}

void Model::decode_and_save_align(Host& host, const std::string& path, const CorpusCells& c,
                                  const DecodedLinks* links) const {
    host.info(Channel::align, "decoding and storing alignment into file: " + path);
    LineWriter out(host.open_write(path));
    if (links && (!links->kept() || links->size() != c.corpus.trg_start(c.corpus.size())))
        links = nullptr;
    const std::size_t threads = thread_count();
    std::vector<std::vector<CellId>> scratch(threads);
    std::vector<std::vector<std::size_t>> decoded(threads);
    std::vector<std::string> lines(kBlock);
    auto progress = host.progress("progress", c.corpus.size());
    for_blocks(
        host, *progress, c.corpus.size(), threads, nullptr,
        [&](std::size_t p, std::size_t worker) {
            const auto src = c.corpus.src(p);
            const auto trg = c.corpus.trg(p);
            const std::size_t l = src.size(), m = trg.size();
            std::vector<std::size_t>& best = decoded[worker];
            best.assign(m, 0);
            if (links) {
                const std::size_t first = c.corpus.trg_start(p);
                for (std::size_t j = 0; j < m; ++j) best[j] = links->get(first + j);
            } else {
                const auto cells = c.cells->of(p, scratch[worker]);
                if (!trans_dist || !align_dist)
                    throw Missing("a distribution", Missing::Use::subscript);
                const PairBlock block(*align_dist, l, m);
                for (std::size_t j = 0; j < m; ++j)
                    best[j] = decode_position(block, *trans_dist, cells, src, j, [](double) {});
            }
            std::string& line = lines[p % kBlock];
            line.clear();
            for (std::size_t j = 0; j < m; ++j) {
                if (j > 0) line += ' ';
                fmt::append_integer(line, j + 1);
                line += '-';
                fmt::append_integer(line, best[j]);
            }
        },
        [&](std::size_t begin, std::size_t end) {
            for (std::size_t p = begin; p < end; ++p) {
                out.line() += lines[p % kBlock];
                out.end_line();
            }
        });
    out.close();
}

void Model::save_align_dist(Host& host, const std::string& path, const Threshold& threshold) const {
    write_align_dist(host, *this, path, threshold, false, nullptr);
}

void Model::save_trans_dist(Host& host, const std::string& path, const Threshold& threshold,
                            std::int64_t nbest) const {
    write_trans_dist(host, *this, path, threshold, nbest, false, nullptr);
}

namespace {

// The value as written: rounded to 32 bits, then compared and printed as a 64-bit float.
double as_float32(double v) { return static_cast<double>(static_cast<float>(v)); }

void append_entry_number(std::string& line, double value32, bool with_counts) {
    if (with_counts) {
        fmt::append_fixed(line, value32, 8);
    } else {
        fmt::append_float_repr(line, value32);
    }
}

template <class Counts>
double count_of(const Counts* counts, std::int64_t cell) {
    if (!counts) throw Missing("the expected counts", Missing::Use::subscript);
    return cell >= 0 ? (*counts)[static_cast<std::size_t>(cell)] : 0.0;
}

// Orders by value, largest first; NaN after every number; ties keep target id order.
bool ranks_before(double a, std::uint32_t ta, double b, std::uint32_t tb) {
    const bool na = std::isnan(a), nb = std::isnan(b);
    if (na != nb) return nb;
    if (!na && a != b) return a > b;
    return ta < tb;
}

}  // namespace

void write_trans_dist(Host& host, const Model& model, const std::string& path,
                      const Threshold& threshold, std::int64_t nbest, bool with_counts,
                      const CellCounts* counts) {
    // What is missing fails before the file is opened, so an earlier file stays untouched.
    if (!model.trans_dist)
        throw Missing("the word translation distribution", Missing::Use::subscript);
    if (with_counts && !counts) throw Missing("the expected counts", Missing::Use::subscript);
    LineWriter out(host.open_write(path));
    host.info(Channel::align, "storing translation probabilities into file (threshold=" +
                                  threshold.text + "): " + path);
    const TransTable& table = *model.trans_dist;
    const CooccurrencePattern& pattern = table.pattern();
    const StringEnumerator& src_words = model.vocab->src_enum;
    const StringEnumerator& trg_words = model.vocab->trg_enum;
    const std::size_t n_src = src_words.size(), n_trg = trg_words.size();
    if (table.cols() != n_trg || table.rows() < n_src) {
        throw IndexError(static_cast<std::int64_t>(n_src), 0, table.rows());
    }
    // The host's slice [:nbest] of a ranking of n_trg entries.
    const std::size_t n = static_cast<std::size_t>(n_trg);
    const std::size_t keep = nbest >= 0
                                 ? std::min<std::size_t>(static_cast<std::size_t>(nbest), n)
                                 : (std::size_t{0} - static_cast<std::size_t>(nbest) >= n
                                        ? 0
                                        : n - (std::size_t{0} - static_cast<std::size_t>(nbest)));

    const auto rank_row = [&](std::size_t s, std::vector<std::uint32_t>& order, std::string& text) {
        // The ranking of the whole dense row: stored cells by value, merged with the
        // implicit cells (all holding the row default) in target id order.
        const std::size_t row_begin = pattern.row_begin(s), row_end = pattern.row_end(s);
        order.resize(row_end - row_begin);
        std::iota(order.begin(), order.end(), 0U);
        const auto value_of = [&](std::uint32_t k) { return table.value(row_begin + k); };
        const auto col_of = [&](std::uint32_t k) { return pattern.col(row_begin + k); };
        // Ties are broken by target id, so the order is total and the first `keep` stored
        // cells (no more can be written) are those of a full stable sort.
        const auto before = [&](std::uint32_t x, std::uint32_t y) {
            return ranks_before(value_of(x), col_of(x), value_of(y), col_of(y));
        };
        const std::size_t ranked = std::min(keep, order.size());
        std::partial_sort(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(ranked),
                          order.end(), before);
        order.resize(ranked);
        const double fallback = table.row_default[s];
        const bool fallback_written = as_float32(fallback) > threshold.value;
        const std::string_view src_word = src_words.id2str(static_cast<StringEnumerator::Id>(s));

        const auto emit = [&](std::uint32_t t, double value, std::int64_t cell) {
            const double v32 = as_float32(value);
            if (!(v32 > threshold.value)) return;
            // The count first: a missing count table fails before any of the line is written.
            const double count = with_counts ? count_of(counts, cell) : 0.0;
            std::string& line = text;
            line += src_word;
            line += '\t';
            line += trg_words.id2str(t);
            line += '\t';
            append_entry_number(line, v32, with_counts);
            if (with_counts) {
                line += '\t';
                fmt::append_fixed(line, count, 2);
            }
            line += '\n';
        };

        std::size_t taken = 0, k = 0;
        std::uint32_t next_implicit = 0;  // smallest target id not yet ranked among implicit ones
        std::size_t stored_cursor =
            row_begin;  // to skip stored targets while walking implicit ones
        const auto advance_implicit = [&]() {
            while (stored_cursor < row_end && pattern.col(stored_cursor) < next_implicit)
                ++stored_cursor;
            while (next_implicit < n && stored_cursor < row_end &&
                   pattern.col(stored_cursor) == next_implicit) {
                ++next_implicit;
                ++stored_cursor;
            }
        };
        advance_implicit();
        while (taken < keep) {
            const bool have_stored = k < order.size();
            const bool have_implicit = next_implicit < n;
            if (!have_stored && !have_implicit) break;
            if (have_stored && (!have_implicit || ranks_before(value_of(order[k]), col_of(order[k]),
                                                               fallback, next_implicit))) {
                emit(col_of(order[k]), value_of(order[k]),
                     static_cast<std::int64_t>(row_begin + order[k]));
                ++k;
                ++taken;
                continue;
            }
            // Everything from the first implicit entry on ranks at or below the row default,
            // so when that is not written nothing after it is either.
            if (!fallback_written) break;
            emit(next_implicit, fallback, -1);
            ++taken;
            ++next_implicit;
            advance_implicit();
        }
    };
    // Rows are ranked and formatted on the threads, each into its own text, and written in
    // row order; an error keeps the rows before it and the lines its row had.
    const std::size_t threads = thread_count();
    std::vector<std::vector<std::uint32_t>> orders(threads);
    std::vector<std::string> texts(kBlock);
    auto progress = host.progress("storing", n_src);
    for_blocks(
        host, *progress, n_src, threads, nullptr,
        [&](std::size_t s, std::size_t worker) {
            texts[s % kBlock].clear();
            rank_row(s, orders[worker], texts[s % kBlock]);
        },
        [&](std::size_t begin, std::size_t end) {
            for (std::size_t s = begin; s < end; ++s) out.write_lines(texts[s % kBlock]);
        },
        Failed::kept);
    out.close();
}

void write_align_dist(Host& host, const Model& model, const std::string& path,
                      const Threshold& threshold, bool with_counts,
                      const std::vector<double>* counts) {
    if (!model.align_dist)
        throw Missing("the alignment distribution", Missing::Use::attribute, "max");
    const AlignTable& table = *model.align_dist;
    const std::size_t n_a = table.s_max() > 0 ? table.s_max() - 1 : 0;
    const std::size_t s_max = table.s_max(), t_max = table.t_max();

    // Candidate rows: those whose largest and smallest value over all S_max positions differ
    // (NaN makes them differ). Only stored rows can: every other row is uniform.
    std::vector<std::array<std::size_t, 3>> rows;
    std::vector<double> row(s_max);
    for (std::size_t a = 0; a < n_a; ++a) {
        for (std::size_t b = 0; b < t_max; ++b) {
            const std::int64_t block = table.block_at(a, b);
            if (block < 0) continue;
            for (std::size_t c = 0; c < table.block_rows(block); ++c) {
                for (std::size_t d = 0; d < s_max; ++d) row[d] = table.at(a, b, c, d);
                const auto [lo, hi] = std::minmax_element(row.begin(), row.end());
                const bool nan =
                    std::any_of(row.begin(), row.end(), [](double v) { return std::isnan(v); });
                if (nan || *lo != *hi) rows.push_back({a, b, c});
            }
        }
    }

    if (with_counts && !counts && !rows.empty())
        throw Missing("the expected counts", Missing::Use::subscript);
    LineWriter out(host.open_write(path));
    host.info(Channel::align, "storing alignment probabilities into file: " + path);
    auto progress = host.progress("storing", rows.size() * s_max);
    for (std::size_t r = 0; r < rows.size(); ++r) {
        if (r % 64 == 0) host.check_interrupt();
        const auto [a, b, c] = rows[r];
        for (std::size_t d = 0; d < s_max; ++d) {
            const double v32 = as_float32(table.at(a, b, c, d));
            const double count = with_counts ? count_of(counts, table.cell(a, b, c, d)) : 0.0;
            if (!(v32 > threshold.value)) continue;
            std::string& line = out.line();
            line += std::to_string(a + 1);
            line += '\t';
            line += std::to_string(b + 1);
            line += '\t';
            line += std::to_string(c + 1);
            line += '\t';
            line += std::to_string(d);
            line += '\t';
            append_entry_number(line, v32, with_counts);
            if (with_counts) {
                line += '\t';
                fmt::append_fixed(line, count, 2);
            }
            out.end_line();
        }
        progress->advance(s_max);
    }
    out.close();
}

}  // namespace zel::align
