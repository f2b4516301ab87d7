#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "tables/kept_ids.hpp"

namespace {

using zel::tables::KeptIds;
using zel::tables::kNoText;

// Lines as loading meets them: slots repeated from the line before, new ids in order (with
// gaps, as other slots take ids between them), old ids, absent texts, lengths that change, and
// ids up to the largest 32-bit value; one line longer than a chunk of bytes.
std::vector<std::vector<std::uint32_t>> sample_lines() {
    std::mt19937 rng(5);
    std::vector<std::vector<std::uint32_t>> lines;
    std::uint32_t next = 0;
    for (int i = 0; i < 20000; ++i) {
        std::vector<std::uint32_t> line(rng() % 7);
        for (std::size_t k = 0; k < line.size(); ++k) {
            switch (rng() % 5) {
                case 0:
                    line[k] = !lines.empty() && k < lines.back().size() ? lines.back()[k] : 0;
                    break;
                case 1:
                    next += 1 + rng() % 3;
                    line[k] = next;
                    break;
                case 2:
                    line[k] = next ? static_cast<std::uint32_t>(rng() % next) : 0;
                    break;
                case 3:
                    line[k] = kNoText;
                    break;
                default:
                    line[k] = 0xFFFFFFFEu - static_cast<std::uint32_t>(rng() % 4);
            }
        }
        lines.push_back(line);
    }
    lines.emplace_back(600000, 300);
    lines.emplace_back(std::vector<std::uint32_t>{next + 1, 7, kNoText});
    return lines;
}

TEST(KeptIds, ReadsBackEveryLineInOrder) {
    const auto lines = sample_lines();
    KeptIds kept;
    for (const auto& line : lines) kept.add(line);
    ASSERT_EQ(kept.lines(), lines.size());
    KeptIds::Reader reader(kept);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const auto read = reader.next();
        ASSERT_EQ(std::vector<std::uint32_t>(read.begin(), read.end()), lines[i]) << "line " << i;
    }
}

}  // namespace
