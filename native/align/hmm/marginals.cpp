#include "align/hmm/marginals.hpp"

#include <algorithm>
#include <cmath>

#include "common/memory.hpp"

namespace zel::align {

Marginals::Marginals(const Corpus& corpus, std::size_t draws)
    : token_start_(corpus.size() + 1, 0),
      width_(corpus.size(), 0),
      unit_(std::floor(static_cast<double>(kOne) /
                       static_cast<double>(std::max<std::size_t>(draws, 1)))) {
    for (std::size_t p = 0; p < corpus.size(); ++p) {
        token_start_[p + 1] = corpus.trg_start(p) + corpus.trg(p).size();
        width_[p] = static_cast<std::uint32_t>(corpus.src(p).size());
    }
    allocate_checked(corpus.trg_tokens() * kSlots * sizeof(Slot), "link marginals",
                     [&] { slots_.assign(corpus.trg_tokens() * kSlots, Slot{0, 0}); });
}

void Marginals::fill(std::size_t p, std::vector<std::uint16_t>& out) const {
    const std::size_t width = width_[p];
    const std::uint64_t first = token_start_[p], m = token_start_[p + 1] - first;
    out.assign(width * m, 0);
    for (std::uint64_t j = 0; j < m; ++j) {
        std::uint16_t* row = out.data() + j * width;
        const Slot* slots = slots_.data() + (first + j) * kSlots;
        for (std::size_t k = 0; k < kSlots; ++k) {
            if (slots[k].value != 0) row[slots[k].position] = slots[k].value;
        }
        if (more_.empty()) continue;
        if (const auto more = more_.find(first + j); more != more_.end()) {
            for (const auto& [i, value] : more->second) row[i] = value;
        }
    }
}

void Marginals::finish() {
    for (std::uint64_t token = 0; token * kSlots < slots_.size(); ++token) {
        Slot* slots = slots_.data() + token * kSlots;
        const auto more = more_.empty() ? more_.end() : more_.find(token);
        std::uint64_t sum = 0;
        for (std::size_t k = 0; k < kSlots; ++k) sum += slots[k].value;
        if (more != more_.end()) {
            for (const auto& entry : more->second) sum += entry.second;
        }
        if (sum == 0) continue;
        const double scale = static_cast<double>(kOne) / static_cast<double>(sum);
        const auto scaled = [scale](std::uint16_t v) {
            return static_cast<std::uint16_t>(std::lround(v * scale));
        };
        for (std::size_t k = 0; k < kSlots; ++k) slots[k].value = scaled(slots[k].value);
        if (more != more_.end()) {
            for (auto& entry : more->second) entry.second = scaled(entry.second);
        }
    }
}

std::size_t Marginals::memory_bytes() const {
    // About what the standard maps take: a node and buckets a word, a node an entry.
    std::size_t more = 0;
    for (const auto& entry : more_) more += 64 + entry.second.size() * 32;
    return slots_.capacity() * sizeof(Slot) + token_start_.capacity() * 8 + width_.capacity() * 4 +
           more;
}

}  // namespace zel::align
