// What the two rule-line formats put where: field positions, the score names of a Moses line
// and the order of the counts in each format. Everything that reads or prints a line takes
// these from here.
#pragma once

#include <array>
#include <cstddef>

namespace zel::records {

// Positions, in a counts field, of the source, target and joint counts.
struct CountOrder {
    std::size_t src, trg, cooc;
};

namespace moses {
// src ||| trg ||| scores ||| alignment points ||| counts
inline constexpr std::size_t kSrc = 0, kTrg = 1, kScores = 2, kPoints = 3, kCounts = 4;
// The four scores of a line, in their order; later scores are read and dropped.
inline constexpr std::array<const char*, 4> kScoreNames = {"fgep", "fgel", "egfp", "egfl"};
// Target count, source count, joint count.
inline constexpr CountOrder kCountOrder{1, 0, 2};
}  // namespace moses

namespace travatar {
// src ||| trg ||| features ||| counts ||| alignment points
inline constexpr std::size_t kSrc = 0, kTrg = 1, kFeatures = 2, kCounts = 3, kPoints = 4;
// Joint count, source count, target count.
inline constexpr CountOrder kCountOrder{1, 2, 0};
}  // namespace travatar

}  // namespace zel::records
