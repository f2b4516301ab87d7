#include "tables/tracks.hpp"

#include <charconv>

#include "common/errors.hpp"

namespace zel::tables {

std::string_view source_side(std::string_view line) {
    return utf8::strip_space(line.substr(0, line.find(kFieldDelim)));
}

std::optional<std::string_view> target_side(std::string_view line) {
    const std::size_t first = line.find(kFieldDelim);
    if (first == std::string_view::npos) return std::nullopt;
    line.remove_prefix(first + kFieldDelim.size());
    return utf8::strip_space(line.substr(0, line.find(kFieldDelim)));
}

void append_track(std::string& out, Track track) {
    char digits[24];
    out += '(';
    out.append(digits, std::to_chars(digits, digits + sizeof digits, track.id).ptr);
    out += ',';
    out.append(digits, std::to_chars(digits, digits + sizeof digits, track.length).ptr);
    out += ')';
}

std::string track_text(Track track) {
    std::string out;
    append_track(out, track);
    return out;
}

namespace {

bool parse_number(std::string_view digits, std::uint32_t& value) {
    if (digits.empty()) return false;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    return error == std::errc() && end == digits.data() + digits.size();
}

}  // namespace

std::optional<Track> parse_track(std::string_view text) {
    if (text.size() < 2 || text.front() != '(' || text.back() != ')') return std::nullopt;
    text = text.substr(1, text.size() - 2);
    const std::size_t comma = text.find(',');
    if (comma == std::string_view::npos) return std::nullopt;
    Track t;
    // from_chars accepts no sign, so "-1" is refused here as it must be.
    if (!parse_number(text.substr(0, comma), t.id) ||
        !parse_number(text.substr(comma + 1), t.length)) {
        return std::nullopt;
    }
    return t;
}

std::string line_tracks(const TextTrie& fields, std::string_view line) {
    std::string out;
    bool first = true;
    for_each_part(line, kFieldDelim, [&](std::string_view part) {
        if (!first) out += kTrackDelim;
        first = false;
        if (part.empty()) return;
        if (const auto track = fields.find(part)) {
            append_track(out, *track);
        } else {
            out += kAbsentTrack;
        }
    });
    return out;
}

Track required_track(std::string_view text) {
    const auto t = parse_track(text);
    if (!t) throw ValueError("invalid track '" + std::string(text) + "'");
    return *t;
}

std::string track_key(const TextTrie& trie, std::string_view track) {
    return trie.key(required_track(track));
}

std::string tracks_line(const TextTrie& fields, std::string_view tracks) {
    std::string out;
    bool first = true;
    for_each_part(tracks, "|", [&](std::string_view part) {
        if (!first) out += " ||| ";
        first = false;
        if (!part.empty()) out += track_key(fields, part);
    });
    return out;
}

std::string_view pair_record_track(std::string_view pair_key) {
    const std::size_t bar = pair_key.find('|');
    if (bar == std::string_view::npos) return {};
    return utf8::strip_space(pair_key.substr(bar + 1));
}

}  // namespace zel::tables
