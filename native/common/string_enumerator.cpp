#include "common/string_enumerator.hpp"

#include <algorithm>
#include <limits>
#include <stdexcept>

#include "common/hash.hpp"

namespace zel {

namespace {

constexpr std::uint64_t kHashHigh = 0xFFFFFFFF00000000U;

}  // namespace

std::int64_t StringEnumerator::find(std::string_view w) const {
    const std::uint64_t h = hash_bytes(w);
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = h & mask;; i = (i + 1) & mask) {
        const Slot slot = slots_[i];
        if (slot == kEmpty) return -1;
        const auto id = static_cast<Id>(slot);
        if ((slot & kHashHigh) == (h & kHashHigh) && word(id) == w) return id;
    }
}

StringEnumerator::Id StringEnumerator::str2id(std::string_view w) {
    return lookup_or_insert(w, hash_bytes(w));
}

void StringEnumerator::str2ids(std::span<const std::string_view> words, Id* ids) {
    // Slot and offset loads are cache misses for all but the most frequent words; issuing a
    // batch of them before using any lets the memory system serve them in parallel.
    constexpr std::size_t kBatch = 16;
    std::uint64_t hashes[kBatch];
    for (std::size_t base = 0; base < words.size(); base += kBatch) {
        const std::size_t n = std::min(kBatch, words.size() - base);
        const std::size_t mask = slots_.size() - 1;
        for (std::size_t k = 0; k < n; ++k) {
            hashes[k] = hash_bytes(words[base + k]);
            __builtin_prefetch(&slots_[hashes[k] & mask]);
        }
        // Then the word offsets of the first candidates, which a match must read next.
        for (std::size_t k = 0; k < n; ++k) {
            const Slot slot = slots_[hashes[k] & mask];
            if (slot != kEmpty) __builtin_prefetch(&offsets_[static_cast<Id>(slot)]);
        }
        for (std::size_t k = 0; k < n; ++k)
            ids[base + k] = lookup_or_insert(words[base + k], hashes[k]);
    }
}

StringEnumerator::Id StringEnumerator::lookup_or_insert(std::string_view w, std::uint64_t h) {
    const std::size_t mask = slots_.size() - 1;
    std::size_t i = h & mask;
    for (;; i = (i + 1) & mask) {
        const Slot slot = slots_[i];
        if (slot == kEmpty) break;
        const auto id = static_cast<Id>(slot);
        if ((slot & kHashHigh) == (h & kHashHigh) && word(id) == w) return id;
    }
    if (size() >= std::numeric_limits<Id>::max() - 1) {
        throw std::length_error("string enumerator is full (2^32 - 1 words)");
    }
    const Id id = static_cast<Id>(size());
    chars_.append(w);
    offsets_.push_back(chars_.size());
    slots_[i] = make_slot(h, id);
    // Keep the load factor at most one half so probe runs stay short.
    if (2 * size() > slots_.size()) grow();
    return id;
}

void StringEnumerator::grow() {
    // The slot index needs the low hash bits, which slots do not keep: hash the words again.
    // Growth doubles the table, so this costs one hash per word over the whole filling.
    std::vector<Slot> slots(slots_.size() * 2, kEmpty);
    const std::size_t mask = slots.size() - 1;
    for (Id id = 0; id < size(); ++id) {
        const std::uint64_t h = hash_bytes(word(id));
        std::size_t i = h & mask;
        while (slots[i] != kEmpty) i = (i + 1) & mask;
        slots[i] = make_slot(h, id);
    }
    slots_.swap(slots);
}

std::string_view StringEnumerator::id2str(Id id) const {
    if (id >= size()) {
        throw std::out_of_range("id " + std::to_string(id) + " is not registered (size " +
                                std::to_string(size()) + ")");
    }
    return word(id);
}

std::size_t StringEnumerator::memory_bytes() const {
    return chars_.capacity() + offsets_.capacity() * sizeof(std::size_t) +
           slots_.capacity() * sizeof(Slot);
}

}  // namespace zel
