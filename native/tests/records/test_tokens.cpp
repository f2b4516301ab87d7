#include <gtest/gtest.h>

#include "test_helpers.hpp"

#include <iterator>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/utf8.hpp"
#include "records/tokens.hpp"

namespace {

using namespace zel::records;
using namespace zel::text;
using Views = std::vector<std::string_view>;

TEST(Split, BlankRunsAndDelimiter) {
    EXPECT_EQ(split_blank("a  b"), (Views{"a", "", "b"}));
    EXPECT_EQ(split_blank(""), (Views{""}));
    EXPECT_EQ(split_runs("  0-0 1-2\t1-2 "), (Views{"0-0", "1-2", "1-2"}));
    EXPECT_TRUE(split_runs(" \t ").empty());
    EXPECT_EQ(split_at("a|||b ||| c|||", "|||"), (Views{"a", "b ", " c", ""}));
    EXPECT_EQ(strip(" \t\x1f a b \r\n"), "a b");
    // The host's white space beyond ASCII: U+3000, U+00A0, U+0085; U+200B is none.
    EXPECT_EQ(split_runs("0-0\xe3\x80\x80"
                         "1-1 2-2\xc2\xa0\xc2\x85"),
              (Views{"0-0", "1-1", "2-2"}));
    EXPECT_EQ(split_runs("a\xe2\x80\x8b"
                         "b"),
              (Views{"a\xe2\x80\x8b"
                     "b"}));
    EXPECT_EQ(strip("\xe3\x80\x80"
                    "a\xc2\xa0"),
              "a");
}

struct PointCase {
    const char* text;
    PointError error;
    long long s, t;
};

class Points : public ::testing::TestWithParam<PointCase> {};

TEST_P(Points, ParseLikeIntConversionOfEachPart) {
    const PointCase& c = GetParam();
    AlignPoint p;
    std::string_view bad;
    EXPECT_EQ(parse_point(c.text, p, bad), c.error);
    if (c.error == PointError::none) {
        EXPECT_EQ(p.s, c.s);
        EXPECT_EQ(p.t, c.t);
    }
}

INSTANTIATE_TEST_SUITE_P(Texts, Points,
                         ::testing::Values(PointCase{"0-1", PointError::none, 0, 1},
                                           PointCase{" 3-01", PointError::none, 3, 1},
                                           PointCase{"+2- 4 ", PointError::none, 2, 4},
                                           PointCase{"12", PointError::too_few, 0, 0},
                                           PointCase{"1-2-3", PointError::too_many, 0, 0},
                                           PointCase{"a-1", PointError::not_integer, 0, 0},
                                           PointCase{"1--2", PointError::not_integer, 0, 0},
                                           PointCase{"-", PointError::not_integer, 0, 0}),
                         [](const ::testing::TestParamInfo<PointCase>& info) {
                             return zel::testing::case_name(info.index, info.param.text);
                         });

// A shared point is only ever one whose text is exactly how its two numbers print.
TEST(Points, SmallOnlyInTheirPrintedForm) {
    for (const char* text : {"0-0", "3-31", "31-9"}) {
        int s = -1, t = -1;
        AlignPoint p;
        std::string_view bad;
        ASSERT_TRUE(small_point(text, 32, s, t)) << text;
        ASSERT_EQ(parse_point(text, p, bad), PointError::none);
        EXPECT_EQ(std::to_string(s) + "-" + std::to_string(t), text);
        EXPECT_EQ(p.s, s);
        EXPECT_EQ(p.t, t);
    }
    int s = 0, t = 0;
    for (const char* text : {"32-0", "0-32", "01-1", "+1-1", " 1-1", "1-1 ", "1", "1-", "-1",
                             "1-2-3", "a-1", "1e1-1"}) {
        EXPECT_FALSE(small_point(text, 32, s, t)) << text;
    }
}

TEST(Items, KeyValueAndCounts) {
    std::string_view key, value;
    EXPECT_EQ(split_item("p=0.5", key, value), ItemError::none);
    EXPECT_EQ(key, "p");
    EXPECT_EQ(value, "0.5");
    EXPECT_EQ(split_item("=", key, value), ItemError::none);
    EXPECT_EQ(key, "");
    EXPECT_EQ(split_item("p", key, value), ItemError::too_few);
    EXPECT_EQ(split_item("p=1=2", key, value), ItemError::too_many);

    double v = 0;
    EXPECT_TRUE(plain_count("12", v));
    EXPECT_EQ(v, 12.0);
    EXPECT_TRUE(plain_count("0.25", v));
    EXPECT_EQ(v, 0.25);
    for (const char* text : {"inf", "nan", "1e999", "", "1/2", "x"}) {
        EXPECT_FALSE(plain_count(text, v)) << text;
    }
}

TEST(Travatar, SymbolsAndTerms) {
    const char* tree = "S ( x0:NP VP ( VBD ( \"saw\" ) x1:NP ) )";
    EXPECT_EQ(travatar_symbols(tree, false), (std::vector<std::string>{"[NP]", "saw", "[NP]"}));
    EXPECT_EQ(travatar_symbols(tree, true), (std::vector<std::string>{"[X]", "saw", "[X]"}));
    EXPECT_EQ(travatar_symbols("x0 \"of\" x1 @ NP", false),
              (std::vector<std::string>{"[X]", "of", "[X]"}));
    EXPECT_EQ(travatar_symbols("x10:NP", false), (std::vector<std::string>{"[:NP]"}));
    EXPECT_EQ(travatar_symbols("\" \"\" x", false), (std::vector<std::string>{""}));
    EXPECT_EQ(travatar_terms(split_blank(tree)), (Views{"saw"}));
    EXPECT_EQ(travatar_terms(split_blank("\"a\" @ \"b\"")), (Views{"a"}));
}

TEST(Travatar, FixOrderRenumbersInSourceOrder) {
    auto fixed = fix_order_strings("S ( x1:NP VP ( x0:VB ) )", "x0 \"a\" x1");
    ASSERT_TRUE(fixed);
    EXPECT_EQ(fixed->first, "S ( x0:NP VP ( x1:VB ) )");
    EXPECT_EQ(fixed->second, "x1 \"a\" x0");
    EXPECT_FALSE(fix_order_strings("S ( x0:NP x1:VB )", "x1 x0"));
    // A repeated digit takes the count of digits seen before it, as a fresh one would.
    fixed = fix_order_strings("x1 x1 x0", "x0 x1");
    ASSERT_TRUE(fixed);
    EXPECT_EQ(fixed->first, "x0 x1 x1");
    EXPECT_EQ(fixed->second, "x1 x1");
}

TEST(Travatar, FixOrderErrors) {
    EXPECT_THROW(fix_order_strings("a  b", "x"), std::out_of_range);
    EXPECT_THROW(fix_order_strings("x y", "z"), std::out_of_range);
    EXPECT_THROW(fix_order_strings("x1 x0", "x2"), MissingVariable);
    EXPECT_THROW(fix_order_strings("x1 x0", std::nullopt), MissingSide);
    EXPECT_FALSE(fix_order_strings("x0 x1", std::nullopt));
}

}  // namespace

