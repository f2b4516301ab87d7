// Per-pair array helpers: the (source id, target id) grid of a pair, the gather of a
// distribution's cells on that grid, and normalisation along an axis.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace zel::align {

// A strided view of an n-dimensional float64 array; strides count elements, not bytes.
struct ArrayView {
    double* data;
    std::vector<std::size_t> shape;
    std::vector<std::int64_t> strides;
};

// Resolves an index the way array indexing does: -size <= index < size, negatives counting
// from the end. Throws zel::IndexError otherwise.
std::size_t resolve_index(std::int64_t index, std::size_t axis, std::size_t size);

// out[i, j] = array[src_ids[i], trg_ids[j]] for a 2-D `array`; `out` is row-major
// [src_ids.size(), trg_ids.size()]. All indices are checked before anything is written.
void sub_matrix(const ArrayView& array, std::span<const std::int64_t> src_ids,
                std::span<const std::int64_t> trg_ids, double* out);

// Divides every lane of `array` along `axis` by the lane's sum, writing into `out` (same
// shape; may be `array` itself). Lanes whose sum is not positive (zero, negative or NaN) are
// left as `out` holds them.
void normalize(const ArrayView& array, std::size_t axis, const ArrayView& out);

}  // namespace zel::align
