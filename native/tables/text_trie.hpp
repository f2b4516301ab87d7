// A static trie of text keys (marisa-trie), the store behind every index of a rule table. Keys
// are collected while a pass over a table runs and the trie is built at its end; from then on it
// only answers.
#pragma once

#include <marisa/trie.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zel::tables {

// Where a key lives in its trie: its id (0 .. size - 1) and its length in bytes.
struct Track {
    std::uint32_t id = 0;
    std::uint32_t length = 0;
    friend bool operator==(const Track&, const Track&) = default;
};

class TextTrie {
public:
    TextTrie();  // empty

    std::size_t size() const { return trie_->size(); }
    std::optional<Track> find(std::string_view key) const;
    bool contains(std::string_view key) const { return find(key).has_value(); }

    // The key of `id`; the key whose track is `track`. Both throw ValueError when there is none.
    std::string key(std::uint32_t id) const;
    std::string key(Track track) const;

    // The keys that begin with a prefix, one at a time, in the trie's order. The trie must
    // outlive the cursor.
    class Cursor {
    public:
        Cursor(const TextTrie& trie, std::string prefix);
        Cursor(const Cursor&) = delete;
        Cursor& operator=(const Cursor&) = delete;

        bool next();
        std::string_view key() const;
        Track track() const;

    private:
        const marisa::Trie& trie_;
        std::string prefix_;  // the agent reads the query from here
        marisa::Agent agent_;
    };

    // The bytes of the trie, and a trie read back from them (ValueError when they are not one).
    std::string serialize() const;
    static TextTrie deserialize(std::string_view bytes);

    std::size_t memory_bytes() const { return trie_->io_size(); }

private:
    friend class TrieBuilder;
    std::unique_ptr<marisa::Trie> trie_;
};

// Collects keys (repeats allowed) and builds their trie.
class TrieBuilder {
public:
    void add(std::string_view key);
    std::size_t added() const { return keys_.size(); }

    // The trie of every added key; with `ids`, (*ids)[i] is the id of the i-th added key.
    TextTrie build(std::vector<std::uint32_t>* ids = nullptr);

private:
    marisa::Keyset keys_;
};

}  // namespace zel::tables
