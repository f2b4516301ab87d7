// The text forms of a rule table's index: fields of a line, the track text of a key, the tracks
// string of a line and the pair key of a search key and a line.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "common/utf8.hpp"
#include "tables/text_trie.hpp"

namespace zel::tables {

inline constexpr std::string_view kFieldDelim = "|||";
inline constexpr std::string_view kColumnDelim = "|COL|";
inline constexpr std::string_view kTrackDelim = " | ";
inline constexpr std::string_view kAbsentTrack = "(-1,-1)";

// Calls fn(part) for each part of `text` split at every `delim` (as str.split(delim) does),
// each stripped of white space at both ends.
template <class Fn>
void for_each_part(std::string_view text, std::string_view delim, Fn&& fn) {
    for (;;) {
        const std::size_t at = text.find(delim);
        fn(utf8::strip_space(text.substr(0, at)));
        if (at == std::string_view::npos) return;
        text.remove_prefix(at + delim.size());
    }
}

// The stripped text before the first "|||" (the whole text when there is none), and the
// stripped text between the first and the second (nullopt when there is no first).
std::string_view source_side(std::string_view line);
std::optional<std::string_view> target_side(std::string_view line);

// "(id,length)"
void append_track(std::string& out, Track track);
std::string track_text(Track track);

// The track that a text "(id,length)" of two non-negative integers names; nullopt for any
// other text.
std::optional<Track> parse_track(std::string_view text);

// The tracks string of a line: the track of each field in `fields`, "(-1,-1)" for a field
// that is not there and "" for an empty one, joined by " | ".
std::string line_tracks(const TextTrie& fields, std::string_view line);

// The line a tracks string stands for: the key of each track joined by " ||| " (an empty part
// gives an empty field). Throws ValueError for a part that is not the track of a key.
std::string tracks_line(const TextTrie& fields, std::string_view tracks);

// The track a text names; ValueError "invalid track '...'" for any other text.
Track required_track(std::string_view text);

// The key a track text names in `trie`; ValueError when it names none.
std::string track_key(const TextTrie& trie, std::string_view track);

// The record track of a pair key: the stripped text after its first "|".
std::string_view pair_record_track(std::string_view pair_key);

}  // namespace zel::tables
