#include "align/distribution_files.hpp"

#include <cmath>
#include <limits>
#include <vector>

#include "align/array_ops.hpp"
#include "common/errors.hpp"
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

void load_trans_dist(Host& host, const std::string& path, Model& model) {
    host.info(Channel::align, "loading word translation distribution file: " + path);
    LoadReport report;
    for_each_line(host, path, "", [&](const std::vector<std::string_view>& f, std::size_t line) {
        if (f.size() != 3 && f.size() != 4) return;
        const auto s = static_cast<std::int64_t>(model.vocab->src_enum.str2id(f[0]));
        const auto t = static_cast<std::int64_t>(model.vocab->trg_enum.str2id(f[1]));
        const double p = parse_float(host, f[2], path, line);
        report.value(p, line);
        if (!model.trans_dist)
            throw Missing("the word translation distribution", Missing::Use::item_assignment);
        TransTable& table = *model.trans_dist;
        try {
            const std::size_t row = resolve_index(s, 0, table.rows());
            const std::size_t col = resolve_index(t, 1, table.cols());
            const std::int64_t cell = table.pattern().find(row, col);
            if (cell >= 0) {
                table.set_value(static_cast<std::size_t>(cell), p);
                ++report.stored;
            }
        } catch (const IndexError& e) {
            throw IndexError(std::string(e.what()) + where(path, line));
        }
    });
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

}  // namespace zel::align
