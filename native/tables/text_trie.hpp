// A static trie of text keys (marisa-trie), the store behind every index of a rule table. Keys
// are collected while a pass over a table runs and the trie is built at its end; from then on it
// only answers.
#pragma once

#include <marisa/trie.h>

#include <cstdint>
#include <functional>
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

    // A trie read in place from `stored` (bytes as serialize() makes them), which `owner`
    // keeps alive. Nothing is read before the trie is first used; then the checksum is checked
    // and a mismatch throws ValueError("<label>: ..."): a saved index is opened in an instant
    // and pays for each trie's pages only when a search needs them.
    // `before_reading` runs first (and may throw): the owner's chance to refuse bytes that
    // changed under it.
    static TextTrie mapped(std::shared_ptr<const void> owner, std::string_view stored,
                           std::string label, std::function<void()> before_reading = {});

    std::size_t size() const { return trie().size(); }
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

    std::size_t memory_bytes() const { return trie().io_size(); }

    // Moves the trie, when it takes `at_least` bytes, into memory advised for huge pages; it
    // answers as before. Built and read-back tries of tens of megabytes are moved (see
    // text_trie.cpp).
    void move_to_huge_pages(std::size_t at_least);

private:
    friend class TrieBuilder;
    const marisa::Trie& trie() const {
        if (!trie_) map_stored();
        return *trie_;
    }
    void map_stored() const;

    // Null until a mapped trie is first used.
    mutable std::unique_ptr<marisa::Trie> trie_;
    std::shared_ptr<const void> owner_;
    std::string_view stored_;
    std::string label_;
    std::function<void()> before_reading_;
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
