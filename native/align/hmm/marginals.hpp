// Link marginals that stand in for a direction's HMM posteriors: a sampled model's.
#pragma once

#include <cstdint>
#include <vector>

#include "align/corpus/corpus.hpp"

namespace zel::align {

// Link marginals of one direction: pair p's m rows of l + 1 values (NULL first) at of(p), as
// the HMM's posteriors lie.
class Marginals {
public:
    explicit Marginals(const Corpus& corpus);
    float* of(std::size_t p) { return values_.data() + starts_[p]; }
    const float* of(std::size_t p) const { return values_.data() + starts_[p]; }
    // Each row scaled to sum to 1 (a row of zeros stays).
    void normalize(const Corpus& corpus);

private:
    std::vector<float> values_;
    std::vector<std::uint64_t> starts_;
};

}  // namespace zel::align
