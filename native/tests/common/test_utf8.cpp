#include <gtest/gtest.h>

#include <string>

#include "common/utf8.hpp"
#include "test_helpers.hpp"

namespace {

using zel::utf8::Invalid;
using zel::utf8::validate;

TEST(Utf8, AcceptsAsciiAndMultibyte) {
    Invalid bad;
    EXPECT_TRUE(validate("plain ascii text longer than eight bytes", bad));
    EXPECT_TRUE(validate("caf\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x98\x80", bad));
    EXPECT_TRUE(validate("", bad));
}

struct Case {
    std::string bytes;
    std::size_t start, end;
    std::string reason;
};

void PrintTo(const Case& c, std::ostream* os) { *os << zel::testing::escaped(c.bytes); }

class Utf8Invalid : public ::testing::TestWithParam<Case> {};

// Verdicts and positions are those of the host's strict utf-8 codec.
TEST_P(Utf8Invalid, ReportsFirstFaultLikeTheHostCodec) {
    const Case& c = GetParam();
    Invalid bad;
    ASSERT_FALSE(validate(c.bytes, bad));
    EXPECT_EQ(bad.start, c.start);
    EXPECT_EQ(bad.end, c.end);
    EXPECT_EQ(bad.reason, c.reason);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, Utf8Invalid,
    ::testing::Values(Case{"abc\xFF", 3, 4, "invalid start byte"},
                      Case{"\x80", 0, 1, "invalid start byte"},
                      Case{"\xC0\xAF", 0, 1, "invalid start byte"},             // overlong 2-byte
                      Case{"\xE0\x80\x80", 0, 1, "invalid continuation byte"},  // overlong 3-byte
                      Case{"\xED\xA0\x80", 0, 1, "invalid continuation byte"},  // surrogate
                      Case{"\xF4\x90\x80\x80", 0, 1, "invalid continuation byte"},  // > U+10FFFF
                      Case{"\xE2\x82"
                           "A",
                           0, 2, "invalid continuation byte"},
                      Case{"ok \xE2\x82", 3, 5, "unexpected end of data"},
                      Case{"0123456789\xF5", 10, 11, "invalid start byte"}),
    [](const ::testing::TestParamInfo<Case>& info) {
        return zel::testing::case_name(info.index, info.param.reason);
    });

// Every code point str.isspace() accepts, and its neighbours that it does not.
TEST(Utf8Strip, RemovesTheHostsWhiteSpaceAtBothEnds) {
    const char32_t space[] = {0x09,   0x0A,   0x0B,   0x0C,   0x0D,   0x1C,   0x1D,
                              0x1E,   0x1F,   0x20,   0x85,   0xA0,   0x1680, 0x2000,
                              0x2005, 0x200A, 0x2028, 0x2029, 0x202F, 0x205F, 0x3000};
    const char32_t other[] = {0x08,   0x0E,   0x1B,   0x21,   0x84,   0x86,   0x9F,   0xA1,
                              0x200B, 0x180E, 0x2027, 0x202A, 0x205E, 0x3001, 0xFEFF, 0x1F600};
    for (char32_t c : space) EXPECT_TRUE(zel::utf8::is_space(c)) << static_cast<unsigned>(c);
    for (char32_t c : other) EXPECT_FALSE(zel::utf8::is_space(c)) << static_cast<unsigned>(c);
    using zel::utf8::strip_space;
    EXPECT_EQ(strip_space("\xE3\x80\x80 a \xC2\xA0"
                          "b\xC2\x85\r\n"),
              "a \xC2\xA0"
              "b");
    EXPECT_EQ(strip_space("\xE2\x80\xA8\x1F"), "");
    EXPECT_EQ(strip_space("\xE3\x80\x81"
                          "x\xF0\x9F\x98\x80"),
              "\xE3\x80\x81"
              "x\xF0\x9F\x98\x80");
    EXPECT_EQ(strip_space(""), "");
}

}  // namespace
