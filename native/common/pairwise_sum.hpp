// Sums in the order NumPy's float64 add-reduction uses along a contiguous axis (pairwise
// summation with eight accumulators), so results match the dense array computation to the bit.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zel {

// Sum of x[0], x[stride], ..., x[(n - 1) * stride] in NumPy's pairwise order.
double pairwise_sum(const double* x, std::size_t n, std::ptrdiff_t stride = 1);

// The same sum over a dense vector of length `n` that is zero except at the sorted positions
// `pos[0..count)`, holding `value(k)` at pos[k]. Zeros never change a partial sum (the values
// summed here are never -0.0), so only the grouping of the non-zero elements matters.
template <class Position, class Value>
double sparse_pairwise_sum(std::size_t n, const Position* pos, std::size_t count, Value&& value,
                           std::size_t base = 0, std::size_t first = 0);

namespace detail {

inline constexpr std::size_t kPairwiseBlock = 128;

// The sum over the range [base, base + n) of the dense vector, starting at pos[cursor]; leaves
// the cursor at the first position past the range, so the range to its right starts there
// without a search.
template <class Position, class Value>
double sparse_pairwise_range(std::size_t n, const Position* pos, std::size_t count, Value& value,
                             std::size_t base, std::size_t& cursor) {
    const std::size_t end = base + n;
    // A local index, written back once: through the reference it would be stored every step.
    std::size_t k = cursor;
    const auto done = [&](double sum) {
        cursor = k;
        return sum;
    };
    if (k >= count || static_cast<std::size_t>(pos[k]) >= end) return 0.0;
    if (n < 8) {
        double res = 0.0;
        for (; k < count && static_cast<std::size_t>(pos[k]) < end; ++k) res += value(k);
        return done(res);
    }
    if (n <= kPairwiseBlock) {
        double r[8] = {0, 0, 0, 0, 0, 0, 0, 0};
        const std::size_t unrolled_end = base + n - n % 8;
        for (; k < count && static_cast<std::size_t>(pos[k]) < unrolled_end; ++k) {
            r[(static_cast<std::size_t>(pos[k]) - base) % 8] += value(k);
        }
        double res = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
        for (; k < count && static_cast<std::size_t>(pos[k]) < end; ++k) res += value(k);
        return done(res);
    }
    std::size_t n2 = n / 2;
    n2 -= n2 % 8;
    const double left = sparse_pairwise_range(n2, pos, count, value, base, k);
    const double right = sparse_pairwise_range(n - n2, pos, count, value, base + n2, k);
    return done(left + right);
}

}  // namespace detail

template <class Position, class Value>
double sparse_pairwise_sum(std::size_t n, const Position* pos, std::size_t count, Value&& value,
                           std::size_t base, std::size_t first) {
    return detail::sparse_pairwise_range(n, pos, count, value, base, first);
}

}  // namespace zel
