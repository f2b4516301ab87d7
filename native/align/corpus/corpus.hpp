// A parallel corpus as word ids in contiguous arrays.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace zel::align {

using WordId = std::uint32_t;

// Sentence pair i is (source ids, target ids); source ids start with the NULL word. All ids of
// one side sit back to back in one array, 4 bytes a token, plus 8 bytes a sentence of offsets.
class Corpus {
public:
    Corpus() = default;

    std::size_t size() const { return src_starts_.size() - 1; }
    bool empty() const { return size() == 0; }

    std::span<const WordId> src(std::size_t i) const { return side(src_ids_, src_starts_, i); }
    std::span<const WordId> trg(std::size_t i) const { return side(trg_ids_, trg_starts_, i); }

    // Index of pair i's first target token among all of them.
    std::uint64_t trg_start(std::size_t i) const { return trg_starts_[i]; }

    std::size_t src_tokens() const { return src_ids_.size(); }
    std::size_t trg_tokens() const { return trg_ids_.size(); }

    // Appends one pair; ids are copied.
    void push_back(std::span<const WordId> src, std::span<const WordId> trg);

    // Releases spare capacity once loading is done.
    void shrink_to_fit();

    std::size_t memory_bytes() const;

private:
    static std::span<const WordId> side(const std::vector<WordId>& ids,
                                        const std::vector<std::uint64_t>& starts, std::size_t i) {
        return {ids.data() + starts[i], static_cast<std::size_t>(starts[i + 1] - starts[i])};
    }

    std::vector<WordId> src_ids_, trg_ids_;
    std::vector<std::uint64_t> src_starts_{0}, trg_starts_{0};
};

}  // namespace zel::align
