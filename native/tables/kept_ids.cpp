#include "tables/kept_ids.hpp"

#include <algorithm>
#include <cstring>

namespace zel::tables {

namespace {

constexpr std::size_t kChunk = std::size_t{1} << 20;

// Codes: 0 no text, 1 the id of the line before in this slot, 2 + 2d a new id d above the
// largest so far, 3 + 2v the id v.
constexpr std::uint64_t kSame = 1;

}  // namespace

void KeptIds::put(std::uint64_t value) {
    while (value >= 0x80) {
        line_.push_back(static_cast<std::uint8_t>(value | 0x80));
        value >>= 7;
    }
    line_.push_back(static_cast<std::uint8_t>(value));
}

void KeptIds::add(std::span<const std::uint32_t> ids) {
    line_.clear();
    put(ids.size());
    for (std::size_t k = 0; k < ids.size(); ++k) {
        const std::uint32_t id = ids[k];
        if (id == kNoText) {
            put(0);
        } else if (k < last_.size() && last_[k] == id) {
            put(kSame);
        } else if (static_cast<std::int64_t>(id) > largest_) {
            put(2 + 2 * static_cast<std::uint64_t>(id - largest_ - 1));
            largest_ = id;
        } else {
            put(3 + 2 * static_cast<std::uint64_t>(id));
        }
    }
    last_.assign(ids.begin(), ids.end());
    if (chunks_.empty() || chunks_.back().capacity - chunks_.back().size < line_.size()) {
        Chunk chunk;
        chunk.capacity = std::max(kChunk, line_.size());
        chunk.bytes = std::make_unique_for_overwrite<std::uint8_t[]>(chunk.capacity);
        chunks_.push_back(std::move(chunk));
    }
    Chunk& chunk = chunks_.back();
    std::memcpy(chunk.bytes.get() + chunk.size, line_.data(), line_.size());
    chunk.size += line_.size();
    ++lines_;
}

std::uint64_t KeptIds::Reader::varint() {
    const std::uint8_t* bytes = kept_.chunks_[chunk_].bytes.get();
    std::uint64_t value = 0;
    for (int shift = 0;; shift += 7) {
        const std::uint8_t b = bytes[at_++];
        value |= static_cast<std::uint64_t>(b & 0x7F) << shift;
        if (!(b & 0x80)) return value;
    }
}

std::span<const std::uint32_t> KeptIds::Reader::next() {
    if (at_ == kept_.chunks_[chunk_].size) {
        ++chunk_;
        at_ = 0;
    }
    const std::size_t n = varint();
    ids_.resize(n);  // slots beyond the line before's are never coded as the same
    for (std::size_t k = 0; k < n; ++k) {
        const std::uint64_t code = varint();
        if (code == 0) {
            ids_[k] = kNoText;
        } else if (code == kSame) {
            continue;  // ids_[k] still holds the line before's
        } else if (code % 2 == 0) {
            largest_ += static_cast<std::int64_t>((code - 2) / 2) + 1;
            ids_[k] = static_cast<std::uint32_t>(largest_);
        } else {
            ids_[k] = static_cast<std::uint32_t>((code - 3) / 2);
        }
    }
    return ids_;
}

}  // namespace zel::tables
