// A sort on the threads: parts sorted at once, then merged pairwise. The order is the elements'
// own (the comparison decides every place), so the thread count never changes the result.
#pragma once

#include <algorithm>
#include <cstddef>
#include <vector>

#include "common/parallel.hpp"

namespace zel::extract {

template <class It, class Less>
void parallel_sort(It first, It last, Less less) {
    const auto n = static_cast<std::size_t>(last - first);
    const std::size_t parts = std::max<std::size_t>(1, std::min<std::size_t>(thread_count(), 8));
    std::vector<std::size_t> cut(parts + 1);
    for (std::size_t k = 0; k <= parts; ++k) cut[k] = n * k / parts;
    const auto at = [&](std::size_t k) { return first + static_cast<std::ptrdiff_t>(k); };
    parallel_for(parts, parts,
                 [&](std::size_t k, std::size_t) { std::sort(at(cut[k]), at(cut[k + 1]), less); });
    for (std::size_t width = 1; width < parts; width *= 2) {
        parallel_for((parts + 2 * width - 1) / (2 * width), parts, [&](std::size_t k, std::size_t) {
            const std::size_t lo = 2 * width * k, mid = std::min(lo + width, parts),
                              hi = std::min(lo + 2 * width, parts);
            if (mid < hi) std::inplace_merge(at(cut[lo]), at(cut[mid]), at(cut[hi]), less);
        });
    }
}

}  // namespace zel::extract
