#include "tables/rule_index.hpp"

#include <deque>
#include <string>

#include "common/errors.hpp"
#include "common/string_enumerator.hpp"
#include "common/utf8.hpp"
#include "records/tokens.hpp"
#include "tables/tracks.hpp"

namespace zel::tables {

KeyType key_type_of(std::string_view name) {
    if (name == "src") return KeyType::src;
    if (name == "src_hiero") return KeyType::src_hiero;
    if (name == "src_symbols") return KeyType::src_symbols;
    if (name == "src_tree") return KeyType::src_tree;
    return KeyType::other;
}

namespace {

std::string join(const std::vector<std::string>& words) {
    std::string out;
    for (std::size_t i = 0; i < words.size(); ++i) {
        if (i) out += ' ';
        out += words[i];
    }
    return out;
}

}  // namespace

std::optional<std::string> format_src_key(KeyType type, Symbols symbols, std::string_view src) {
    switch (type) {
        case KeyType::src:
            return std::string(src);
        case KeyType::src_hiero:
        case KeyType::src_symbols:
            // Words split at every blank and joined by blanks again are the text itself.
            if (symbols == Symbols::words) return std::string(src);
            return join(records::travatar_symbols(src, type == KeyType::src_hiero));
        case KeyType::src_tree: {
            // A tree side with its tokens separated by single blanks, so that trees written
            // with other spacing are one key.
            std::vector<std::string> tokens;
            for (std::string_view t : records::split_runs(src)) tokens.emplace_back(t);
            return join(tokens);
        }
        case KeyType::other:
            break;
    }
    return std::nullopt;
}

namespace {

// The field texts met while loading, with their ids in the field trie once it is built. Hash
// lookups here replace trie lookups in the passes, which are several times slower.
struct SeenFields {
    StringEnumerator texts;
    std::vector<std::uint32_t> trie_id;  // by text id
    std::vector<std::uint32_t> text_id;  // by trie id

    void add_parts(std::string_view text, std::string_view delim) {
        for_each_part(text, delim, [&](std::string_view part) {
            if (!part.empty()) texts.str2id(part);
        });
    }

    std::optional<Track> track(std::string_view key) const {
        const std::int64_t id = texts.find(key);
        if (id < 0) return std::nullopt;
        return Track{trie_id[static_cast<std::size_t>(id)], static_cast<std::uint32_t>(key.size())};
    }

    // The text of a track, checked as the trie would check it.
    std::string_view text(std::string_view track_text) const {
        const auto t = parse_track(track_text);
        if (!t) throw ValueError("invalid track '" + std::string(track_text) + "'");
        if (t->id < text_id.size()) {
            const std::string_view k = texts.id2str(text_id[t->id]);
            if (k.size() == t->length) return k;
        }
        throw ValueError("no key with track " + std::string(track_text));
    }
};

class Loader {
public:
    Loader(RuleIndex& index, Host& host, const LoadOptions& options, const Replacements& replaced)
        : index_(index), host_(host), options_(options), replaced_(replaced) {}

    void run() {
        index_ = RuleIndex{};
        index_.trg_keys = options_.trg_keys;
        read_lines(kFieldsLabel, 1, [&](std::string_view line) { register_fields(line); });
        build_field_trie();
        TrieBuilder records;
        read_lines(kRecordsLabel, 2, [&](std::string_view line) {
            records.add(replaced_.line2tracks ? replaced_.line2tracks(line) : tracks_of(line));
        });
        index_.records = records.build();
        register_pairs();
    }

private:
    std::optional<std::string> src_key(std::string_view src) const {
        return replaced_.format_src_key ? replaced_.format_src_key(src)
                                        : format_src_key(options_.key_type, options_.symbols, src);
    }

    static std::string_view require_target(std::optional<std::string_view> trg) {
        if (!trg) throw IndexError("the line has no target side (no \"|||\")");
        return *trg;
    }

    [[noreturn]] static void no_key(std::string_view src) {
        throw AttributeError("no source key for the source side '" + std::string(src) +
                             "' with this key type");
    }

    // Calls handle(stripped line) for each line that is not blank; errors become LoadFailure.
    template <class Handle>
    void read_lines(std::string_view label, int pass, Handle&& handle) {
        auto source = host_.open_read(options_.path, label);
        LineReader reader(*source);
        std::string_view raw;
        while (reader.next(raw)) {
            try {
                utf8::Invalid bad;
                if (!utf8::validate(raw, bad)) {
                    throw DecodeError(options_.path, reader.line_number(), std::string(raw),
                                      bad.start, bad.end, bad.reason);
                }
                const std::string_view line = utf8::strip_space(raw);
                if (!line.empty()) handle(line);
            } catch (...) {
                throw LoadFailure(pass, reader.line_number(), {}, std::nullopt,
                                  std::current_exception());
            }
        }
    }

