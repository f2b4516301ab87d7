#include "align/tables/array_ops.hpp"

#include <stdexcept>

#include "common/errors.hpp"

namespace zel::align {

std::size_t resolve_index(std::int64_t index, std::size_t axis, std::size_t size) {
    const auto n = static_cast<std::int64_t>(size);
    if (index < -n || index >= n) throw IndexError(index, axis, size);
    return static_cast<std::size_t>(index < 0 ? index + n : index);
}

void sub_matrix(const ArrayView& array, std::span<const std::int64_t> src_ids,
                std::span<const std::int64_t> trg_ids, double* out) {
    if (array.shape.size() != 2) throw std::invalid_argument("sub_matrix needs a 2-D array");
    std::vector<std::size_t> rows(src_ids.size()), cols(trg_ids.size());
    // Array indexing checks the first axis before the second; do the same so the error matches.
    for (std::size_t i = 0; i < rows.size(); ++i)
        rows[i] = resolve_index(src_ids[i], 0, array.shape[0]);
    for (std::size_t j = 0; j < cols.size(); ++j)
        cols[j] = resolve_index(trg_ids[j], 1, array.shape[1]);
    for (const std::size_t r : rows) {
        const double* row = array.data + static_cast<std::int64_t>(r) * array.strides[0];
        for (const std::size_t c : cols)
            *out++ = row[static_cast<std::int64_t>(c) * array.strides[1]];
    }
}

namespace {

// Calls f(offset_in_array, offset_in_out) for the first element of every lane along `axis`.
template <class F>
void for_each_lane(const ArrayView& a, const ArrayView& out, std::size_t axis, F&& f) {
    const std::size_t ndim = a.shape.size();
    std::vector<std::size_t> index(ndim, 0);
    for (std::size_t d = 0; d < ndim; ++d) {
        if (d != axis && a.shape[d] == 0) return;
    }
    std::int64_t off_a = 0, off_o = 0;
    for (;;) {
        f(off_a, off_o);
        // Odometer step over every dimension but `axis`, last dimension fastest.
        std::size_t d = ndim;
        while (d-- > 0) {
            if (d == axis) continue;
            if (++index[d] < a.shape[d]) {
                off_a += a.strides[d];
                off_o += out.strides[d];
                break;
            }
            off_a -= static_cast<std::int64_t>(index[d] - 1) * a.strides[d];
            off_o -= static_cast<std::int64_t>(index[d] - 1) * out.strides[d];
            index[d] = 0;
        }
        if (d == static_cast<std::size_t>(-1)) return;
    }
}

}  // namespace

void normalize(const ArrayView& array, std::size_t axis, const ArrayView& out) {
    if (out.shape != array.shape) throw std::invalid_argument("normalize: out has another shape");
    if (axis >= array.shape.size()) throw std::invalid_argument("normalize: axis out of range");
    const std::size_t n = array.shape[axis];
    const std::int64_t sa = array.strides[axis], so = out.strides[axis];
    for_each_lane(array, out, axis, [&](std::int64_t oa, std::int64_t oo) {
        const double* in = array.data + oa;
        double* o = out.data + oo;
        double sum = 0.0;
        for (std::size_t k = 0; k < n; ++k) sum += in[static_cast<std::int64_t>(k) * sa];
        if (!(sum > 0.0)) return;
        for (std::size_t k = 0; k < n; ++k) {
            o[static_cast<std::int64_t>(k) * so] = in[static_cast<std::int64_t>(k) * sa] / sum;
        }
    });
}

}  // namespace zel::align
