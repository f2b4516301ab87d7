#include "common/format.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace zel::fmt {

void append_float_repr(std::string& out, double value) {
    if (std::isnan(value)) {
        out += "nan";
        return;
    }
    if (std::isinf(value)) {
        out += value < 0 ? "-inf" : "inf";
        return;
    }
    char buf[64];
    // A whole number below 2^53 (counts, mostly): every integer there is a double, so its
    // shortest digits are the integer's own.
    if (std::fabs(value) < 9007199254740992.0 && std::trunc(value) == value) {
        if (std::signbit(value)) out += '-';
        const auto whole = static_cast<long long>(std::fabs(value));
        out.append(buf, std::to_chars(buf, buf + sizeof buf, whole).ptr);
        out += ".0";
        return;
    }
    // Shortest round-trip digits as the library lays them out (the shorter of fixed and
    // scientific): its fixed form with a point is the host's, since whole numbers were written
    // above and below 1e-4 scientific is always shorter; so is its scientific form below 1e-4.
    {
        const auto shortest = std::to_chars(buf, buf + sizeof buf, value);
        const std::string_view text(buf, static_cast<std::size_t>(shortest.ptr - buf));
        const std::size_t e = text.find('e');
        const bool fixed = e == std::string_view::npos && text.find('.') != std::string_view::npos;
        const bool small = e != std::string_view::npos && text[e + 1] == '-' &&
                           (text.size() - e > 4 || text[e + 2] > '0' || text[e + 3] > '4');
        if (fixed || small) {
            out += text;
            return;
        }
    }
    // Else shortest round-trip digits in scientific form, e.g. "-1.2345e-05", then laid out the
    // way the host does: scientific below 1e-4 and from 1e16 on, plain decimals otherwise.
    const auto result = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
    std::string_view sci(buf, static_cast<std::size_t>(result.ptr - buf));
    if (sci.front() == '-') {
        out += '-';
        sci.remove_prefix(1);
    }
    const std::size_t e = sci.find('e');
    char digit_buf[32];
    int n = 0;
    for (const char c : sci.substr(0, e)) {
        if (c != '.') digit_buf[n++] = c;
    }
    const std::string_view digits(digit_buf, static_cast<std::size_t>(n));
    const std::string_view exp_text = sci.substr(e + 1);
    int exponent = 0;
    std::from_chars(exp_text.data() + (exp_text.front() == '+' ? 1 : 0),
                    exp_text.data() + exp_text.size(), exponent);

    if (exponent < -4 || exponent >= 16) {
        out += digits[0];
        if (n > 1) {
            out += '.';
            out += digits.substr(1);
        }
        out += 'e';
        out += exponent < 0 ? '-' : '+';
        const int magnitude = std::abs(exponent);
        if (magnitude < 10) out += '0';
        char exp_buf[8];
        out.append(exp_buf, std::to_chars(exp_buf, exp_buf + sizeof exp_buf, magnitude).ptr);
    } else if (exponent < 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-exponent - 1), '0');
        out += digits;
    } else if (exponent + 1 >= n) {
        out += digits;
        out.append(static_cast<std::size_t>(exponent + 1 - n), '0');
        out += ".0";
    } else {
        out += digits.substr(0, static_cast<std::size_t>(exponent + 1));
        out += '.';
        out += digits.substr(static_cast<std::size_t>(exponent + 1));
    }
}

std::string float_repr(double value) {
    std::string out;
    append_float_repr(out, value);
    return out;
}

void append_fixed(std::string& out, double value, int decimals) {
    if (std::isnan(value)) {
        out += "nan";  // the host drops the sign of NaN; printf would write "-nan"
        return;
    }
    char buf[400];
    const int n = std::snprintf(buf, sizeof buf, "%.*f", decimals, value);
    out.append(buf, static_cast<std::size_t>(n));
}

void append_integer(std::string& out, std::size_t value) {
    char digits[24];
    const auto [end, ec] = std::to_chars(digits, digits + sizeof digits, value);
    out.append(digits, end);
}

std::string with_commas(std::int64_t value) {
    std::string digits = std::to_string(value < 0 ? -static_cast<std::uint64_t>(value)
                                                  : static_cast<std::uint64_t>(value));
    std::string out = value < 0 ? "-" : "";
    const std::size_t lead = digits.size() % 3 == 0 ? 3 : digits.size() % 3;
    out.append(digits, 0, lead);
    for (std::size_t i = lead; i < digits.size(); i += 3) {
        out += ',';
        out.append(digits, i, 3);
    }
    return out;
}

}  // namespace zel::fmt
