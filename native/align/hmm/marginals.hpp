// Link marginals that stand in for a direction's HMM posteriors: a sampled model's.
#pragma once

#include <cstdint>
#include <unordered_map>
#include <vector>

#include "align/corpus/corpus.hpp"

namespace zel::align {

// Link marginals of one direction: for each target word of pair p, a value for each of its
// l + 1 source positions (NULL first), in 16 bits. While draws add up, a value counts in units
// of 1 / (kOne * draws); once finished, in units of 1 / kOne.
//
// Only the values above zero are kept: a sampled distribution puts nearly all its mass on one
// to three positions, and the others round to no unit, so a dense row (two bytes a position)
// would hold mostly zeros. A target word keeps its first kSlots positions above zero beside
// each other; the few words with more keep the rest in a map.
class Marginals {
public:
    static constexpr std::uint32_t kOne = 0xFFFF;
    static constexpr std::size_t kSlots = 3;

    // Zeros, for `draws` distributions a position to add up.
    Marginals(const Corpus& corpus, std::size_t draws);
    // The units of a draw's probability 1. Adding a probability's units rounded down, `draws`
    // of them never pass kOne; each loses less than a unit.
    double unit() const { return unit_; }
    // Adds `units` to the value of source position i of target token `token` (in corpus order).
    void add(std::uint64_t token, std::uint32_t i, std::uint32_t units) {
        if (units == 0) return;
        Slot* slots = slots_.data() + token * kSlots;
        for (std::size_t k = 0; k < kSlots && i <= kMostSlotPosition; ++k) {
            if (slots[k].value == 0) {
                slots[k] = {static_cast<std::uint16_t>(i), static_cast<std::uint16_t>(units)};
                return;
            }
            if (slots[k].position == i) {
                slots[k].value = static_cast<std::uint16_t>(slots[k].value + units);
                return;
            }
        }
        std::uint16_t& value = more_[token][i];
        value = static_cast<std::uint16_t>(value + units);
    }
    // Pair p's values, m rows of l + 1 (as the HMM's posteriors lie), into `out`.
    void fill(std::size_t p, std::vector<std::uint16_t>& out) const;
    // Target words whose positions above zero did not all fit their slots (for the log).
    std::size_t crowded() const { return more_.size(); }
    std::size_t memory_bytes() const;
    // Each row scaled to sum to kOne (a row of zeros stays): a value is then its probability
    // times kOne.
    void finish();

private:
    // A position with a value; a value of 0 marks a free slot while draws add up.
    struct Slot {
        std::uint16_t position, value;
    };
    static constexpr std::uint32_t kMostSlotPosition = 0xFFFF;

    std::vector<std::uint64_t> token_start_;  // pair p's target words: from token_start_[p] on
    std::vector<std::uint32_t> width_;        // pair p's source positions, NULL's included
    std::vector<Slot> slots_;                 // kSlots a target token
    std::unordered_map<std::uint64_t, std::unordered_map<std::uint32_t, std::uint16_t>> more_;
    double unit_;  // the units of one draw's probability 1
};

}  // namespace zel::align
