// Sums in the order NumPy's float64 add-reduction uses along a contiguous axis (pairwise
// summation with eight accumulators), so results match the dense array computation to the bit.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zel {

// Sum of x[0], x[stride], ..., x[(n - 1) * stride] in NumPy's pairwise order.
double pairwise_sum(const double* x, std::size_t n, std::ptrdiff_t stride = 1);

// The same sum over a dense vector of length `n` that is zero except at the sorted positions
// `pos[0..count)`, holding values[k * stride] at pos[k]. Zeros never change a partial sum (the
// values summed here are never -0.0), so only the grouping of the non-zero elements matters.
double sparse_pairwise_sum(std::size_t n, const std::uint32_t* pos, std::size_t count,
                           const double* values, std::size_t stride = 1);

}  // namespace zel
