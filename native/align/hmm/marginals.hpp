// Link marginals that stand in for a direction's HMM posteriors: a sampled model's.
#pragma once

#include <cstdint>
#include <vector>

#include "align/corpus/corpus.hpp"

namespace zel::align {

// Link marginals of one direction: pair p's m rows of l + 1 values (NULL first) at of(p), as
// the HMM's posteriors lie, each in 16 bits: a quarter of the doubles a posterior takes, for
// arrays as large as every pair's positions. While draws add up, a value counts in units of
// 1 / (kOne * draws); once finished, in units of 1 / kOne.
class Marginals {
public:
    static constexpr std::uint32_t kOne = 0xFFFF;

    // Zeros, for `draws` distributions a position to add up.
    Marginals(const Corpus& corpus, std::size_t draws);
    std::uint16_t* of(std::size_t p) { return values_.data() + starts_[p]; }
    const std::uint16_t* of(std::size_t p) const { return values_.data() + starts_[p]; }
    // The units of a draw's probability 1. Adding a probability's units rounded down, `draws`
    // of them never pass kOne; each loses less than a unit.
    double unit() const { return unit_; }
    // Each row scaled to sum to kOne (a row of zeros stays): a value is then its probability
    // times kOne.
    void finish(const Corpus& corpus);

private:
    std::vector<std::uint16_t> values_;
    std::vector<std::uint64_t> starts_;
    double unit_;  // the units of one draw's probability 1
};

}  // namespace zel::align
