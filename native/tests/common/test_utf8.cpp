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
                      Case{"0123456789\xF5", 10, 11, "invalid start byte"}));

}  // namespace