    void register_fields(std::string_view line) {
        seen_.add_parts(line, kFieldDelim);
        const std::string_view src = source_side(line);
        const auto key = src_key(src);
        if (!key) no_key(src);
        seen_.add_parts(*key, kFieldDelim);
        if (!options_.trg_keys) return;
        const std::string_view trg = require_target(target_side(line));
        seen_.add_parts(trg, kFieldDelim);
        if (trg.find(kColumnDelim) != std::string_view::npos) seen_.add_parts(trg, kColumnDelim);
    }

    void build_field_trie() {
        TrieBuilder fields;
        for (std::uint32_t id = 0; id < seen_.texts.size(); ++id)
            fields.add(seen_.texts.id2str(id));
        index_.fields = fields.build(&seen_.trie_id);
        seen_.text_id.assign(seen_.trie_id.size(), 0);
        for (std::uint32_t id = 0; id < seen_.trie_id.size(); ++id) {
            seen_.text_id[seen_.trie_id[id]] = id;
        }
    }

    std::string tracks_of(std::string_view line) const {
        std::string out;
        bool first = true;
        for_each_part(line, kFieldDelim, [&](std::string_view part) {
            if (!first) out += kTrackDelim;
            first = false;
            if (part.empty()) return;
            if (const auto t = seen_.track(part)) {
                append_track(out, *t);
            } else {
                out += kAbsentTrack;
            }
        });
        return out;
    }

    void register_pairs() {
        const std::size_t n = index_.records.size();
        TrieBuilder src_pairs, trg_pairs;
        std::deque<TrieBuilder> columns;
        auto progress = host_.progress(kPairsLabel, n);
        in_batches(host_, *progress, n, 256, [&](std::size_t begin, std::size_t end) {
            for (std::size_t id = begin; id < end; ++id) {
                register_record(static_cast<std::uint32_t>(id), src_pairs, trg_pairs, columns);
            }
        });
        index_.src_pairs = src_pairs.build();
        if (!options_.trg_keys) return;
        index_.trg_pairs = trg_pairs.build();
        for (TrieBuilder& b : columns) index_.trg_column_pairs.push_back(b.build());
    }

    void register_record(std::uint32_t id, TrieBuilder& src_pairs, TrieBuilder& trg_pairs,
                         std::deque<TrieBuilder>& columns) {
        const std::string tracks = index_.records.key(id);
        const Track node{id, static_cast<std::uint32_t>(tracks.size())};
        std::optional<std::string> line;
        try {
            std::string_view src;
            std::optional<std::string_view> trg;
            if (replaced_.tracks2line) {
                line = replaced_.tracks2line(tracks);
                src = source_side(*line);
                trg = target_side(*line);
            } else {
                // The first two fields of the line, without rebuilding all of it.
                std::size_t k = 0;
                for_each_part(tracks, "|", [&](std::string_view part) {
                    const std::string_view text = part.empty() ? part : seen_.text(part);
                    if (k == 0) src = text;
                    if (k == 1) trg = text;
                    ++k;
                });
            }
            const auto key = src_key(src);
            if (!key) no_key(src);
            add_pair(src_pairs, *key, node);
            if (!options_.trg_keys) return;
            const std::string_view t = require_target(trg);
            add_pair(trg_pairs, t, node);
            if (t.find(kColumnDelim) == std::string_view::npos) return;
            std::size_t column = 0;
            for_each_part(t, kColumnDelim, [&](std::string_view part) {
                if (column >= columns.size()) columns.emplace_back();
                add_pair(columns[column++], part, node);
            });
        } catch (...) {
            if (!line) {
                try {
                    line = tracks_line(index_.fields, tracks);
                } catch (const ValueError&) {
                    // The tracks name no line: the warning shows the tracks alone.
                }
            }
            throw LoadFailure(3, 0, tracks, line, std::current_exception());
        }
    }

    void add_pair(TrieBuilder& pairs, std::string_view key, Track node) {
        const auto key_track = seen_.track(key);
        if (!key_track) throw KeyError("'" + std::string(key) + "' is not a field of the table");
        pair_.clear();
        append_track(pair_, *key_track);
        pair_ += kTrackDelim;
        append_track(pair_, node);
        pairs.add(pair_);
    }

    RuleIndex& index_;
    Host& host_;
    const LoadOptions& options_;
    const Replacements& replaced_;
    SeenFields seen_;
    std::string pair_;
};

}  // namespace

void load(RuleIndex& index, Host& host, const LoadOptions& options, const Replacements& replaced) {
    Loader(index, host, options, replaced).run();
}

}  // namespace zel::tables
