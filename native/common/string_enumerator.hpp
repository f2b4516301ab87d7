// Text-to-id table: ids 0, 1, 2, ... in order of first registration.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace zel {

// Words are stored once, back to back in one buffer, and found through an open-addressing table
// whose slots hold a word's id beside 32 bits of its hash, so most probes that miss never touch
// the words. A lookup of a known word allocates nothing. Memory is about the words' bytes plus
// 24 to 40 bytes a word.
class StringEnumerator {
public:
    using Id = std::uint32_t;

    // The id of `word`, registering it with the next id when it is unseen.
    Id str2id(std::string_view word);

    // ids[i] = str2id(words[i]) for every word, in order. Faster than one call a word: the
    // table slots of a batch of words are fetched from memory together.
    void str2ids(std::span<const std::string_view> words, Id* ids);

    // Registers `word`; a word already registered keeps its id (same as str2id).
    void append(std::string_view word) { str2id(word); }

    // The id of `word` if registered, else -1.
    std::int64_t find(std::string_view word) const;

    // The word of `id`; throws std::out_of_range outside 0 .. size() - 1. The view stays valid
    // until the next registration of a new word.
    std::string_view id2str(Id id) const;

    std::size_t size() const { return offsets_.size() - 1; }

    // Bytes held by the table, for memory reports.
    std::size_t memory_bytes() const;

private:
    Id lookup_or_insert(std::string_view word, std::uint64_t hash);
    void grow();
    std::string_view word(Id id) const {
        return {chars_.data() + offsets_[id], offsets_[id + 1] - offsets_[id]};
    }

    // A slot is (high 32 bits of the hash) << 32 | id; the low hash bits pick the slot.
    using Slot = std::uint64_t;
    static constexpr Slot kEmpty = ~Slot{0};
    static Slot make_slot(std::uint64_t hash, Id id) { return (hash & 0xFFFFFFFF00000000U) | id; }

    std::string chars_;                    // all words, back to back
    std::vector<std::size_t> offsets_{0};  // word i is chars_[offsets_[i], offsets_[i+1])
    std::vector<Slot> slots_ = std::vector<Slot>(16, kEmpty);  // linear probing
};

}  // namespace zel
