// The index of a whole rule table: a trie of every field text, a trie of the tracks string of
// every line, and tries of pair keys (search key, line) for source and target searches. Built
// by three passes over the table file; afterwards it only answers.
#pragma once

#include <cstddef>
#include <exception>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "common/host.hpp"
#include "tables/text_trie.hpp"

namespace zel::tables {

enum class KeyType { src, src_hiero, src_symbols, src_tree, other };
KeyType key_type_of(std::string_view name);

// How the record class takes the symbols of a rule side: its blank-separated words, or the
// symbols of a Travatar rule side.
enum class Symbols { words, travatar };

// The source key of a source side; nullopt for a key type that gives none.
std::optional<std::string> format_src_key(KeyType type, Symbols symbols, std::string_view src);

struct RuleIndex {
    TextTrie fields;
    TextTrie lines;  // every line of the table, by its fields
    TextTrie src_pairs;
    bool trg_keys = false;
    TextTrie trg_pairs;                      // only with target keys
    std::vector<TextTrie> trg_column_pairs;  // only with target keys
};

// Bytes the tries of an index hold.
std::size_t memory_bytes(const RuleIndex& index);

struct LoadOptions {
    std::string path;
    KeyType key_type = KeyType::src;
    std::string key_type_name = "src";  // for messages
    Symbols symbols = Symbols::words;
    bool trg_keys = false;
};

// Steps a table may replace; an empty one is done natively. The index being loaded is complete
// up to the current pass, so a replacement may use it (the field trie from pass 2 on).
struct Replacements {
    std::function<std::optional<std::string>(std::string_view src)> format_src_key;
    std::function<std::string(std::string_view line)> line2tracks;
    std::function<std::string(std::string_view tracks)> tracks2line;
};

// An error while one line (passes 1 and 2) or one record (pass 3) was handled. `error` is what
// was thrown; `line` is the rebuilt line, when it could be rebuilt.
class LoadFailure : public std::runtime_error {
public:
    LoadFailure(int pass_number, std::size_t line_no, std::string line_tracks,
                std::optional<std::string> rebuilt, std::exception_ptr cause)
        : std::runtime_error("rule table loading failed"),
          pass(pass_number),
          line_number(line_no),
          tracks(std::move(line_tracks)),
          line(std::move(rebuilt)),
          error(std::move(cause)) {}

    int pass;
    std::size_t line_number;  // 1-based, passes 1 and 2
    std::string tracks;       // pass 3
    std::optional<std::string> line;
    std::exception_ptr error;
};

inline constexpr std::string_view kFieldsLabel = "building trie of all fields";
inline constexpr std::string_view kRecordsLabel = "building trie of all records";
inline constexpr std::string_view kPairsLabel = "registering pair of (key,record)";

// Fills `index` from the table file. Lines that are blank after stripping are not rules and
// are skipped. Throws LoadFailure for an error tied to a line or record, and other errors
// (such as a missing file) as they are.
void load(RuleIndex& index, Host& host, const LoadOptions& options,
          const Replacements& replaced = {});

}  // namespace zel::tables
