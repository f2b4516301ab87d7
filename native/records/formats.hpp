// What the two rule-line formats put where: field positions, the score names of a Moses line
// and the order of the counts in each format. Everything that reads or prints a line takes
// these from here.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

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

enum class Format { moses, travatar };

// The fields of a rule line as loadLine cuts it: the line without surrounding white space
// (the host's set, Unicode's included), split at every `delim`, or at runs of white space
// when there is none. Views into `line`.
void split_fields(std::string_view line, std::optional<std::string_view> delim,
                  std::vector<std::string_view>& fields);

// The fields joined by `sep`: a line as to_str writes it.
std::string join_line(std::string_view sep, std::span<const std::string_view> fields);

// Alignment points sorted as the host sorts str, each once, joined by blanks.
std::string sorted_points(std::vector<std::string_view> points);

// The host's round(value, digits) for 0 <= digits <= 17 (ties as the decimal value falls).
double round_places(double value, int digits);

// The counts field of a line: Moses writes target, source, joint; Travatar joint, source,
// target rounded to six places, and nothing when the joint count is not above 0. The counts
// are the record's 32-bit floats, already rounded in place by to_str.
std::string counts_text(Format format, float src, float trg, float cooc);

}  // namespace zel::records
