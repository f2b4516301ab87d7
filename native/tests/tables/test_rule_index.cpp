#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "tables/rule_index.hpp"
#include "tables/tracks.hpp"
#include "test_helpers.hpp"

namespace {

using namespace zel::tables;
using Lines = std::set<std::string>;

// What the index must answer, read from the table text independently: every field stripped,
// lines joined back with " ||| ".
struct Model {
    Lines lines;
    std::map<std::string, Lines> by_src, by_trg;
    std::vector<std::map<std::string, Lines>> by_column;

    static std::vector<std::string> split(const std::string& text, const std::string& delim) {
        std::vector<std::string> out;
        std::size_t start = 0;
        for (;;) {
            const std::size_t at = text.find(delim, start);
            out.push_back(text.substr(start, at - start));
            if (at == std::string::npos) return out;
            start = at + delim.size();
        }
    }
    static std::string strip(const std::string& s) {
        const auto b = s.find_first_not_of(" \t\r\n");
        if (b == std::string::npos) return "";
        return s.substr(b, s.find_last_not_of(" \t\r\n") - b + 1);
    }

    explicit Model(const std::string& table) {
        for (const std::string& raw : split(table, "\n")) {
            if (strip(raw).empty()) continue;
            std::vector<std::string> fields;
            for (const auto& f : split(raw, "|||")) fields.push_back(strip(f));
            std::string line;
            for (std::size_t i = 0; i < fields.size(); ++i) line += (i ? " ||| " : "") + fields[i];
            lines.insert(line);
            by_src[fields[0]].insert(line);
            by_trg[fields[1]].insert(line);
            const auto columns = split(fields[1], "|COL|");
            if (columns.size() < 2) continue;
            if (by_column.size() < columns.size()) by_column.resize(columns.size());
            for (std::size_t i = 0; i < columns.size(); ++i)
                by_column[i][strip(columns[i])].insert(line);
        }
    }
};

Lines found(const RuleIndex& index, const TextTrie& pairs, const std::string& key) {
    Lines out;
    const std::string key_track = line_tracks(index.fields, key);
    if (key_track.find(kAbsentTrack) != std::string::npos) return out;
    TextTrie::Cursor c(pairs, key_track);
    while (c.next()) {
        const std::string tracks = track_key(index.lines, pair_record_track(c.key()));
        EXPECT_TRUE(out.insert(tracks_line(index.fields, tracks)).second) << key;
    }
    return out;
}

Lines all_lines(const RuleIndex& index) {
    Lines out;
    TextTrie::Cursor c(index.lines, "");
    while (c.next()) out.insert(tracks_line(index.fields, std::string(c.key())));
    return out;
}

RuleIndex loaded(const std::string& table, LoadOptions options, const Replacements& r = {}) {
    zel::testing::MemoryHost host;
    host.files["t"] = table;
    options.path = "t";
    RuleIndex index;
    load(index, host, options, r);
    return index;
}

const std::string kMoses =
    "a b ||| x y ||| 0.5 0.25 ||| 0-0 1-1 ||| 2 2 1\n"
    "a b ||| z |COL| w ||| 0.5 0.25 ||| 0-0 ||| 2 2 1\n"
    "\n"
    "  \t \n"
    "a   |||   x |||0.1 0.1|||0-0|||1 1 1\r\n"
    "a ||| x ||| 0.1 0.1 ||| 0-0 ||| 1 1 1\n"
    "x ||| a b |COL| w |COL| v ||| 1 ||| ||| 1 1 1";

TEST(RuleIndex, DistinctLinesOnceAndEverySearchAsTheModelSays) {
    const Model model(kMoses);
    LoadOptions options;
    options.trg_keys = true;
    const RuleIndex index = loaded(kMoses, options);
    EXPECT_EQ(index.lines.size(), model.lines.size());
    EXPECT_EQ(all_lines(index), model.lines);
    for (const auto& [src, lines] : model.by_src)
        EXPECT_EQ(found(index, index.src_pairs, src), lines);
    for (const auto& [trg, lines] : model.by_trg)
        EXPECT_EQ(found(index, index.trg_pairs, trg), lines);
    ASSERT_EQ(index.trg_column_pairs.size(), model.by_column.size());
    for (std::size_t i = 0; i < model.by_column.size(); ++i) {
        for (const auto& [col, lines] : model.by_column[i]) {
            EXPECT_EQ(found(index, index.trg_column_pairs[i], col), lines) << i << col;
        }
    }
    // A source that is only ever a target, and a source absent from the table.
    EXPECT_TRUE(found(index, index.src_pairs, "z").empty());
    EXPECT_TRUE(found(index, index.src_pairs, "nowhere").empty());
}

// Host steps that do what the native ones do must give the very same tries.
TEST(RuleIndex, ReplacedStepsBuildTheSameIndex) {
    LoadOptions options;
    options.trg_keys = true;
    options.key_type = KeyType::src_symbols;
    const RuleIndex native = loaded(kMoses, options);
    RuleIndex replaced_index;
    int calls = 0;
    Replacements r;
    r.format_src_key = [&](std::string_view src) {
        ++calls;
        return format_src_key(options.key_type, options.symbols, src);
    };
    r.line2tracks = [&](std::string_view line) { return line_tracks(replaced_index.fields, line); };
    r.tracks2line = [&](std::string_view t) { return tracks_line(replaced_index.fields, t); };
    zel::testing::MemoryHost host;
    host.files["t"] = kMoses;
    options.path = "t";
    load(replaced_index, host, options, r);
    // Once a line in the first pass, once a record in the last.
    EXPECT_EQ(calls, 5 + 4);
    EXPECT_EQ(host.opened.size(), 2u);
    EXPECT_EQ(replaced_index.fields.serialize(), native.fields.serialize());
    EXPECT_EQ(replaced_index.lines.serialize(), native.lines.serialize());
    EXPECT_EQ(replaced_index.src_pairs.serialize(), native.src_pairs.serialize());
    EXPECT_EQ(replaced_index.trg_pairs.serialize(), native.trg_pairs.serialize());
    ASSERT_EQ(replaced_index.trg_column_pairs.size(), native.trg_column_pairs.size());
}

TEST(RuleIndex, TravatarKeysBySymbolsAndByTree) {
    const std::string rules =
        "S ( x0:NP VP ( \"saw\" x1:NP ) ) ||| x0 \"mita\" x1 ||| p=1 ||| 1 1 1 ||| 0-0\n"
        "S ( x0:NP  VP (\"saw\" x1:NP ) ) ||| x1 \"mita\" ||| p=1 ||| 1 1 1 ||| 0-0\n"
        "VP ( x0:NP \"saw\" x1:NP ) ||| x0 x1 ||| p=1 ||| 1 1 1 ||| 0-0\n"
        "VP ( x0:NN \"saw\" x1:NP ) ||| x1 x0 ||| p=1 ||| 1 1 1 ||| 0-0\n";
    LoadOptions options;
    options.symbols = Symbols::travatar;
    options.key_type = KeyType::src_symbols;
    const RuleIndex by_symbols = loaded(rules, options);
    // [NP] saw [NP]: the first and third rules; the fourth has [NN], and in the second the
    // token (\"saw\" is no quoted word.
    EXPECT_EQ(found(by_symbols, by_symbols.src_pairs, "[NP] saw [NP]").size(), 2u);
    EXPECT_EQ(found(by_symbols, by_symbols.src_pairs, "[NP] [NP]").size(), 1u);
    options.key_type = KeyType::src_hiero;
    const RuleIndex by_hiero = loaded(rules, options);
    EXPECT_EQ(found(by_hiero, by_hiero.src_pairs, "[X] saw [X]").size(), 3u);
    options.key_type = KeyType::src_tree;
    const RuleIndex by_tree = loaded(rules, options);
    // Spacing does not matter to a tree key; tokens do.
    EXPECT_EQ(found(by_tree, by_tree.src_pairs, "S ( x0:NP VP ( \"saw\" x1:NP ) )").size(), 1u);
    EXPECT_EQ(found(by_tree, by_tree.src_pairs, "S ( x0:NP VP (\"saw\" x1:NP ) )").size(), 1u);
    EXPECT_EQ(found(by_tree, by_tree.src_pairs, "VP ( x0:NP \"saw\" x1:NP )").size(), 1u);
}

}  // namespace
