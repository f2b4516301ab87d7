#include "extract/phrase_order.hpp"

#include <algorithm>
#include <numeric>
#include <string>

#include "extract/parallel_sort.hpp"

namespace zel::extract {

namespace {

std::vector<std::uint32_t> ranks_of(const std::vector<std::uint32_t>& order) {
    std::vector<std::uint32_t> rank(order.size());
    for (std::size_t k = 0; k < order.size(); ++k) rank[order[k]] = static_cast<std::uint32_t>(k);
    return rank;
}

}  // namespace

TokenRanks::TokenRanks(const StringEnumerator& words) {
    const auto n = static_cast<std::uint32_t>(words.size());
    // Token 2w is word w alone, 2w + 1 the word and a blank.
    const auto less = [&](std::uint32_t a, std::uint32_t b) {
        const std::string_view x = words.id2str(a / 2), y = words.id2str(b / 2);
        const bool x_blank = a % 2, y_blank = b % 2;
        const std::size_t common = std::min(x.size(), y.size());
        const int c = common == 0 ? 0 : std::memcmp(x.data(), y.data(), common);
        if (c != 0) return c < 0;
        if (x.size() == y.size()) return !x_blank && y_blank;
        // One word begins the other: the shorter one's next byte (a blank, or nothing) decides.
        if (x.size() < y.size()) return !x_blank || ' ' < static_cast<unsigned char>(y[x.size()]);
        return y_blank && static_cast<unsigned char>(x[y.size()]) < ' ';
    };
    std::vector<std::uint32_t> order(std::size_t{2} * n);
    std::iota(order.begin(), order.end(), 0U);
    parallel_sort(order.begin(), order.end(), less);
    inside_.resize(n);
    last_.resize(n);
    for (std::size_t k = 0; k < order.size(); ++k)
        (order[k] % 2 ? inside_ : last_)[order[k] / 2] = static_cast<std::uint32_t>(k);
}

std::vector<std::uint32_t> phrase_ranks(const StringEnumerator& phrases, const TokenRanks& tokens) {
    // Each phrase's tokens, back to back.
    std::vector<std::uint32_t> flat;
    std::vector<std::size_t> start{0};
    std::vector<std::uint32_t> words;
    for (std::uint32_t p = 0; p < phrases.size(); ++p) {
        phrase_words(phrases.id2str(p), words);
        for (std::size_t k = 0; k < words.size(); ++k)
            flat.push_back(k + 1 < words.size() ? tokens.inside(words[k]) : tokens.last(words[k]));
        start.push_back(flat.size());
    }
    std::vector<std::uint32_t> order(phrases.size());
    std::iota(order.begin(), order.end(), 0U);
    parallel_sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) {
        return std::lexicographical_compare(
            flat.begin() + static_cast<std::ptrdiff_t>(start[a]),
            flat.begin() + static_cast<std::ptrdiff_t>(start[a + 1]),
            flat.begin() + static_cast<std::ptrdiff_t>(start[b]),
            flat.begin() + static_cast<std::ptrdiff_t>(start[b + 1]));
    });
    return ranks_of(order);
}

std::vector<std::uint32_t> text_ranks(const std::vector<std::string>& texts) {
    std::vector<std::uint32_t> order(texts.size());
    std::iota(order.begin(), order.end(), 0U);
    std::sort(order.begin(), order.end(),
              [&](std::uint32_t a, std::uint32_t b) { return texts[a] < texts[b]; });
    return ranks_of(order);
}

}  // namespace zel::extract
