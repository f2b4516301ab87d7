#include "tables/rule_index.hpp"

#include <malloc.h>

#include <algorithm>
#include <deque>
#include <span>
#include <string>

#include "common/errors.hpp"
#include "common/string_enumerator.hpp"
#include "common/text_split.hpp"
#include "common/utf8.hpp"
#include "records/tokens.hpp"
#include "tables/kept_ids.hpp"
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
            for (std::string_view t : text::split_runs(src)) tokens.emplace_back(t);
            return join(tokens);
        }
        case KeyType::other:
            break;
    }
    return std::nullopt;
}

std::size_t memory_bytes(const RuleIndex& index) {
    std::size_t bytes = index.fields.memory_bytes() + index.lines.memory_bytes() +
                        index.src_pairs.memory_bytes() + index.trg_pairs.memory_bytes();
    for (const TextTrie& t : index.trg_column_pairs) bytes += t.memory_bytes();
    return bytes;
}

namespace {

// The field texts met while loading, with their ids in the field trie once it is built. Hash
// lookups here replace trie lookups in the passes, which are several times slower.
struct SeenFields {
    StringEnumerator texts;              // dropped after pass 1 when nothing asks for texts again
    std::vector<std::uint32_t> trie_id;  // by text id
    std::vector<std::uint32_t> text_id;  // by trie id
    std::vector<std::uint32_t> length;   // by text id

    void add_parts(std::string_view text, std::string_view delim) {
        for_each_part(text, delim, [&](std::string_view part) {
            if (!part.empty()) texts.str2id(part);
        });
    }

    Track track_of_id(std::uint32_t id) const { return {trie_id[id], length[id]}; }

    std::optional<Track> track(std::string_view key) const {
        const std::int64_t id = texts.find(key);
        if (id < 0) return std::nullopt;
        return track_of_id(static_cast<std::uint32_t>(id));
    }

    // The text id of a track, checked as the trie would check it.
    std::uint32_t id_of(std::string_view track_text) const {
        const Track t = required_track(track_text);
        if (t.id < text_id.size() && length[text_id[t.id]] == t.length) {
            return text_id[t.id];
        }
        throw ValueError("no key with track " + std::string(track_text));
    }
};

// The first two fields of a line: text and, when known, text id (kNoText otherwise).
struct Sides {
    std::string_view src;
    std::uint32_t src_id = kNoText;
    std::uint32_t key_id = kNoText;  // the native source key's, kept from pass 1
    std::optional<std::string_view> trg;
    std::uint32_t trg_id = kNoText;
    // Text ids of the target side's columns, kept from pass 1 (empty: no column delimiter).
    std::optional<std::span<const std::uint32_t>> column_ids;
};

// Pass 1 keeps the field ids of every line, so that the later passes need neither the file
// nor the hash table again unless a host step replaces one of theirs.
class Loader {
public:
    Loader(RuleIndex& index, Host& host, const LoadOptions& options, const Replacements& replaced)
        : index_(index), host_(host), options_(options), replaced_(replaced) {}

