#include <nanobind/stl/string.h>

#include <cmath>

#include "bindings/records/records.hpp"
#include "bindings/records/text.hpp"
#include "common/format.hpp"
#include "common/number_text.hpp"
#include "records/formats.hpp"
#include "records/tokens.hpp"

namespace zel::bind::records {

using namespace nb::literals;

namespace {

double host_float(nb::handle any) {
    if (PyFloat_CheckExact(any.ptr())) return PyFloat_AS_DOUBLE(any.ptr());
    if (PyUnicode_Check(any.ptr())) {
        if (double v; parse_plain_double(utf8(any).view(), v)) return v;
    }
    nb::object f = nb::steal(PyNumber_Float(any.ptr()));
    if (!f.is_valid()) throw nb::python_error();
    return PyFloat_AS_DOUBLE(f.ptr());
}

nb::object number_from(double x, double margin) {
    if (std::isinf(x)) {
        PyErr_SetString(PyExc_OverflowError, "cannot convert float infinity to integer");
        throw nb::python_error();
    }
    if (std::isnan(x)) throw nb::value_error("cannot convert float NaN to integer");
    const double n = std::nearbyint(x);  // ties to even, as the host's round()
    const bool integral = margin > 0 ? std::fabs(n - x) < margin : n == x;
    if (integral) return nb::steal(PyLong_FromDouble(n));
    return nb::float_(x);
}

nb::object moses_features(std::string_view field) {
    const auto pieces = zel::text::split_runs(field);
    nb::list scores;
    for (std::string_view p : pieces) scores.append(get_number_text(p));
    if (pieces.size() < 4) throw nb::index_error("list index out of range");
    nb::dict d;
    for (std::size_t k = 0; k < 4; ++k)
        d[interned_key(zel::records::moses::kScoreNames[k])] = scores[k];
    return d;
}

nb::str str_moses_features(nb::handle features) {
    nb::list parts;
    nb::object get = features.attr("get");
    for (const char* key : zel::records::moses::kScoreNames) parts.append(nb::str(get(key, 0)));
    return nb::borrow<nb::str>(nb::str(" ").attr("join")(parts));
}

void load_moses(nb::handle self, nb::handle line, nb::handle delim) {
    if (!truthy(line)) return;
    read_moses_line(record_of(self), line, delim);
}

nb::str moses_line(nb::handle self, nb::handle s) {
    check_separator(s);
    Record& r = record_of(self);
    std::string scores;
    const bool plain = PyDict_CheckExact(r.features.ptr());
    const nb::object get = plain ? nb::object() : nb::object(r.features.attr("get"));
    for (const nb::handle name : moses_score_keys()) {
        if (!scores.empty()) scores += ' ';
        nb::object v;
        if (plain) {
            v = nb::borrow(PyDict_GetItemWithError(r.features.ptr(), name.ptr()));
            if (!v.is_valid() && PyErr_Occurred()) throw nb::python_error();
        } else {
            v = get(name, 0);
        }
        if (v.is_valid()) {
            append_str(scores, v);
        } else {
            scores += '0';
        }
    }
    const std::string points = points_text_of(r);
    const CoOccurrence& c = rounded_counts(r);
    const std::string counts =
        zel::records::counts_text(zel::records::Format::moses, c.src, c.trg, c.cooc);
    return join_line(s, r.src, r.trg, {scores, points, counts});
}

}  // namespace

// numbers.toNumber of the toolkit for one count text: plain integers and decimals natively,
// anything else through the toolkit itself.
nb::object count_number(std::string_view piece) {
    // toNumber tries int() first: a whole number text is an exact int, however large.
    if (long long whole; parse_plain_int(piece, whole)) {
        return nb::steal(PyLong_FromLongLong(whole));
    }
    const bool whole_text = piece.find_first_of(".eEiInN") == std::string_view::npos;
    if (double v; !whole_text && parse_plain_double(piece, v) && std::isfinite(v)) {
        if (std::nearbyint(v) == v) return nb::steal(PyLong_FromDouble(v));
        return nb::float_(v);
    }
    return nb::module_::import_("zel.common.numbers").attr("toNumber")(to_str(piece));
}

nb::object get_number_text(std::string_view text) {
    if (double v; parse_plain_double(text, v)) return number_from(v, 0);
    return get_number(to_str(text), 0);
}

nb::object get_number(nb::handle any, double margin) {
    return number_from(host_float(any), margin);
}

nb::list get_counts(std::string_view field) {
    nb::list out;
    for (std::string_view p : zel::text::split_runs(field)) out.append(count_number(p));
    return out;
}

void register_moses(nb::module_& m) {
    m.def(
        "getNumber",
        [](nb::handle any, nb::handle margin) {
            const double mv = PyFloat_AsDouble(margin.ptr());
            if (mv == -1.0 && PyErr_Occurred()) throw nb::python_error();
            return get_number(any, mv);
        },
        nb::arg("anyNum").none(), nb::arg("margin").none() = 0,
        "An int when the number is integral (within margin), else a float.");
    m.def(
        "getCounts", [](nb::handle f) { return get_counts(text_argument(f).view()); },
        nb::arg("field").none());
    m.def(
        "getMosesFeatures", [](nb::handle f) { return moses_features(text_argument(f).view()); },
        nb::arg("field").none(), nb::sig("def getMosesFeatures(field: str) -> dict[str, float]"));
    m.def("getStrMosesFeatures", &str_moses_features, nb::arg("dicFeatures").none());

    auto cls = nb::class_<MosesRecord, Record>(
        m, "MosesRecord", nb::dynamic_attr(), nb::is_weak_referenceable(),
        "A phrase-table line of the Moses format.", Instances<MosesRecord>::slots());
    Instances<MosesRecord>::has_dict(cls);
    cls.def(
        "__init__",
        [](nb::handle self, nb::handle line, nb::handle delim) {
            static const nb::handle delim_name = interned_key("delim");
            if (PyObject_SetAttr(self.ptr(), delim_name.ptr(), delim.ptr()) != 0) {
                throw nb::python_error();
            }
            if (overrides(self, moses_type(), "loadLine")) {
                self.attr("loadLine")(line, delim);
                return;
            }
            load_moses(self, line, delim);
        },
        nb::arg("line").none() = "", nb::arg("delim").none() = "|||", nb::sig(kLineInit));
    cls.def("loadLine", &load_moses, nb::arg("line").none(), nb::arg("delim").none() = "|||",
            nb::sig(kLoadLine), "Fill the record from a table line.");
    cls.def("to_str", &moses_line, nb::arg("s").none() = " ||| ", nb::sig(kToStr),
            "The record as a table line.");
}

}  // namespace zel::bind::records
