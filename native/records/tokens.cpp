#include "records/tokens.hpp"

#include "common/number_text.hpp"
#include "common/utf8.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace zel::records {

PointError parse_point(std::string_view text, AlignPoint& point, std::string_view& bad_part) {
    const std::vector<std::string_view> parts = zel::text::split_at(text, "-");
    // Parts are converted before they are counted, as unpacking a list of conversions does.
    long long values[2] = {0, 0};
    for (std::size_t k = 0; k < parts.size(); ++k) {
        long long v;
        if (!parse_plain_int(parts[k], v)) {
            bad_part = parts[k];
            return PointError::not_integer;
        }
        if (k < 2) values[k] = v;
    }
    if (parts.size() < 2) return PointError::too_few;
    if (parts.size() > 2) return PointError::too_many;
    point = {values[0], values[1]};
    return PointError::none;
}

bool small_point(std::string_view text, int below, int& s, int& t) {
    const auto number = [below](std::string_view digits, int& v) {
        if (digits.empty() || digits.size() > 9 || (digits.size() > 1 && digits[0] == '0'))
            return false;
        v = 0;
        for (const char c : digits) {
            if (c < '0' || c > '9') return false;
            v = v * 10 + (c - '0');
        }
        return v < below;
    };
    const auto dash = text.find('-');
    return dash != std::string_view::npos && number(text.substr(0, dash), s) &&
           number(text.substr(dash + 1), t);
}

ItemError split_item(std::string_view item, std::string_view& key, std::string_view& value) {
    const auto parts = zel::text::split_at(item, "=");
    if (parts.size() < 2) return ItemError::too_few;
    if (parts.size() > 2) return ItemError::too_many;
    key = parts[0];
    value = parts[1];
    return ItemError::none;
}

bool plain_count(std::string_view text, double& value) {
    long long whole = 0;
    if (parse_plain_int(text, whole)) {
        value = static_cast<double>(whole);
        return true;
    }
    return parse_plain_double(text, value) && std::isfinite(value);
}

std::vector<std::string> travatar_symbols(std::string_view rule, bool hiero) {
    std::vector<std::string> out;
    for (const std::string_view token : zel::text::split_blank(rule)) {
        if (utf8::char_count(token) < 2) {
            if (token == "@") break;
            continue;
        }
        if (is_quoted(token)) {
            out.emplace_back(token.substr(1, token.size() - 2));
        } else if (is_variable(token)) {
            // Characters, not bytes: a tag may be any text ("x0:名詞" gives "[名詞]").
            if (utf8::char_count(token) >= 4 && !hiero) {
                std::string symbol(1, '[');
                symbol.append(utf8::from_char(token, 3));
                symbol += ']';
                out.push_back(std::move(symbol));
            } else {
                out.emplace_back("[X]");
            }
        }
    }
    return out;
}

std::vector<std::string_view> travatar_terms(const std::vector<std::string_view>& tokens) {
    std::vector<std::string_view> out;
    for (const std::string_view token : tokens) {
        if (utf8::char_count(token) < 2) {
            if (token == "@") break;
            continue;
        }
        if (is_quoted(token)) out.push_back(token.substr(1, token.size() - 2));
    }
    return out;
}

namespace {

// `side` with the number of each variable replaced by number(digit), tokens split at single
// blanks; an empty token or a lone "x" fails as indexing it does.
template <class Number>
std::string renumbered(std::string_view side, Number&& number) {
    std::string out;
    bool first = true;
    for (const std::string_view token : zel::text::split_blank(side)) {
        if (token.empty() || token == "x") throw std::out_of_range("string index out of range");
        if (!first) out += ' ';
        first = false;
        if (!is_variable(token)) {
            out += token;
            continue;
        }
        out += 'x';
        out += number(token[1]);
        out += token.substr(2);
    }
    return out;
}

}  // namespace

std::optional<std::pair<std::string, std::string>> fix_order_strings(
    std::string_view src, std::optional<std::string_view> trg) {
    std::string number_of[10];  // digit -> new number text ("" when unseen)
    std::size_t distinct = 0;   // digits seen so far
    bool changed = false;
    std::string new_src = renumbered(src, [&](char digit) -> const std::string& {
        // The number is the count of digits seen before this token, so a repeated digit gets a
        // new number too.
        std::string& n = number_of[digit - '0'];
        const bool fresh = n.empty();
        n = std::to_string(distinct);
        if (fresh) ++distinct;
        if (digit != n[0]) changed = true;
        return n;
    });
    if (!changed) return std::nullopt;
    if (!trg) throw MissingSide{};
    std::string new_trg = renumbered(*trg, [&](char digit) -> const std::string& {
        const std::string& n = number_of[digit - '0'];
        if (n.empty()) throw MissingVariable{digit};
        return n;
    });
    return std::make_pair(std::move(new_src), std::move(new_trg));
}

}  // namespace zel::records
