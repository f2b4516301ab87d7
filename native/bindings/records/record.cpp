#include <nanobind/stl/string.h>

#include <string>
#include <tuple>

#include "bindings/records/records.hpp"
#include "bindings/records/text.hpp"
#include "records/tokens.hpp"

namespace zel::bind::records {

namespace {

constexpr const char* kRecordName = "zel.smt.trans_models.records.Record";
constexpr const char* kCountsName = "zel.smt.trans_models.records.CoOccurrence";

using Field = nb::object Record::*;

// The typed attribute `name` of Record, of the host type `type`: `check` rejects a wrong value
// with the exact error; `made` gives the field, made if it waits.
template <class Check>
void add_field(nb::handle cls, const char* name, const char* type, Field field, Check check,
               nb::object& (*made)(Record&) = nullptr) {
    const PropertySigs sigs(name, type);
    add_property(cls, name,
                 nb::cpp_function(
                     [field, made](Record& r) { return made ? made(filled(r)) : filled(r).*field; },
                     nb::is_method(), nb::sig(sigs.get.c_str())),
                 nb::cpp_function(
                     [field, check](Record& r, nb::handle v) {
                         check(v);
                         r.*field = nb::borrow(v);
                     },
                     nb::is_method(), nb::arg("value").none(), nb::sig(sigs.set.c_str())),
                 nb::cpp_function([field](Record& r) { r.*field = nb::none(); }, nb::is_method()));
}

auto of_type(PyTypeObject* type, const char* expected) {
    return [type, expected](nb::handle v) {
        if (!v.is_none() && !PyObject_TypeCheck(v.ptr(), type)) expected_type(expected, v);
    };
}

void check_counts(nb::handle v) {
    if (!v.is_none() && !PyObject_IsInstance(v.ptr(), counts_type().ptr()))
        cannot_convert(v, kCountsName);
}

[[noreturn]] void unpack_error(zel::records::PointError e, std::string_view bad) {
    if (e == zel::records::PointError::too_few)
        throw nb::value_error("need more than 1 value to unpack");
    if (e == zel::records::PointError::too_many)
        throw nb::value_error("too many values to unpack (expected 2)");
    nb::object part = nb::repr(to_str(bad));
    PyErr_Format(PyExc_ValueError, "invalid literal for int() with base 10: %U", part.ptr());
    throw nb::python_error();
}

// The two ints of a point "s-t". Plain decimal parts are read natively; any other part
// ('1_0', '１', a number beyond 64 bits) goes to the host's int(), which decides as it would.
std::pair<nb::object, nb::object> point_of(nb::handle item) {
    zel::records::AlignPoint p;
    std::string_view bad;
    const Utf8 text = split_text(item);
    const auto e = zel::records::parse_point(text, p, bad);
    if (e == zel::records::PointError::none) return {nb::int_(p.s), nb::int_(p.t)};
    if (e != zel::records::PointError::not_integer) unpack_error(e, bad);
    nb::list values;
    nb::object to_int = nb::module_::import_("builtins").attr("int");
    for (nb::handle part : item.attr("split")("-")) values.append(to_int(part));
    if (values.size() != 2) {
        unpack_error(values.size() < 2 ? zel::records::PointError::too_few
                                       : zel::records::PointError::too_many,
                     bad);
    }
    return {values[0], values[1]};
}

nb::dict align_map(nb::handle aligns, bool reverse) {
    nb::dict map;
    for (nb::handle item : nb::iter(aligns)) {
        const auto [s, t] = point_of(item);
        nb::object key = reverse ? t : s;
        nb::object value = reverse ? s : t;
        if (!map.contains(key)) map[key] = nb::list();
        nb::list(map[key]).append(value);
    }
    return map;
}

nb::object call(nb::handle self, const char* name) { return self.attr(name)(); }

// getSymbols/getTerms of the base: a str splits at every blank, anything else comes back.
nb::object blank_words(nb::handle phrase) {
    if (!PyUnicode_Check(phrase.ptr())) return nb::borrow(phrase);
    nb::list out;
    const Utf8 text(phrase);
    for (std::string_view w : zel::text::split_blank(text)) out.append(to_str(w));
    return out;
}

}  // namespace

Utf8 text_argument(nb::handle value) {
    if (!PyUnicode_Check(value.ptr())) expected_type("str", value);
    return utf8(value);
}

void check_separator(nb::handle s) {
    if (!s.is_none() && !PyUnicode_Check(s.ptr())) expected_type("str", s);
}

nb::str join_fields(nb::handle s, nb::handle parts) {
    if (s.is_none()) {
        throw nb::type_error("descriptor 'join' requires a 'str' object but received a 'NoneType'");
    }
    return nb::steal<nb::str>(PyUnicode_Join(s.ptr(), parts.ptr()));
}

[[noreturn]] void incorrect_argument(const char* name, const char* expected, nb::handle value) {
    PyErr_Format(PyExc_TypeError,
                 "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", name,
                 expected, Py_TYPE(value.ptr())->tp_name);
    throw nb::python_error();
}

[[noreturn]] void cannot_convert(nb::handle value, const char* target) {
    PyErr_Format(PyExc_TypeError, "%.1sCannot convert %.200s to %.200s", "",
                 Py_TYPE(value.ptr())->tp_name, target);
    throw nb::python_error();
}

void add_property(nb::handle cls, const char* name, nb::object get, nb::object set,
                  nb::object del) {
    nb::setattr(cls, name, nb::module_::import_("builtins").attr("property")(get, set, del));
}

Record& filled(Record& r) {
    if (!r.src.is_valid()) r.src = to_str("");
    if (!r.trg.is_valid()) r.trg = to_str("");
    if (!r.features.is_valid()) r.features = nb::dict();
    if (!r.aligns.is_valid() && !r.points_line.is_valid()) r.aligns = nb::set();
    if (!r.data.is_valid()) r.data = nb::none();
    return r;
}

namespace {

// The points field still waiting in its line: `use(points)` while the line's text is held.
template <class Use>
auto with_waiting_points(const Record& r, Use&& use) {
    const Utf8 line(r.points_line);
    return use(line.view().substr(r.points_begin, r.points_size));
}

}  // namespace

nb::object& aligns_of(Record& r) {
    if (!r.aligns.is_valid()) {
        r.aligns = r.points_line.is_valid()
                       ? nb::object(with_waiting_points(
                             r, [](std::string_view points) { return get_align_set(points); }))
                       : nb::object(nb::set());
    }
    r.points_line.reset();
    return r.aligns;
}

nb::object& counts_object(Record& r) {
    if (!r.counts.is_valid()) {
        const CoOccurrence& c = r.waiting_counts;
        r.counts = make_counts(c.src, c.trg, c.cooc);
    }
    return r.counts;
}

const CoOccurrence& rounded_counts(Record& r) {
    if (!r.counts.is_valid()) {
        round_native(r.waiting_counts, nb::int_(kRoundDigits));
        return r.waiting_counts;
    }
    if (r.counts.is_none()) throw nb::type_error("the record has no counts (None) to print");
    round_counts(r.counts);
    return counts_of(r.counts);
}

std::string points_text_of(Record& r) {
    if (r.aligns.is_valid() || !r.points_line.is_valid()) return points_text(aligns_of(r));
    return with_waiting_points(r, [](std::string_view points) {
        return zel::records::sorted_points(zel::text::split_runs(points));
    });
}

nb::set get_rev_align_set(nb::handle aligns) {
    nb::set out;
    for (nb::handle item : nb::iter(aligns)) {
        const auto [s, t] = point_of(item);
        out.add(nb::str("{}-{}").format(t, s));
    }
    return out;
}

void register_record(nb::module_& m) {
    m.def(
        "getAlignSet",
        [](nb::handle field) {
            if (!PyUnicode_Check(field.ptr()))
                return nb::object(nb::set(field.attr("strip")().attr("split")()));
            return nb::object(get_align_set(utf8(field).view()));
        },
        nb::arg("strField").none(), nb::sig("def getAlignSet(strField: str) -> set[str]"),
        "The set of alignment points of a table field.");
    m.def(
        "getAlignMap",
        [](nb::handle aligns, nb::handle reverse) { return align_map(aligns, truthy(reverse)); },
        nb::arg("aligns").none(), nb::arg("reverse").none() = false,
        "Source position -> target positions (target -> source with reverse).");
    m.def("getRevAlignSet", &get_rev_align_set, nb::arg("aligns").none(), "The points i-j as j-i.");

    auto cls =
        nb::class_<Record>(m, "Record", "One translation rule: sides, features, counts, alignment.",
                           Instances<Record>::slots());
    // The defaults are set when the record is allocated; this does nothing, so derived classes
    // may call it, or not, at any time.
    cls.def(
        "__init__", [](nb::handle, nb::args, nb::kwargs) {},
        nb::sig("def __init__(self, *args: typing.Any, **kwargs: typing.Any) -> None"));
    add_field(cls, "src", "str | None", &Record::src, of_type(&PyUnicode_Type, "str"));
    add_field(cls, "trg", "str | None", &Record::trg, of_type(&PyUnicode_Type, "str"));
    add_field(cls, "features", "dict[str, float] | None", &Record::features,
              of_type(&PyDict_Type, "dict"));
    add_field(cls, "counts", "CoOccurrence | None", &Record::counts, check_counts, &counts_object);
    add_field(cls, "aligns", "set[str] | None", &Record::aligns, of_type(&PySet_Type, "set"),
              &aligns_of);
    add_field(cls, "data", "typing.Any", &Record::data, [](nb::handle) {});

    cls.def_static(
        "getSymbols", [](nb::handle phrase, nb::handle) { return blank_words(phrase); },
        nb::arg("phrase").none(), nb::arg("hiero").none() = false,
        nb::sig("def getSymbols(phrase: str | collections.abc.Sequence[str], "
                "hiero: bool = False) -> list[str]"));
    cls.def_static(
        "getTerms", &blank_words, nb::arg("phrase").none(),
        nb::sig("def getTerms(phrase: str | collections.abc.Sequence[str]) -> list[str]"));
    // The four word lists of a side, as methods and as properties that call them (so a
    // subclass's method serves both).
    for (auto [method, property, getter, side] :
         {std::tuple{"getSrcSymbols", "src_symbols", "getSymbols", "src"},
          std::tuple{"getSrcTerms", "srcTerms", "getTerms", "src"},
          std::tuple{"getTrgSymbols", "trgSymbols", "getSymbols", "trg"},
          std::tuple{"getTrgTerms", "trgTerms", "getTerms", "trg"}}) {
        const std::string sig = std::string("def ") + method + "(self) -> list[str]";
        cls.def(
            method, [getter, side](nb::handle self) { return self.attr(getter)(self.attr(side)); },
            nb::sig(sig.c_str()));
        cls.def_prop_ro(
            property, [method](nb::handle self) { return call(self, method); },
            nb::for_getter(nb::sig(PropertySigs(property, "list[str]").get.c_str())));
    }
    cls.def("fixOrder", [](nb::handle) { return false; });
    for (auto [method, property, reverse] : {std::tuple{"getAlignMap", "alignMap", false},
                                             std::tuple{"getAlignMapRev", "alignMapRev", true}}) {
        const std::string sig = std::string("def ") + method + "(self) -> dict[int, list[int]]";
        cls.def(
            method,
            [reverse](nb::handle self) {
                return module().attr("getAlignMap")(self.attr("aligns"), reverse);
            },
            nb::sig(sig.c_str()));
        cls.def_prop_ro(
            property, [method](nb::handle self) { return call(self, method); },
            nb::for_getter(nb::sig(PropertySigs(property, "dict[int, list[int]]").get.c_str())));
    }
    cls.def(
        "getReversed",
        [](nb::handle self) {
            nb::object type = nb::borrow(reinterpret_cast<PyObject*>(Py_TYPE(self.ptr())));
            return reversed_record(self, type(), [&] { return self.attr("srcTerms"); });
        },
        nb::sig("def getReversed(self) -> typing.Self"),
        "A new record of the same class with source and target swapped.");
    refuse_pickling(cls);
}

nb::object reversed_record(nb::handle self, nb::object rec,
                           const std::function<nb::object()>& source_terms) {
    if (!PyObject_IsInstance(rec.ptr(), record_type().ptr())) cannot_convert(rec, kRecordName);
    Record& r = record_of(self);
    rec.attr("src") = r.trg;
    rec.attr("trg") = r.src;
    const nb::object& counts = counts_object(r);
    if (counts.is_none()) cannot_convert(counts, kCountsName);
    rec.attr("counts") = counts.attr("getReversed")();
    rec.attr("aligns") = get_rev_align_set(aligns_of(r));
    if (r.features.is_none()) throw nb::type_error("'NoneType' object is not iterable");
    nb::dict f;
    nb::dict old = nb::borrow<nb::dict>(r.features);
    for (auto [from, to] :
         {std::pair{"egfp", "fgep"}, std::pair{"egfl", "fgel"}, std::pair{"fgep", "egfp"},
          std::pair{"fgel", "egfl"}, std::pair{"p", "p"}}) {
        if (old.contains(from)) f[to] = old[from];
    }
    f["w"] = nb::len(source_terms());
    rec.attr("features") = f;
    return rec;
}

}  // namespace zel::bind::records
