#include "extract/phrases.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <tuple>
#include <vector>

namespace {

using zel::extract::consistent_phrases;
using zel::extract::Link;
using zel::extract::PhraseSpan;

// The definition written out: every pair of spans within the length limit that holds a link,
// where every link touching either span lies in both.
std::vector<PhraseSpan> by_definition(std::uint32_t src_len, std::uint32_t trg_len,
                                      const std::vector<Link>& links, std::uint32_t max_length) {
    std::vector<PhraseSpan> out;
    for (std::uint32_t sb = 0; sb < src_len; ++sb)
        for (std::uint32_t se = sb + 1; se <= std::min(src_len, sb + max_length); ++se)
            for (std::uint32_t tb = 0; tb < trg_len; ++tb)
                for (std::uint32_t te = tb + 1; te <= std::min(trg_len, tb + max_length); ++te) {
                    bool any = false, leaves = false;
                    for (const Link& k : links) {
                        const bool in_src = k.src >= sb && k.src < se;
                        const bool in_trg = k.trg >= tb && k.trg < te;
                        any |= in_src && in_trg;
                        leaves |= in_src != in_trg;
                    }
                    if (any && !leaves) out.push_back({sb, se, tb, te});
                }
    return out;
}

std::vector<std::tuple<std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t>> sorted(
    const std::vector<PhraseSpan>& spans) {
    std::vector<std::tuple<std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t>> out;
    for (const PhraseSpan& s : spans)
        out.emplace_back(s.src_begin, s.src_end, s.trg_begin, s.trg_end);
    std::sort(out.begin(), out.end());
    return out;
}

struct Case {
    std::uint32_t src_len, trg_len;
    std::vector<Link> links;
    std::uint32_t max_length;
};

class Phrases : public ::testing::TestWithParam<Case> {};

// Crossing links, unaligned words inside and at both edges, one word linked to two, and a
// limit that cuts the longest spans.
TEST_P(Phrases, AreThePairsOfSpansTheDefinitionGives) {
    const Case& c = GetParam();
    std::vector<PhraseSpan> got;
    consistent_phrases(c.src_len, c.trg_len, c.links, c.max_length, got);
    EXPECT_EQ(sorted(got), sorted(by_definition(c.src_len, c.trg_len, c.links, c.max_length)));
    EXPECT_EQ(std::set(got.begin(), got.end(),
                       [](const PhraseSpan& a, const PhraseSpan& b) {
                           return std::tie(a.src_begin, a.src_end, a.trg_begin, a.trg_end) <
                                  std::tie(b.src_begin, b.src_end, b.trg_begin, b.trg_end);
                       })
                  .size(),
              got.size())
        << "a pair of spans given twice";
}

INSTANTIATE_TEST_SUITE_P(
    Alignments, Phrases,
    ::testing::Values(Case{3, 3, {{0, 0}, {1, 2}, {2, 1}}, 7}, Case{5, 4, {{1, 0}, {3, 2}}, 7},
                      Case{4, 5, {{0, 0}, {0, 1}, {2, 4}, {3, 3}}, 2},
                      Case{6, 6, {{0, 5}, {1, 4}, {2, 3}, {3, 2}, {4, 1}, {5, 0}}, 3},
                      Case{2, 2, {}, 7}));

}  // namespace
