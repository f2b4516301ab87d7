#include "common/text_split.hpp"

#include <algorithm>

#include "common/utf8.hpp"

namespace zel::text {

std::string_view strip(std::string_view s) { return utf8::strip_space(s); }

void split_at(std::string_view s, std::string_view delim, std::vector<std::string_view>& out) {
    out.clear();
    for (;;) {
        const std::size_t at = s.find(delim);
        out.push_back(s.substr(0, at));
        if (at == std::string_view::npos) return;
        s.remove_prefix(at + delim.size());
    }
}

std::vector<std::string_view> split_at(std::string_view s, std::string_view delim) {
    std::vector<std::string_view> out;
    split_at(s, delim, out);
    return out;
}

std::vector<std::string_view> split_blank(std::string_view s) { return split_at(s, " "); }

void split_runs(std::string_view s, std::vector<std::string_view>& out) {
    out.clear();
    std::size_t i = 0;
    while (i < s.size()) {
        for (std::size_t n; i < s.size() && (n = utf8::space_length(s, i)) > 0;) i += n;
        const std::size_t start = i;
        while (i < s.size() && utf8::space_length(s, i) == 0) {
            i += utf8::sequence_length(static_cast<unsigned char>(s[i]));  // whole characters
        }
        i = std::min(i, s.size());
        if (i > start) out.push_back(s.substr(start, i - start));
    }
}

std::vector<std::string_view> split_runs(std::string_view s) {
    std::vector<std::string_view> out;
    split_runs(s, out);
    return out;
}

}  // namespace zel::text
