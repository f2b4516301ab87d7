#include "common/string_enumerator.hpp"

#include <limits>
#include <stdexcept>

#include "common/hash.hpp"

namespace zel {

std::int64_t StringEnumerator::find(std::string_view w) const {
    const std::uint64_t h = hash_bytes(w);
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = h & mask;; i = (i + 1) & mask) {
        const Id id = slots_[i];
        if (id == kEmpty) return -1;
        if (hashes_[id] == static_cast<std::uint32_t>(h) && word(id) == w) return id;
    }
}

StringEnumerator::Id StringEnumerator::str2id(std::string_view w) {
    const std::uint64_t h = hash_bytes(w);
    std::size_t mask = slots_.size() - 1;
    std::size_t i = h & mask;
    for (;; i = (i + 1) & mask) {
        const Id id = slots_[i];
        if (id == kEmpty) break;
        if (hashes_[id] == static_cast<std::uint32_t>(h) && word(id) == w) return id;
    }
    if (size() >= std::numeric_limits<Id>::max() - 1) {
        throw std::length_error("string enumerator is full (2^32 - 1 words)");
    }
    const Id id = static_cast<Id>(size());
    chars_.append(w);
    offsets_.push_back(chars_.size());
    hashes_.push_back(static_cast<std::uint32_t>(h));
    // Keep the load factor at most one half so probe runs stay short.
    if (2 * size() > slots_.size()) {
        grow();
    } else {
        slots_[i] = id;
    }
    return id;
}

void StringEnumerator::grow() {
    std::vector<Id> slots(slots_.size() * 2, kEmpty);
    const std::size_t mask = slots.size() - 1;
    for (Id id = 0; id < size(); ++id) {
        // Only 32 hash bits are kept per word; tables past 2^32 slots would need more.
        std::size_t i = hashes_[id] & mask;
        while (slots[i] != kEmpty) i = (i + 1) & mask;
        slots[i] = id;
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
           hashes_.capacity() * sizeof(std::uint32_t) + slots_.capacity() * sizeof(Id);
}

}  // namespace zel
