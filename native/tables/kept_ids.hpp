// The text ids loading keeps of every line between its passes, packed into a few bytes a line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace zel::tables {

// The id of an empty part, which is no text.
inline constexpr std::uint32_t kNoText = ~std::uint32_t{0};

// Lists of text ids, one per line, read back in order. At four bytes an id and eight a line
// they would be about two fifths of a phrase table's size, more than anything else loading
// holds beside the tries; packed, a line takes 10 to 12 bytes. Each id is coded against the same
// slot of the line before (a table sorted by source repeats its source side line after line) and
// the largest id so far (scores and counts are new texts, numbered in order of first sight), and
// any other id by its value; bytes go in chunks, so growing copies nothing.
class KeptIds {
public:
    void add(std::span<const std::uint32_t> ids);
    std::size_t lines() const { return lines_; }

    // Reads the lists back from the first, in order.
    class Reader {
    public:
        explicit Reader(const KeptIds& kept) : kept_(kept) {}
        // The next line's ids; valid until the next call.
        std::span<const std::uint32_t> next();

    private:
        std::uint64_t varint();

        const KeptIds& kept_;
        std::size_t chunk_ = 0, at_ = 0;
        std::vector<std::uint32_t> ids_;
        std::int64_t largest_ = -1;
    };

private:
    struct Chunk {
        std::unique_ptr<std::uint8_t[]> bytes;
        std::size_t size = 0, capacity = 0;
    };
    void put(std::uint64_t value);

    std::vector<Chunk> chunks_;
    std::vector<std::uint8_t> line_;  // the line being added
    std::vector<std::uint32_t> last_;
    std::int64_t largest_ = -1;
    std::size_t lines_ = 0;
};

}  // namespace zel::tables
