#include "common/pairwise_sum.hpp"

namespace zel {

double pairwise_sum(const double* x, std::size_t n, std::ptrdiff_t stride) {
    const auto at = [&](std::size_t i) { return x[static_cast<std::ptrdiff_t>(i) * stride]; };
    if (n < 8) {
        double res = 0.0;
        for (std::size_t i = 0; i < n; ++i) res += at(i);
        return res;
    }
    if (n <= detail::kPairwiseBlock) {
        double r[8];
        for (std::size_t k = 0; k < 8; ++k) r[k] = at(k);
        std::size_t i = 8;
        for (; i < n - n % 8; i += 8) {
            for (std::size_t k = 0; k < 8; ++k) r[k] += at(i + k);
        }
        double res = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
        for (; i < n; ++i) res += at(i);
        return res;
    }
    std::size_t n2 = n / 2;
    n2 -= n2 % 8;
    return pairwise_sum(x, n2, stride) +
           pairwise_sum(x + static_cast<std::ptrdiff_t>(n2) * stride, n - n2, stride);
}

}  // namespace zel
