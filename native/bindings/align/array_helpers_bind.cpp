// The native array helpers. They are exported to the sibling modules through the C entry point
// table, deliberately not as host-callable functions of the module.
#include <nanobind/stl/vector.h>

#include <algorithm>
#include <string>
#include <type_traits>
#include <vector>

#include "align/tables/array_ops.hpp"
#include "common/format.hpp"

#include <nanobind/stl/string.h>
#include "bindings/align/emalign.hpp"
#include "bindings/capi.hpp"
#include "bindings/support.hpp"

namespace nb = nanobind;

namespace zel::bind {

namespace {

using Float64In = nb::ndarray<const double, nb::device::cpu>;
using Float64Out = nb::ndarray<double, nb::device::cpu>;

nb::module_ numpy() { return nb::module_::import_("numpy"); }

std::vector<std::int64_t> ids_of(nb::handle ids) {
    return nb::cast<std::vector<std::int64_t>>(ids);
}

template <class Array>
align::ArrayView view_of(const Array& a) {
    align::ArrayView v{const_cast<double*>(a.data()), {}, {}};
    for (std::size_t d = 0; d < a.ndim(); ++d) {
        v.shape.push_back(a.shape(d));
        v.strides.push_back(a.stride(d));
    }
    return v;
}

template <class Array>
Array float64_array(nb::handle h, const char* what) {
    Array a;
    if (!nb::try_cast(h, a, false)) {
        const char* kind = Array::ReadOnly ? "" : "writable ";
        throw nb::type_error(
            (std::string(what) + " must be a " + kind + "64-bit float array").c_str());
    }
    return a;
}

nb::object grid_indices(nb::handle src, nb::handle trg) {
    std::vector<std::int64_t> a = ids_of(src), b = ids_of(trg);
    const std::size_t ns = a.size(), nt = b.size();
    return nb::make_tuple(to_numpy(std::move(a), {ns, 1}), to_numpy(std::move(b), {1, nt}));
}

nb::object sub_matrix(nb::handle array, nb::handle src, nb::handle trg) {
    auto a = float64_array<Float64In>(array, "sub_matrix: array");
    if (a.ndim() != 2) throw nb::type_error("sub_matrix: array must be two-dimensional");
    const std::vector<std::int64_t> s = ids_of(src), t = ids_of(trg);
    std::vector<double> out(s.size() * t.size());
    align::sub_matrix(view_of(a), s, t, out.data());
    return nb::cast(to_numpy(std::move(out), {s.size(), t.size()}));
}

nb::object normalize(nb::handle array, nb::handle axis_arg, nb::handle out_arg) {
    auto a = float64_array<Float64In>(array, "normalize: array");
    auto out = float64_array<Float64Out>(out_arg, "normalize: out");
    if (out.ndim() != a.ndim() ||
        !std::equal(out.shape_ptr(), out.shape_ptr() + out.ndim(), a.shape_ptr())) {
        throw nb::value_error("normalize: out must have the shape of array");
    }
    const auto ndim = static_cast<std::int64_t>(a.ndim());
    std::int64_t axis = nb::cast<std::int64_t>(axis_arg);
    if (axis < -ndim || axis >= ndim) {
        nb::object axis_error = numpy().attr("exceptions").attr("AxisError");
        PyErr_SetObject(axis_error.ptr(), axis_error(axis, ndim).ptr());
        throw nb::python_error();
    }
    if (axis < 0) axis += ndim;
    align::ArrayView in = view_of(a);
    nb::object snapshot;
    const bool same_view = a.data() == out.data() && in.strides == view_of(out).strides;
    if (!same_view && truthy(numpy().attr("shares_memory")(array, out_arg))) {
        // Views that overlap other than cell for cell: read from a copy, as whole-array
        // arithmetic would, so no lane reads a value another lane already wrote.
        snapshot = numpy().attr("array")(array);
        in = view_of(float64_array<Float64In>(snapshot, "normalize: array"));
    }
    align::normalize(in, static_cast<std::size_t>(axis), view_of(out));
    return nb::borrow(out_arg);
}

// The host's repr() of every value, as the distribution and score files write floats.
nb::list float_reprs(nb::handle values) {
    auto a = float64_array<Float64In>(values, "float_reprs: values");
    if (a.ndim() != 1) throw nb::type_error("float_reprs: values must be one-dimensional");
    nb::list out;
    for (std::size_t i = 0; i < a.shape(0); ++i)
        out.append(fmt::float_repr(a.data()[static_cast<std::int64_t>(i) * a.stride(0)]));
    return out;
}

}  // namespace

void register_array_helpers(nb::module_&, nb::dict capi) {
    capi["grid_indices"] =
        make_capi_entry<&grid_indices>("grid_indices", "zel.smt.align.emalign.grid_indices");
    capi["sub_matrix"] =
        make_capi_entry<&sub_matrix>("sub_matrix", "zel.smt.align.emalign.sub_matrix");
    capi["float_reprs"] =
        make_capi_entry<&float_reprs>("float_reprs", "zel.smt.align.emalign.float_reprs");
    capi["normalize"] = make_capi_entry<&normalize>("normalize", "zel.smt.align.emalign.normalize");
}

}  // namespace zel::bind
