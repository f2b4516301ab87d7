#include "records/formats.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>

#include "common/format.hpp"
#include "common/utf8.hpp"
#include "records/tokens.hpp"

namespace zel::records {

void split_fields(std::string_view line, std::optional<std::string_view> delim,
                  std::vector<std::string_view>& fields) {
    const std::string_view text = utf8::strip_space(line);
    if (delim) {
        zel::text::split_at(text, *delim, fields);
    } else {
        zel::text::split_runs(text, fields);
    }
}

std::string join_line(std::string_view sep, std::span<const std::string_view> fields) {
    std::string out;
    for (std::size_t k = 0; k < fields.size(); ++k) {
        if (k) out += sep;
        out += fields[k];
    }
    return out;
}

std::string sorted_points(std::vector<std::string_view> points) {
    // UTF-8 byte order is code point order: the order the host sorts str in. A point given
    // twice is printed once, as the set of the points holds it.
    std::sort(points.begin(), points.end());
    points.erase(std::unique(points.begin(), points.end()), points.end());
    std::string out;
    for (std::size_t k = 0; k < points.size(); ++k) {
        if (k) out += ' ';
        out += points[k];
    }
    return out;
}

double round_places(double value, int digits) {
    // Whole values (every double of 2^53 or more, infinities) are their own rounding.
    if (std::nearbyint(value) == value) return value;
    // Correctly rounded decimal text read back: the host's round() to that many places.
    char buf[400];
    const auto end =
        std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, digits).ptr;
    double rounded = 0;
    std::from_chars(buf, end, rounded);
    return rounded;
}

std::string counts_text(Format format, float src, float trg, float cooc) {
    std::string out;
    const bool moses = format == Format::moses;
    if (!moses && !(cooc > 0)) return out;  // Travatar writes no counts without a joint count
    const CountOrder order = moses ? moses::kCountOrder : travatar::kCountOrder;
    float in_line[3];
    in_line[order.src] = src;
    in_line[order.trg] = trg;
    in_line[order.cooc] = cooc;
    for (std::size_t k = 0; k < 3; ++k) {
        if (k) out += ' ';
        const auto v = static_cast<double>(in_line[k]);
        fmt::append_float_repr(out, moses ? v : round_places(v, 6));
    }
    return out;
}

}  // namespace zel::records
