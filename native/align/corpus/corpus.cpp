#include "align/corpus/corpus.hpp"

namespace zel::align {

void Corpus::push_back(std::span<const WordId> src, std::span<const WordId> trg) {
    src_ids_.insert(src_ids_.end(), src.begin(), src.end());
    trg_ids_.insert(trg_ids_.end(), trg.begin(), trg.end());
    src_starts_.push_back(src_ids_.size());
    trg_starts_.push_back(trg_ids_.size());
}

void Corpus::shrink_to_fit() {
    src_ids_.shrink_to_fit();
    trg_ids_.shrink_to_fit();
    src_starts_.shrink_to_fit();
    trg_starts_.shrink_to_fit();
}

std::size_t Corpus::memory_bytes() const {
    return (src_ids_.capacity() + trg_ids_.capacity()) * sizeof(WordId) +
           (src_starts_.capacity() + trg_starts_.capacity()) * sizeof(std::uint64_t);
}

}  // namespace zel::align