namespace {

// Random valid UTF-8 built from pieces that matter here: ASCII and Unicode white space,
// multi-byte letters, quotes, variables, "@".
std::string random_text(std::mt19937& rng) {
    static const char* const pieces[] = {
        " ",  "\t", "\xc2\xa0", "\xe3\x80\x80", "\xc2\x85",     "\xe2\x80\xa8",     "x0", "x1:",
        "\"", "@",  "a",        "\xc3\xa9",     "\xe5\x90\x8d", "\xf0\x9f\x98\x80", ":",  "|||"};
    std::string out;
    const int n = static_cast<int>(rng() % 12);
    for (int k = 0; k < n; ++k) out += pieces[rng() % std::size(pieces)];
    return out;
}

bool valid(std::string_view s) {
    zel::utf8::Invalid where;
    return zel::utf8::validate(s, where);
}

TEST(Split, NoPieceCutsACharacter) {
    std::mt19937 rng(3);
    for (int trial = 0; trial < 20000; ++trial) {
        const std::string text = random_text(rng);
        for (std::string_view piece : split_runs(text)) {
            EXPECT_TRUE(valid(piece));
            EXPECT_EQ(zel::utf8::strip_space(piece), piece);
        }
        EXPECT_TRUE(valid(strip(text)));
        for (bool hiero : {false, true}) {
            for (const std::string& symbol : travatar_symbols(text, hiero)) {
                EXPECT_TRUE(valid(symbol)) << text;
            }
        }
    }
}

}  // namespace
