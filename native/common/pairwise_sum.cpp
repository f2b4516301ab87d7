#include "common/pairwise_sum.hpp"

#include <algorithm>

namespace zel {

namespace {

constexpr std::size_t kBlock = 128;  // the reduction's unrolled leaves hold at most this many
// Elements of a leaf from which it is summed densely.
constexpr std::size_t kDenseLeaf = 16;

// The reduction's combination of its eight partial sums.
double combine(const double (&r)[8]) {
    return ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
}

// A leaf of the reduction, at(0) + ... + at(n - 1) for 8 <= n <= kBlock, summed with eight
// partial sums (a template, so that a contiguous leaf is compiled for its stride of 1).
template <class At>
double leaf_sum(std::size_t n, At&& at) {
    double r[8];
    for (std::size_t q = 0; q < 8; ++q) r[q] = at(q);
    std::size_t i = 8;
    for (; i < n - n % 8; i += 8) {
        for (std::size_t q = 0; q < 8; ++q) r[q] += at(i + q);
    }
    double res = combine(r);
    for (; i < n; ++i) res += at(i);
    return res;
}

// A sparse vector walked once, range by range in the reduction's grouping: each range starts
// where the one to its left stopped, so no range searches for its first element.
class SparseWalk {
public:
    SparseWalk(const std::uint32_t* pos, std::size_t count, const double* values,
               std::size_t stride)
        : pos_(pos), count_(count), values_(values), stride_(stride) {}

    // The sum over [base, base + n), the walk standing at the range's first element if any.
    double sum(std::size_t n, std::size_t base) {
        const std::size_t end = base + n;
        const auto inside = [&](std::size_t i) { return i < count_ && pos_[i] < end; };
        const std::size_t k = next_;
        if (!inside(k)) return 0.0;
        // One or two elements sum to themselves, however grouped (x + 0 == x, x + y == y + x).
        if (!inside(k + 1)) {
            next_ = k + 1;
            return value(k);
        }
        if (!inside(k + 2)) {
            next_ = k + 2;
            return value(k) + value(k + 1);
        }
        if (n < 8) {
            double res = 0.0;
            std::size_t i = k;
            for (; inside(i); ++i) res += value(i);
            next_ = i;
            return res;
        }
        if (n <= kBlock) return leaf(n, base, end);
        std::size_t n2 = n / 2;
        n2 -= n2 % 8;
        const double left = sum(n2, base);
        return left + sum(n - n2, base + n2);
    }

private:
    double value(std::size_t k) const { return values_[k * stride_]; }

    // A leaf holding three elements or more (sum() returns fewer at once).
    double leaf(std::size_t n, std::size_t base, std::size_t end) {
        std::size_t k = next_, last = k + 3;
        while (last < count_ && pos_[last] < end) ++last;
        next_ = last;
        if (last - k >= kDenseLeaf) {
            // The leaf as the dense reduction sums it, its zeros put back: adding a zero
            // changes no partial sum, and the dense loop keeps its eight sums in registers.
            double x[kBlock];
            std::fill_n(x, n, 0.0);
            for (; k < last; ++k) x[pos_[k] - base] = value(k);
            return leaf_sum(n, [&](std::size_t i) { return x[i]; });
        }
        double r[8] = {0, 0, 0, 0, 0, 0, 0, 0};
        const std::size_t unrolled_end = base + n - n % 8;
        for (; k < last && pos_[k] < unrolled_end; ++k) r[(pos_[k] - base) % 8] += value(k);
        double res = combine(r);
        for (; k < last; ++k) res += value(k);
        return res;
    }

    const std::uint32_t* pos_;
    std::size_t count_;
    const double* values_;
    std::size_t stride_;
    std::size_t next_ = 0;
};

}  // namespace

double pairwise_sum(const double* x, std::size_t n, std::ptrdiff_t stride) {
    const auto at = [&](std::size_t i) { return x[static_cast<std::ptrdiff_t>(i) * stride]; };
    if (n < 8) {
        double res = 0.0;
        for (std::size_t i = 0; i < n; ++i) res += at(i);
        return res;
    }
    if (n <= kBlock) return leaf_sum(n, at);
    std::size_t n2 = n / 2;
    n2 -= n2 % 8;
    return pairwise_sum(x, n2, stride) +
           pairwise_sum(x + static_cast<std::ptrdiff_t>(n2) * stride, n - n2, stride);
}

double sparse_pairwise_sum(std::size_t n, const std::uint32_t* pos, std::size_t count,
                           const double* values, std::size_t stride) {
    return SparseWalk(pos, count, values, stride).sum(n, 0);
}

}  // namespace zel
