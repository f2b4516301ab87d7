#include <gtest/gtest.h>

#include <string_view>
#include <vector>

#include "align/links/links.hpp"

namespace zel::links {
namespace {

std::vector<Link> decoded(std::string_view line) {
    std::vector<Link> links;
    read_decoded(line, links);
    return links;
}

TEST(Links, DecodedLinesKeepRealLinksInTheirOwnOrientation) {
    std::vector<Link> links;
    EXPECT_EQ(read_decoded("1-2 2-0\t3-1\r\n", links), 3U);
    EXPECT_EQ(links, (std::vector<Link>{{1, 0}, {0, 2}}));
    EXPECT_EQ(read_decoded("", links), 0U);
    for (std::string_view bad : {"1-", "-1", "0-1", "1_1", "1-1-1", "a-1", "99999999999-1", "2-1"})
        EXPECT_THROW(decoded(bad), std::invalid_argument) << bad;
}

TEST(Links, FinalStepsTakeOneDirectionAfterTheOther) {
    // Worked by hand. Intersection (2,4); grow-diag adds (1,3), then (2,2), then (3,1), leaving
    // source words 0 and 4 and target word 0 unaligned. grow-diag-final then takes the forward
    // links (0,1), (1,0) and (4,3), each with one unaligned word, after which the backward
    // (0,0) joins two aligned words; grow-diag-final-and takes no forward link (each has one
    // aligned word) and then the backward (0,0), whose words are both unaligned.
    const std::vector<Link> forward = {{0, 1}, {1, 0}, {2, 2}, {2, 4}, {4, 3}};
    const std::vector<Link> backward = {{0, 0}, {1, 3}, {2, 4}, {3, 1}};
    EXPECT_EQ(combine(forward, backward, 5, 5, Heuristic::grow_diag_final),
              (std::vector<Link>{{0, 1}, {1, 0}, {1, 3}, {2, 2}, {2, 4}, {3, 1}, {4, 3}}));
    EXPECT_EQ(combine(forward, backward, 5, 5, Heuristic::grow_diag_final_and),
              (std::vector<Link>{{0, 0}, {1, 3}, {2, 2}, {2, 4}, {3, 1}}));
}

TEST(Links, SymmetrizedLinesAreSortedAndNamedByHeuristic) {
    std::vector<std::string_view> forward = {"1-2 2-1", ""}, backward = {"1-2 2-1", "1-0"};
    EXPECT_EQ(symmetrize(forward, backward, Heuristic::intersection), "0-1 1-0\n\n");
    EXPECT_EQ(decoded_to_links(forward, true), "0-1 1-0\n\n");
    for (auto name : heuristic_names()) EXPECT_TRUE(heuristic_named(name));
    EXPECT_FALSE(heuristic_named("grow"));
    try {
        std::vector<std::string_view> short_line = {"1-3"};
        symmetrize(short_line, short_line, Heuristic::union_);
        FAIL();
    } catch (const LinkError& e) {
        EXPECT_EQ(e.file, 0);
        EXPECT_EQ(e.line, 0U);
    }
}

}  // namespace
}  // namespace zel::links
