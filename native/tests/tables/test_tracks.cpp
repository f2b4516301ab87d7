#include <gtest/gtest.h>

#include "test_helpers.hpp"

#include <string>

#include "common/errors.hpp"
#include "tables/tracks.hpp"

namespace {

using namespace zel::tables;

struct TrackCase {
    const char* text;
    bool valid;
    std::uint32_t id, length;
};

class TrackTexts : public ::testing::TestWithParam<TrackCase> {};

TEST_P(TrackTexts, TwoNonNegativeIntegersInParentheses) {
    const TrackCase& c = GetParam();
    const auto t = parse_track(c.text);
    ASSERT_EQ(t.has_value(), c.valid);
    if (c.valid) {
        EXPECT_EQ(*t, (Track{c.id, c.length}));
        EXPECT_EQ(track_text(*t), c.text);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Tables, TrackTexts,
    ::testing::Values(TrackCase{"(1043,9)", true, 1043, 9}, TrackCase{"(0,0)", true, 0, 0},
                      TrackCase{"(4294967295,1)", true, 4294967295u, 1},
                      TrackCase{"(4294967296,1)", false, 0, 0}, TrackCase{"(-1,-1)", false, 0, 0},
                      TrackCase{"", false, 0, 0}, TrackCase{"()", false, 0, 0},
                      TrackCase{"(1)", false, 0, 0}, TrackCase{"(1,2", false, 0, 0},
                      TrackCase{"1,2)", false, 0, 0}, TrackCase{"( 1,2)", false, 0, 0},
                      TrackCase{"(1,2,3)", false, 0, 0}, TrackCase{"(+1,2)", false, 0, 0},
                      TrackCase{"(a,2)", false, 0, 0}, TrackCase{"(1,)", false, 0, 0}),
    [](const ::testing::TestParamInfo<TrackCase>& info) {
        return zel::testing::case_name(info.index, info.param.text);
    });

TextTrie fields_of(std::initializer_list<const char*> keys) {
    TrieBuilder b;
    for (const char* k : keys) b.add(k);
    return b.build();
}

TEST(Tracks, LineToTracksAndBackNormalisesSpacing) {
    const TextTrie fields = fields_of({"a b", "x", "0.5 0.5", "\xe3\x80\x80y"});
    const std::string tracks = line_tracks(fields, "  a b|||x   |||\t0.5 0.5 |||  ");
    const std::string a = track_text(*fields.find("a b"));
    const std::string x = track_text(*fields.find("x"));
    const std::string p = track_text(*fields.find("0.5 0.5"));
    EXPECT_EQ(tracks, a + " | " + x + " | " + p + " | ");
    EXPECT_EQ(tracks_line(fields, tracks), "a b ||| x ||| 0.5 0.5 ||| ");
    // Unicode white space is stripped as the host strips it; a field made of it is empty.
    EXPECT_EQ(line_tracks(fields,
                          "\xe3\x80\x80"
                          "a b\xc2\xa0||| \xc2\x85 ||| z"),
              a + " |  | " + std::string(kAbsentTrack));
    EXPECT_EQ(line_tracks(fields, ""), "");
    EXPECT_EQ(tracks_line(fields, ""), "");
    EXPECT_EQ(tracks_line(fields, " | "), " ||| ");
}

TEST(Tracks, PartsThatNameNoFieldFailAsConversions) {
    const TextTrie fields = fields_of({"a"});
    EXPECT_THROW(tracks_line(fields, "(-1,-1)"), zel::ValueError);
    EXPECT_THROW(tracks_line(fields, "(0,1) | (5,1)"), zel::ValueError);
    EXPECT_THROW(tracks_line(fields, "(0,2)"), zel::ValueError);
    EXPECT_THROW(track_key(fields, ""), zel::ValueError);
    EXPECT_EQ(track_key(fields, "(0,1)"), "a");
}

TEST(Tracks, SidesAndPairKeys) {
    EXPECT_EQ(source_side(" a ||| b ||| c"), "a");
    EXPECT_EQ(source_side(" a "), "a");
    EXPECT_EQ(target_side(" a ||| b ||| c"), "b");
    EXPECT_EQ(target_side("a |||  b  "), "b");
    EXPECT_FALSE(target_side("a || b"));
    EXPECT_EQ(pair_record_track("(3,1) | (7,20)"), "(7,20)");
    EXPECT_EQ(pair_record_track("(3,1) | (7,20) | x"), "(7,20) | x");
    EXPECT_EQ(pair_record_track("(3,1)"), "");
}

TEST(Tracks, PartsAreSplitAsTheHostSplits) {
    std::vector<std::string> parts;
    for_each_part("a||||b|||", "|||", [&](std::string_view p) { parts.emplace_back(p); });
    EXPECT_EQ(parts, (std::vector<std::string>{"a", "|b", ""}));
}

}  // namespace
