// Splitting rule-table text. Every view returned points into the text passed in and lives as
// long as that text does.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/text_split.hpp"

namespace zel::records {

// An alignment point "s-t": the two integers, or why it is not one.
struct AlignPoint {
    long long s = 0, t = 0;
};
enum class PointError { none, too_few, too_many, not_integer };
PointError parse_point(std::string_view text, AlignPoint& point, std::string_view& bad_part);

// A point "s-t" written the one way its two numbers print (plain digits, no leading zero),
// each below `below`: the form of nearly every point of a table, which a reader may share.
bool small_point(std::string_view text, int below, int& s, int& t);

// A feature item "key=value": split at its one "=", or why it cannot be unpacked in two.
enum class ItemError { none, too_few, too_many };
ItemError split_item(std::string_view item, std::string_view& key, std::string_view& value);

// A count written as a plain decimal integer or finite real number; false for any other text
// (which the host's conversion decides).
bool plain_count(std::string_view text, double& value);

// Travatar token kinds.
inline bool is_quoted(std::string_view t) {
    return t.size() >= 2 && t.front() == '"' && t.back() == '"';
}
inline bool is_variable(std::string_view t) {
    return t.size() >= 2 && t[0] == 'x' && t[1] >= '0' && t[1] <= '9';
}

// Matching symbols of a Travatar rule side: quoted words without quotes, variables as "[TAG]"
// (tag from the fourth character on) or "[X]", stopping at "@"; other tokens are skipped.
std::vector<std::string> travatar_symbols(std::string_view rule, bool hiero);

// The quoted words of a Travatar rule side, without quotes, stopping at "@".
std::vector<std::string_view> travatar_terms(const std::vector<std::string_view>& tokens);

// Variables renumbered 0, 1, ... in source order, the target renamed to match; nullopt when
// nothing changes. Throws std::out_of_range for an empty token or a lone "x" on the source side,
// and MissingVariable for a target variable the source does not have; MissingSide when the
// source side changes and there is no target side to rename.
struct MissingVariable {
    char digit;
};
struct MissingSide {};
std::optional<std::pair<std::string, std::string>> fix_order_strings(
    std::string_view src, std::optional<std::string_view> trg);

}  // namespace zel::records
