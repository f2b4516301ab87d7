#include <nanobind/stl/string.h>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "bindings/records/records.hpp"
#include "common/errors.hpp"
#include "records/formats.hpp"

namespace zel::bind::records {

using namespace nb::literals;

namespace {

constexpr const char* kCountsName = "zel.smt.trans_models.records.CoOccurrence";

float as_float32(nb::handle value) {
    const double v = PyFloat_AsDouble(value.ptr());
    if (v == -1.0 && PyErr_Occurred()) throw nb::python_error();
    return static_cast<float>(v);
}

double quotient(float numerator, float denominator) {
    if (denominator == 0.0f) throw ZeroDivision("float division");
    return static_cast<double>(numerator / denominator);
}

// The host's round(value, digits) for the digits that table counts use; others ask the host.
double round_digits(double value, nb::handle digits) {
    if (PyLong_Check(digits.ptr())) {
        const long d = PyLong_AsLong(digits.ptr());
        if (d >= 0 && d <= 17) return zel::records::round_places(value, static_cast<int>(d));
    }
    return nb::cast<double>(nb::module_::import_("builtins").attr("round")(value, digits));
}

}  // namespace

double round_places(double value, int digits) {
    if (digits >= 0 && digits <= 17) return zel::records::round_places(value, digits);
    return round_digits(value, nb::int_(digits));
}

void round_native(CoOccurrence& c, nb::handle digits) {
    c.src = static_cast<float>(round_digits(c.src, digits));
    c.trg = static_cast<float>(round_digits(c.trg, digits));
    c.cooc = static_cast<float>(round_digits(c.cooc, digits));
}

namespace {

void set_counts_native(CoOccurrence& c, nb::handle src, nb::handle trg, nb::handle cooc) {
    if (truthy(src)) c.src = as_float32(src);
    if (truthy(trg)) c.trg = as_float32(trg);
    if (truthy(cooc)) c.cooc = as_float32(cooc);
}

nb::object call_method(nb::handle self, const char* name) { return self.attr(name)(); }

}  // namespace

CoOccurrence& counts_of(nb::handle counts) {
    CoOccurrence* c = nullptr;
    if (!nb::try_cast(counts, c) || c == nullptr) cannot_convert(counts, kCountsName);
    return *c;
}

nb::object make_counts(float src, float trg, float cooc) {
    return nb::cast(CoOccurrence{src, trg, cooc}, nb::rv_policy::move);
}

void set_counts(nb::handle counts, nb::handle src, nb::handle trg, nb::handle cooc) {
    if (!overrides(counts, counts_type(), "setCounts")) {
        set_counts_native(counts_of(counts), src, trg, cooc);
    } else {
        counts.attr("setCounts")("src"_a = src, "trg"_a = trg, "cooc"_a = cooc);
    }
}

void round_counts(nb::handle counts) {
    if (!overrides(counts, counts_type(), "round")) {
        round_native(counts_of(counts), nb::int_(kRoundDigits));
    } else {
        counts.attr("round")();
    }
}

void register_counts(nb::module_& m) {
    auto cls = nb::class_<CoOccurrence>(
        m, "CoOccurrence", "Source, target and joint counts of a rule (32-bit floats).",
        Instances<CoOccurrence>::slots());
    cls.def(
        "__init__",
        [](nb::handle self, nb::handle src, nb::handle trg, nb::handle cooc) {
            const float s = as_float32(src), t = as_float32(trg), c = as_float32(cooc);
            native<CoOccurrence>(self) = CoOccurrence{s, t, c};
        },
        nb::arg("src").none() = 0, nb::arg("trg").none() = 0, nb::arg("cooc").none() = 0,
        nb::sig("def __init__(self, src: float = 0, trg: float = 0, cooc: float = 0) -> None"));
    for (auto [name, field] :
         {std::pair{"src", &CoOccurrence::src}, std::pair{"trg", &CoOccurrence::trg},
          std::pair{"cooc", &CoOccurrence::cooc}}) {
        const PropertySigs sigs(name, "float");
        add_property(
            cls, name,
            nb::cpp_function(
                [field](const CoOccurrence& c) { return static_cast<double>(c.*field); },
                nb::is_method(), nb::sig(sigs.get.c_str())),
            nb::cpp_function([field](CoOccurrence& c, nb::handle v) { c.*field = as_float32(v); },
                             nb::is_method(), nb::arg("value").none(), nb::sig(sigs.set.c_str())),
            nb::cpp_function([](nb::handle) -> void {
                PyErr_SetString(PyExc_NotImplementedError, "__del__");
                throw nb::python_error();
            }));
    }
    cls.def(
        "calcEGFP",
        [](nb::handle self) {
            const CoOccurrence& c = native<CoOccurrence>(self);
            return quotient(c.cooc, c.src);
        },
        "p(e|f) = cooc / src.");
    cls.def(
        "calcFGEP",
        [](nb::handle self) {
            const CoOccurrence& c = native<CoOccurrence>(self);
            return quotient(c.cooc, c.trg);
        },
        "p(f|e) = cooc / trg.");
    cls.def(
        "getReversed",
        [](nb::handle self) {
            const CoOccurrence& c = native<CoOccurrence>(self);
            return make_counts(c.trg, c.src, c.cooc);
        },
        nb::sig("def getReversed(self) -> CoOccurrence"),
        "New counts with source and target exchanged.");
    cls.def(
        "round",
        [](nb::handle self, nb::handle digits) {
            round_native(native<CoOccurrence>(self), digits);
        },
        nb::arg("digits").none() = kRoundDigits, "Round the three counts in place.");
    cls.def(
        "setCounts",
        [](nb::handle self, nb::handle src, nb::handle trg, nb::handle cooc) {
            set_counts_native(native<CoOccurrence>(self), src, trg, cooc);
        },
        nb::arg("src").none() = nb::none(), nb::arg("trg").none() = nb::none(),
        nb::arg("cooc").none() = nb::none(),
        "Set the given counts; a false value (None, 0) leaves its count as it is.");
    cls.def(
        "to_str",
        [](nb::handle self, nb::handle margin) {
            const CoOccurrence& c = counts_of(self);
            nb::handle type = reinterpret_cast<PyObject*>(Py_TYPE(self.ptr()));
            nb::object to_number = nb::module_::import_("zel.common.numbers").attr("toNumber");
            const double m32 = static_cast<double>(as_float32(margin));
            const auto text = [&](float v) {
                nb::object n = to_number(static_cast<double>(v), m32);
                return PyUnicode_Check(n.ptr()) ? n : nb::object(nb::str(n));
            };
            nb::object module_name = type.attr("__module__"), name = type.attr("__name__");
            nb::str out = nb::str("{}.{}(src = {}, trg = {}, cooc = {})")
                              .format(module_name, name, text(c.src), text(c.trg), text(c.cooc));
            return out;
        },
        nb::arg("margin").none() = 0);
    cls.def(
        "__str__", [](nb::handle self) { return call_method(self, "to_str"); },
        nb::sig("def __str__(self) -> str"));
    cls.def_prop_ro(
        "egfp", [](nb::handle self) { return call_method(self, "calcEGFP"); },
        nb::for_getter(nb::sig("def egfp(self) -> float")));
    cls.def_prop_ro(
        "fgep", [](nb::handle self) { return call_method(self, "calcFGEP"); },
        nb::for_getter(nb::sig("def fgep(self) -> float")));
    refuse_pickling(cls);
}

}  // namespace zel::bind::records