    void run() {
        index_ = RuleIndex{};
        index_.trg_keys = options_.trg_keys;
        read_lines(kFieldsLabel, 1, [&](std::string_view line) { register_fields(line); });
        build_field_trie();
        if (replaced_.line2tracks) {
            records_from_file();
            pairs_from_records();
        } else {
            const std::vector<std::uint32_t> record_of_line = records_from_fields();
            if (replaced_.tracks2line) {
                pairs_from_records();
            } else {
                pairs_from_fields(record_of_line);
            }
        }
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

    [[noreturn]] void no_key(std::string_view src) const {
        throw AttributeError("no source key for the source side '" + std::string(src) +
                             "' (key type " + options_.key_type_name + ")");
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

    // The source key is the line's first field, kept with the fields.
    bool key_is_first_field() const {
        return options_.key_type == KeyType::src && !replaced_.format_src_key;
    }

    void register_fields(std::string_view line) {
        // A line is kept once all of it is registered: a failure ends the whole loading, and
        // texts registered for the failed line do no harm.
        ids_.clear();
        for_each_part(line, kFieldDelim, [&](std::string_view part) {
            ids_.push_back(part.empty() ? kNoText : seen_.texts.str2id(part));
        });
        std::uint32_t key_id = ids_.empty() ? kNoText : ids_[0];
        if (!key_is_first_field()) {
            const std::string_view src = source_side(line);
            const auto key = src_key(src);
            if (!key) no_key(src);
            seen_.add_parts(*key, kFieldDelim);
            const std::int64_t found = seen_.texts.find(*key);
            key_id = found < 0 ? kNoText : static_cast<std::uint32_t>(found);
        }
        column_ids_.clear();
        if (options_.trg_keys) {
            const std::string_view trg = require_target(target_side(line));
            if (trg.find(kColumnDelim) != std::string_view::npos) {
                for_each_part(trg, kColumnDelim, [&](std::string_view part) {
                    column_ids_.push_back(part.empty() ? kNoText : seen_.texts.str2id(part));
                });
            }
        }
        kept_fields_.add(ids_);
        if (!key_is_first_field()) kept_keys_.add({&key_id, 1});
        if (options_.trg_keys) kept_columns_.add(column_ids_);
        key_not_field_ = key_not_field_ || key_id == kNoText;
    }

    // The ids pass 1 kept of each line, read back in order.
    struct KeptLine {
        std::span<const std::uint32_t> fields;
        std::uint32_t key_id = kNoText;
        std::span<const std::uint32_t> columns;
    };

    class KeptReader {
    public:
        explicit KeptReader(const Loader& loader)
            : loader_(loader),
              fields_(loader.kept_fields_),
              keys_(loader.kept_keys_),
              columns_(loader.kept_columns_) {}

        KeptLine next() {
            KeptLine line;
            line.fields = fields_.next();
            if (loader_.key_is_first_field()) {
                line.key_id = line.fields.empty() ? kNoText : line.fields[0];
            } else {
                line.key_id = keys_.next()[0];
            }
            if (loader_.options_.trg_keys) line.columns = columns_.next();
            return line;
        }

    private:
        const Loader& loader_;
        KeptIds::Reader fields_, keys_, columns_;
    };

    // The field texts are the largest thing loading holds (most fields, such as scores, are
    // all but unique to their line). The native passes 2 and 3 need only their ids and
    // lengths, so the texts go once the field trie has them, unless a host step or a source key
    // that is no field (an error pass 3 reports with its text) needs them again.
    bool texts_unused_after_pass_1() const {
        if (replaced_.format_src_key || replaced_.line2tracks || replaced_.tracks2line) {
            return false;
        }
        return !key_not_field_;
    }

    void build_field_trie() {
        TrieBuilder fields;
        seen_.length.resize(seen_.texts.size());
        for (std::uint32_t id = 0; id < seen_.texts.size(); ++id) {
            fields.add(seen_.texts.id2str(id));
            seen_.length[id] = static_cast<std::uint32_t>(seen_.texts.id2str(id).size());
        }
        // The trie builder has its own copy of the texts; building takes as much again.
        if (texts_unused_after_pass_1()) {
            seen_.texts = StringEnumerator();
            texts_dropped_ = true;
        }
        index_.fields = fields.build(&seen_.trie_id);
        seen_.text_id.assign(seen_.trie_id.size(), 0);
        for (std::uint32_t id = 0; id < seen_.trie_id.size(); ++id) {
            seen_.text_id[seen_.trie_id[id]] = id;
        }
    }

    std::size_t lines() const { return kept_fields_.lines(); }

    std::string tracks_of_fields(std::span<const std::uint32_t> ids) const {
        std::string out;
        for (std::size_t k = 0; k < ids.size(); ++k) {
            if (k) out += kTrackDelim;
            if (ids[k] != kNoText) append_track(out, seen_.track_of_id(ids[k]));
        }
        return out;
    }

    // Pass 2 from the field ids pass 1 kept; the record id of each line.
    std::vector<std::uint32_t> records_from_fields() {
        TrieBuilder line_trie;
        auto progress = host_.progress(kRecordsLabel, lines());
        KeptIds::Reader kept(kept_fields_);
        in_batches(host_, *progress, lines(), 4096, [&](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i) line_trie.add(tracks_of_fields(kept.next()));
        });
        std::vector<std::uint32_t> record_of_line;
        index_.lines = line_trie.build(&record_of_line);
        return record_of_line;
    }

    // Pass 2 through a host step: the tracks of each line of the file, as that step gives them.
    void records_from_file() {
        TrieBuilder line_trie;
        read_lines(kRecordsLabel, 2,
                   [&](std::string_view line) { line_trie.add(replaced_.line2tracks(line)); });
        index_.lines = line_trie.build();
    }

    // The pair keys a walk over the records collects. Every walk checks all of each record, so
    // a failure comes at the same record whatever the walk collects.
    struct PairBuilders {
        bool add_src = true, add_trg = true;
        TrieBuilder src, trg;
        std::deque<TrieBuilder> columns;
    };

    // Pass 3 from the field ids of the lines: each record once, at its first line. With target
    // keys the records are walked twice, and the source pairs' trie is built before the target
    // pairs are collected, so that the keys and the build of one of them are held at a time.
    // The progress display counts each record once, half of it in each walk.
    void pairs_from_fields(const std::vector<std::uint32_t>& record_of_line) {
        const std::size_t walks = options_.trg_keys ? 2 : 1;
        auto progress = host_.progress(kPairsLabel, index_.lines.size());
        std::size_t walked = 0, shown = 0;
        constexpr std::size_t kBatch = 4096;
        for (std::size_t walk = 0; walk < walks; ++walk) {
            PairBuilders pairs;
            pairs.add_src = walk == 0;
            pairs.add_trg = walk + 1 == walks;
            std::vector<bool> done(index_.lines.size());
            KeptReader kept(*this);
            for (std::size_t begin = 0; begin < lines(); begin += kBatch) {
                host_.check_interrupt();
                for (std::size_t i = begin; i < std::min(begin + kBatch, lines()); ++i) {
                    const KeptLine line = kept.next();
                    const std::uint32_t id = record_of_line[i];
                    if (done[id]) continue;
                    done[id] = true;
                    ++walked;
                    const std::string tracks = tracks_of_fields(line.fields);
                    Sides sides;
                    sides.key_id = line.key_id;
                    if (!line.fields.empty()) side(line.fields[0], sides.src, sides.src_id);
                    if (line.fields.size() > 1) {
                        sides.trg.emplace();
                        side(line.fields[1], *sides.trg, sides.trg_id);
                    }
                    if (options_.trg_keys) sides.column_ids = line.columns;
                    register_record(Track{id, static_cast<std::uint32_t>(tracks.size())}, tracks,
                                    sides, pairs);
                }
                progress->advance(walked / walks - shown);
                shown = walked / walks;
            }
            build_pairs(pairs);
        }
    }

    void side(std::uint32_t id, std::string_view& text, std::uint32_t& text_id) const {
        text_id = id;
        if (id != kNoText && !texts_dropped_) text = seen_.texts.id2str(id);
    }

    // Pass 3 over the record trie: each record's tracks rebuilt into its line.
    void pairs_from_records() {
        PairBuilders pairs;
        const std::size_t n = index_.lines.size();
        auto progress = host_.progress(kPairsLabel, n);
        std::string line;
        in_batches(host_, *progress, n, 256, [&](std::size_t begin, std::size_t end) {
            for (std::size_t id = begin; id < end; ++id) {
                const std::string tracks = index_.lines.key(static_cast<std::uint32_t>(id));
                const Track node{static_cast<std::uint32_t>(id),
                                 static_cast<std::uint32_t>(tracks.size())};
                register_record(node, tracks, std::nullopt, pairs);
            }
        });
        build_pairs(pairs);
    }

    // The sides of a record from its tracks: through the host's tracks2line when there is one.
    Sides sides_of_tracks(std::string_view tracks, std::optional<std::string>& line) const {
        Sides sides;
        if (replaced_.tracks2line) {
            line = replaced_.tracks2line(tracks);
            sides.src = source_side(*line);
            sides.trg = target_side(*line);
            return sides;
        }
        std::size_t k = 0;
        for_each_part(tracks, "|", [&](std::string_view part) {
            if (k < 2) {
                const std::uint32_t id = part.empty() ? kNoText : seen_.id_of(part);
                std::string_view text;
                std::uint32_t text_id = kNoText;
                side(id, text, text_id);
                if (k == 0) {
                    sides.src = text;
                    sides.src_id = text_id;
                } else {
                    sides.trg = text;
                    sides.trg_id = text_id;
                }
            }
            ++k;
        });
        return sides;
    }

    void register_record(Track node, std::string_view tracks, std::optional<Sides> known,
                         PairBuilders& pairs) {
        std::optional<std::string> line;
        try {
            const Sides sides = known ? *known : sides_of_tracks(tracks, line);
            // A native key is known from pass 1 (a host's key is asked for again, as described).
            TrieBuilder* const src = pairs.add_src ? &pairs.src : nullptr;
            if (sides.key_id != kNoText && !replaced_.format_src_key) {
                add_pair(src, {}, sides.key_id, node);
            } else {
                const auto key = src_key(sides.src);
                if (!key) no_key(sides.src);
                add_pair(src, *key, kNoText, node);
            }
            if (!options_.trg_keys) return;
            const std::string_view trg = require_target(sides.trg);
            add_pair(pairs.add_trg ? &pairs.trg : nullptr, trg, sides.trg_id, node);
            std::size_t column = 0;
            const auto add_column = [&](std::string_view part, std::uint32_t id) {
                if (column >= pairs.columns.size()) pairs.columns.emplace_back();
                TrieBuilder& builder = pairs.columns[column++];
                add_pair(pairs.add_trg ? &builder : nullptr, part, id, node);
            };
            if (sides.column_ids) {
                // A column without an id is an empty one.
                for (const std::uint32_t id : *sides.column_ids) add_column({}, id);
                return;
            }
            if (trg.find(kColumnDelim) == std::string_view::npos) return;
            for_each_part(trg, kColumnDelim,
                          [&](std::string_view part) { add_column(part, kNoText); });
        } catch (...) {
            if (!line) {
                try {
                    line = tracks_line(index_.fields, tracks);
                } catch (const ValueError&) {
                    // The tracks name no line: the warning shows the tracks alone.
                }
            }
            throw LoadFailure(3, 0, std::string(tracks), line, std::current_exception());
        }
    }

    // Adds the pair key of `key` (whose text id is `key_id` when known) and `node` to `pairs`;
    // with no `pairs`, only checks that it can be made.
    // The empty text is a key like any other, but no field: its pair keys begin with the
    // delimiter, as the tracks of an empty field are empty, and a search by the empty key (the
    // prefix of every pair key) finds them with all others.
    void add_pair(TrieBuilder* pairs, std::string_view key, std::uint32_t key_id, Track node) {
        std::optional<Track> key_track;
        if (key_id != kNoText) {
            key_track = seen_.track_of_id(key_id);
        } else if (!key.empty()) {
            key_track = seen_.track(key);
            if (!key_track)
                throw KeyError("'" + std::string(key) + "' is not a field of the table");
        }
        if (!pairs) return;
        pair_.clear();
        if (key_track) append_track(pair_, *key_track);
        pair_ += kTrackDelim;
        append_track(pair_, node);
        pairs->add(pair_);
    }

    void build_pairs(PairBuilders& pairs) {
        if (pairs.add_src) index_.src_pairs = pairs.src.build();
        if (!options_.trg_keys || !pairs.add_trg) return;
        index_.trg_pairs = pairs.trg.build();
        for (TrieBuilder& b : pairs.columns) index_.trg_column_pairs.push_back(b.build());
    }

    RuleIndex& index_;
    Host& host_;
    const LoadOptions& options_;
    const Replacements& replaced_;
    SeenFields seen_;
    // Text ids of each line's fields, of its source key unless that is its first field, and,
    // with target keys, of its target side's columns (none without a column delimiter).
    KeptIds kept_fields_, kept_keys_, kept_columns_;
    bool key_not_field_ = false;                   // some line's source key is no field
    std::vector<std::uint32_t> ids_, column_ids_;  // of the line being registered
    bool texts_dropped_ = false;
    std::string pair_;
};

}  // namespace

void load(RuleIndex& index, Host& host, const LoadOptions& options, const Replacements& replaced) {
    Loader(index, host, options, replaced).run();
#if defined(__GLIBC__)
    // Loading frees several times what the index keeps, scattered among the tries; hand the
    // free pages back to the system.
    malloc_trim(0);
#endif
}

}  // namespace zel::tables
