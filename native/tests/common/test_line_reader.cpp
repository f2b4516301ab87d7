#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/line_reader.hpp"

namespace {

std::vector<std::string> lines_of(const std::string& text, std::size_t block) {
    auto source = zel::string_source(text);
    zel::LineReader reader(*source, block);
    std::vector<std::string> lines;
    std::string_view line;
    while (reader.next(line)) {
        lines.emplace_back(line);
        EXPECT_EQ(reader.line_number(), lines.size());
    }
    return lines;
}

class LineReaderBlocks : public ::testing::TestWithParam<std::size_t> {};

// Tiny blocks force lines across refills and buffer growth.
TEST_P(LineReaderBlocks, SplitsAtLineFeedOnly) {
    const std::string text = "a b\r\nlong line with a stray \r inside\n\nlast without end";
    const std::vector<std::string> expected = {"a b\r\n", "long line with a stray \r inside\n",
                                               "\n", "last without end"};
    EXPECT_EQ(lines_of(text, GetParam()), expected);
}

TEST_P(LineReaderBlocks, EmptyInputHasNoLines) { EXPECT_TRUE(lines_of("", GetParam()).empty()); }

INSTANTIATE_TEST_SUITE_P(Sizes, LineReaderBlocks, ::testing::Values(1, 2, 3, 7, 64, 1 << 20));

}  // namespace
