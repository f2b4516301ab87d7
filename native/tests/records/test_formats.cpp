#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "records/formats.hpp"

namespace {

using namespace zel::records;
using Views = std::vector<std::string_view>;

Views fields_of(std::string_view line, std::optional<std::string_view> delim) {
    Views out;
    split_fields(line, delim, out);
    return out;
}

TEST(Formats, LinesSplitAtTheSeparatorAfterStripping) {
    EXPECT_EQ(fields_of(" a ||| b|||c |||  ", "|||"), (Views{"a ", " b", "c ", ""}));
    EXPECT_EQ(fields_of("a|||||||b", "|||"), (Views{"a", "", "|b"}));  // as str.split
    EXPECT_EQ(fields_of("", "|||"), (Views{""}));
    // The host's white space, Unicode's included, around the line and between fields.
    EXPECT_EQ(fields_of("\xe3\x80\x80"
                        "a ||| b\xc2\xa0",
                        "|||"),
              (Views{"a ", " b"}));
    EXPECT_EQ(fields_of(" a\tb\xe2\x80\xa8 c ", std::nullopt), (Views{"a", "b", "c"}));
    const Views parts = {"das Haus", "the house", "", "0-0"};
    EXPECT_EQ(join_line(" ||| ", parts), "das Haus ||| the house |||  ||| 0-0");
}

TEST(Formats, PointsSortAsTheHostSortsText) {
    EXPECT_EQ(sorted_points({"1-1", "0-2", "0-10", "\xc3\xa9", "z"}), "0-10 0-2 1-1 z \xc3\xa9");
    EXPECT_EQ(sorted_points({"1-1", "0-0", "1-1"}), "0-0 1-1");
    EXPECT_EQ(sorted_points({}), "");
}

TEST(Formats, CountsKeepEachFormatsOrder) {
    // Moses: target, source, joint; Travatar: joint, source, target, none without a joint count.
    EXPECT_EQ(counts_text(Format::moses, 3, 2, 1), "2.0 3.0 1.0");
    EXPECT_EQ(counts_text(Format::travatar, 2, 1, 3), "3.0 2.0 1.0");
    EXPECT_EQ(counts_text(Format::travatar, 2, 1, 0), "");
    EXPECT_EQ(counts_text(Format::moses, 0.1f, 0, 0), "0.0 0.10000000149011612 0.0");
    EXPECT_EQ(counts_text(Format::travatar, 0.1f, 0, 1), "1.0 0.1 0.0");
}

TEST(Formats, RoundingIsTheHostsDecimalRounding) {
    EXPECT_EQ(round_places(2.675, 2), 2.67);  // 2.675 is a little below in binary
    EXPECT_EQ(round_places(0.125, 2), 0.12);  // an exact tie goes to the even digit
    EXPECT_EQ(round_places(0.375, 2), 0.38);
    EXPECT_EQ(round_places(2.5, 0), 2.0);
    EXPECT_EQ(round_places(1e300, 6), 1e300);
    EXPECT_TRUE(std::isnan(round_places(std::nan(""), 6)));
    EXPECT_EQ(round_places(-INFINITY, 6), -INFINITY);
}

TEST(Formats, RealRuleTablesSplitAndJoinBack) {
    const std::filesystem::path data = ZEL_SHARED_DATA;
    if (!std::filesystem::is_directory(data)) GTEST_SKIP() << "no shared data";
    std::size_t lines = 0;
    for (const char* name :
         {"moses/hierarchical.rule-table.txt", "moses/target-syntax.rule-table.txt",
          "travatar/kftt-enja.t2s-rules.txt", "travatar/kftt-jaen.t2s-rules.txt"}) {
        std::ifstream in(data / name);
        for (std::string line; std::getline(in, line); ++lines) {
            const Views fields = fields_of(line, "|||");
            EXPECT_GE(fields.size(), 2U) << line;
            Views again;
            const std::string joined = join_line("|||", fields);
            split_fields(joined, "|||", again);
            EXPECT_EQ(again, fields_of(joined, "|||")) << line;
            EXPECT_EQ(again.size(), fields.size()) << line;
        }
    }
    EXPECT_GT(lines, 1000U);
}

}  // namespace
