#include "align/model/distribution_files.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <vector>

#include "align/tables/array_ops.hpp"
#include "align/tables/probability_tables.hpp"
#include "common/errors.hpp"
#include "common/format.hpp"
#include "common/number_text.hpp"
#include "common/utf8.hpp"

namespace zel::align {

namespace {

std::string where(const std::string& path, std::size_t line) {
    return " (" + path + ", line " + std::to_string(line) + ")";
}

// The host's float() of a number text: plain texts natively, any other through the host.
double parse_float(Host& host, std::string_view field, const std::string& path, std::size_t line) {
    double value = 0;
    if (parse_plain_double(field, value)) return value;  // out of range: ±inf or 0, as float()
    if (const auto text = host.read_number(field, false); text && parse_plain_double(*text, value))
        return value;
    throw ValueError("could not convert string to float: '" + std::string(field) + "'" +
                     where(path, line));
}

// The host's int() of a field as an array index: within 64 bits, or its digits when beyond
// (then no axis can hold it).
struct FileIndex {
    std::int64_t value = 0;
    std::string beyond;
};

FileIndex parse_index(Host& host, std::string_view field, const std::string& path,
                      std::size_t line) {
    long long value = 0;
    if (parse_plain_int(field, value)) return {value, {}};
    if (const auto text = host.read_number(field, true)) {
        if (parse_plain_int(*text, value)) return {value, {}};
        return {0, *text};
    }
    throw ValueError("invalid literal for int() with base 10: '" + std::string(field) + "'" +
                     where(path, line));
}

// The array index of a 1-based file column: `value` - 1 resolved on an axis of `size`,
// without the overflow that the subtraction would have at the smallest integer.
std::size_t resolve_one_based(const FileIndex& index, std::size_t axis, std::size_t size) {
    if (!index.beyond.empty() || index.value == std::numeric_limits<std::int64_t>::min()) {
        const std::string text = index.beyond.empty() ? std::to_string(index.value) : index.beyond;
        throw IndexError("index " + text + " - 1 is out of bounds for axis " +
                         std::to_string(axis) + " with size " + std::to_string(size));
    }
    return resolve_index(index.value - 1, axis, size);
}

std::size_t resolve_zero_based(const FileIndex& index, std::size_t axis, std::size_t size) {
    if (!index.beyond.empty()) {
        throw IndexError("index " + index.beyond + " is out of bounds for axis " +
                         std::to_string(axis) + " with size " + std::to_string(size));
    }
    return resolve_index(index.value, axis, size);
}

// Calls f(fields, line number) for every line of `path`, split at tabs.
template <class F>
void for_each_line(Host& host, const std::string& path, std::optional<std::string_view> label,
                   F&& f) {
    auto source = host.open_read(path, label);
    LineReader lines(*source);
    std::string_view line;
    std::vector<std::string_view> fields;
    while (lines.next(line)) {
        utf8::Invalid bad;
        if (!utf8::validate(line, bad)) {
            throw DecodeError(path, lines.line_number(), std::string(line), bad.start, bad.end,
                              bad.reason);
        }
        if (!line.empty() && line.back() == '\n') line.remove_suffix(1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        fields.clear();
        for (std::size_t start = 0;;) {
            const std::size_t tab = line.find('\t', start);
            fields.push_back(line.substr(
                start, tab == std::string_view::npos ? std::string_view::npos : tab - start));
            if (tab == std::string_view::npos) break;
            start = tab + 1;
        }
        f(fields, lines.line_number());
        if (lines.line_number() % 4096 == 0) host.check_interrupt();
    }
}

// What a load met that leaves the scores meaningless or surprising, told when it ends.
struct LoadReport {
    std::size_t stored = 0;
    std::size_t nonfinite = 0, first_nonfinite = 0;
    std::size_t wrapped = 0, first_wrapped = 0;

    void value(double p, std::size_t line) {
        if (std::isfinite(p)) return;
        if (nonfinite++ == 0) first_nonfinite = line;
    }
    void index(bool wraps, std::size_t line) {
        if (wraps && wrapped++ == 0) first_wrapped = line;
    }
    void tell(Host& host, const std::string& path) const {
        if (stored == 0) {
            host.warning(Channel::align, path +
                                             ": no line gave a probability of this corpus: "
                                             "every score comes from the uniform start");
        }
        if (nonfinite > 0) {
            host.warning(Channel::align, path + ": " + std::to_string(nonfinite) +
                                             " probabilities are NaN or infinite (the first on "
                                             "line " +
                                             std::to_string(first_nonfinite) + ")");
        }
        if (wrapped > 0) {
            host.warning(Channel::align,
                         path + ": " + std::to_string(wrapped) +
                             " lines hold a length or position below 1 (a source position below "
                             "0), which counts back from the end of its axis (the first on line " +
                             std::to_string(first_wrapped) + ")");
        }
    }
};

}  // namespace

void register_trans_words(Host& host, const std::string& path, Vocab& vocab) {
    for_each_line(host, path, std::nullopt,
                  [&](const std::vector<std::string_view>& f, std::size_t) {
                      if (f.size() != 3 && f.size() != 4) return;
                      vocab.src_enum.str2id(f[0]);
                      vocab.trg_enum.str2id(f[1]);
                  });
}

namespace {

// Calls f(source id, target id, probability, line number) for each 3- or 4-field line of a
// translation file, its words registered in `vocab` as they are met.
template <class F>
void for_each_trans_entry(Host& host, const std::string& path, Vocab& vocab, F&& f) {
    host.info(Channel::align, "loading word translation distribution file: " + path);
    for_each_line(host, path, "",
                  [&](const std::vector<std::string_view>& fields, std::size_t line) {
                      if (fields.size() != 3 && fields.size() != 4) return;
                      const WordId s = vocab.src_enum.str2id(fields[0]);
                      const WordId t = vocab.trg_enum.str2id(fields[1]);
                      f(s, t, parse_float(host, fields[2], path, line), line);
                  });
}

}  // namespace

std::vector<TransEntry> read_trans_entries(Host& host, const std::string& path, Vocab& vocab) {
    std::vector<TransEntry> entries;
    for_each_trans_entry(host, path, vocab, [&](WordId s, WordId t, double p, std::size_t line) {
        entries.push_back({s, t, p, line});
    });
    return entries;
}

void load_trans_dist(Host& host, const std::string& path, Model& model) {
    LoadReport report;
    const auto store = [&](WordId s, WordId t, double p, std::size_t line) {
        report.value(p, line);
        if (!model.trans_dist)
            throw Missing("the word translation distribution", Missing::Use::item_assignment);
        TransTable& table = *model.trans_dist;
        try {
            const std::size_t row = resolve_index(static_cast<std::int64_t>(s), 0, table.rows());
            const std::size_t col = resolve_index(static_cast<std::int64_t>(t), 1, table.cols());
            const std::int64_t cell = table.pattern().find(row, col);
            if (cell >= 0) {
                table.set_value(static_cast<std::size_t>(cell), p);
                ++report.stored;
            }
        } catch (const IndexError& e) {
            throw IndexError(std::string(e.what()) + where(path, line));
        }
    };
    for_each_trans_entry(host, path, *model.vocab, store);
    report.tell(host, path);
}

void load_align_dist(Host& host, const std::string& path, Model& model) {
    host.info(Channel::align, "loading alignment distribution file: " + path);
    LoadReport report;
    for_each_line(host, path, "", [&](const std::vector<std::string_view>& f, std::size_t line) {
        if (f.size() != 5 && f.size() != 6) return;
        FileIndex index[4];
        for (std::size_t k = 0; k < 4; ++k) index[k] = parse_index(host, f[k], path, line);
        const double p = parse_float(host, f[4], path, line);
        report.value(p, line);
        report.index(
            index[0].value < 1 || index[1].value < 1 || index[2].value < 1 || index[3].value < 0,
            line);
        if (!model.align_dist)
            throw Missing("the alignment distribution", Missing::Use::item_assignment);
        AlignTable& table = *model.align_dist;
        try {
            const std::size_t a =
                resolve_one_based(index[0], 0, table.s_max() > 0 ? table.s_max() - 1 : 0);
            const std::size_t b = resolve_one_based(index[1], 1, table.t_max());
            const std::size_t j = resolve_one_based(index[2], 2, table.t_max());
            const std::size_t i = resolve_zero_based(index[3], 3, table.s_max());
            const std::int64_t cell = table.cell(a, b, j, i);
            if (cell >= 0) {
                table.values[static_cast<std::size_t>(cell)] = p;
                ++report.stored;
            }
        } catch (const IndexError& e) {
            throw IndexError(std::string(e.what()) + where(path, line));
        }
    });
    report.tell(host, path);
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

// A model's own save operations are the file layer's writers: defined here, so the model
// layer does not include the file layer that includes it.
void Model::save_align_dist(Host& host, const std::string& path, const Threshold& threshold) const {
    write_align_dist(host, *this, path, threshold, false, nullptr);
}

void Model::save_trans_dist(Host& host, const std::string& path, const Threshold& threshold,
                            std::int64_t nbest) const {
    write_trans_dist(host, *this, path, threshold, nbest, false, nullptr);
}

}  // namespace zel::align
