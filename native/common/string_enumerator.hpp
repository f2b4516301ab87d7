// Text-to-id table: ids 0, 1, 2, ... in order of first registration.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zel {

// Words are stored once, back to back in one buffer, and found through an open-addressing table
// of ids; a lookup of a known word allocates nothing. Memory is about the words' bytes plus
// 16 bytes a word.
class StringEnumerator {
public:
    using Id = std::uint32_t;

    // The id of `word`, registering it with the next id when it is unseen.
    Id str2id(std::string_view word);

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
    void grow();
    std::string_view word(Id id) const {
        return {chars_.data() + offsets_[id], offsets_[id + 1] - offsets_[id]};
    }

    std::string chars_;                    // all words, back to back
    std::vector<std::size_t> offsets_{0};  // word i is chars_[offsets_[i], offsets_[i+1])
    std::vector<std::uint32_t> hashes_;    // low 32 bits of each word's hash
    std::vector<Id> slots_ = std::vector<Id>(16, kEmpty);  // open addressing, linear probing

    static constexpr Id kEmpty = 0xFFFFFFFFU;
};

}  // namespace zel
