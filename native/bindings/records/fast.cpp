#include "bindings/records/fast.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <vector>

#include "common/format.hpp"
#include "common/number_text.hpp"
#include "common/utf8.hpp"
#include "records/tokens.hpp"

namespace zel::bind::records {

bool append_number_text(std::string& out, nb::handle value) {
    if (PyFloat_CheckExact(value.ptr())) {
        fmt::append_float_repr(out, PyFloat_AS_DOUBLE(value.ptr()));
        return true;
    }
    if (PyLong_CheckExact(value.ptr())) {
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
        if (overflow != 0) return false;
        out += std::to_string(v);
        return true;
    }
    return false;
}

bool append_sorted_points(std::string& out, nb::handle aligns) {
    if (!PySet_CheckExact(aligns.ptr())) return false;
    std::vector<std::string_view> points;
    points.reserve(static_cast<std::size_t>(PySet_GET_SIZE(aligns.ptr())));
    for (nb::handle p : aligns) {
        if (!PyUnicode_CheckExact(p.ptr())) return false;
        points.push_back(utf8(p));  // views into the str objects, which the set keeps alive
    }
    // UTF-8 byte order is code point order: the order the host sorts str in.
    std::sort(points.begin(), points.end());
    for (std::size_t i = 0; i < points.size(); ++i) {
        if (i > 0) out += ' ';
        out += points[i];
    }
    return true;
}

nb::object new_str(std::string_view text, bool intern) {
    PyObject* s = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict");
    if (!s) throw nb::python_error();
    if (intern) PyUnicode_InternInPlace(&s);
    return nb::steal(s);
}

// One shared, interned key object per feature name. Never released: they may outlive the
// interpreter's finalisation, which static host objects must not do.
nb::handle interned_key(const char* text) {
    static auto* keys = new std::vector<std::pair<std::string, PyObject*>>();
    for (const auto& [name, object] : *keys) {
        if (name == text) return object;
    }
    PyObject* k = PyUnicode_FromString(text);
    if (!k) throw nb::python_error();
    PyUnicode_InternInPlace(&k);
    keys->emplace_back(text, k);
    return k;
}

bool count_value(std::string_view piece, double& value) {
    long long whole = 0;
    if (parse_plain_int(piece, whole)) {
        value = static_cast<double>(whole);
        return true;
    }
    return parse_plain_double(piece, value) && std::isfinite(value);
}

}  // namespace zel::bind::records

namespace zel::bind::records {

namespace {

namespace core = zel::records;

void round_counts6(CoOccurrence& c) {
    for (float* v : {&c.src, &c.trg, &c.cooc}) *v = static_cast<float>(round_places(*v, 6));
}

// The record and separator a fast printer handles: text sides, a plain dict and counts.
bool printable(const Record& r, nb::handle s) {
    return PyUnicode_CheckExact(s.ptr()) && PyUnicode_CheckExact(r.src.ptr()) &&
           PyUnicode_CheckExact(r.trg.ptr()) && PyDict_CheckExact(r.features.ptr()) &&
           !overrides(r.counts, counts_type(), "round");
}

}  // namespace

bool fast_moses_line(Record& r, nb::handle s, nb::object& line) {
    if (!printable(r, s)) return false;
    const std::string_view sep = utf8(s);
    std::string out(utf8(r.src));
    out += sep;
    out += utf8(r.trg);
    out += sep;
    const char* names[4] = {"fgep", "fgel", "egfp", "egfl"};
    for (int k = 0; k < 4; ++k) {
        if (k > 0) out += ' ';
        PyObject* v = PyDict_GetItemWithError(r.features.ptr(), interned_key(names[k]).ptr());
        if (!v) {
            if (PyErr_Occurred()) throw nb::python_error();
            out += '0';
        } else if (!append_number_text(out, v)) {
            return false;
        }
    }
    out += sep;
    if (!append_sorted_points(out, r.aligns)) return false;
    CoOccurrence& c = counts_of(r.counts);
    round_counts6(c);
    out += sep;
    fmt::append_float_repr(out, static_cast<double>(c.trg));
    out += ' ';
    fmt::append_float_repr(out, static_cast<double>(c.src));
    out += ' ';
    fmt::append_float_repr(out, static_cast<double>(c.cooc));
    line = new_str(out, false);
    return true;
}

bool fast_travatar_line(Record& r, nb::handle s, nb::object& line) {
    if (!printable(r, s)) return false;
    std::vector<std::string> items;
    for (auto [k, v] : nb::borrow<nb::dict>(r.features)) {
        if (!PyUnicode_CheckExact(k.ptr())) return false;
        const std::string_view name = utf8(k);
        std::string item(name);
        item += '=';
        if (name.find("egf") != std::string_view::npos ||
            name.find("fge") != std::string_view::npos) {
            double x;
            if (PyFloat_CheckExact(v.ptr())) {
                x = PyFloat_AS_DOUBLE(v.ptr());
            } else if (PyLong_CheckExact(v.ptr())) {
                x = PyLong_AsDouble(v.ptr());
                if (x == -1.0 && PyErr_Occurred()) {
                    PyErr_Clear();
                    return false;
                }
            } else {
                return false;
            }
            if (!(x > 0) || !std::isfinite(x)) return false;  // the warning path
            fmt::append_float_repr(item, round_places(std::log(x), 6));
        } else if (!append_number_text(item, v)) {
            return false;
        }
        items.push_back(std::move(item));
    }
    std::sort(items.begin(), items.end());
    std::string points;
    if (!append_sorted_points(points, r.aligns)) return false;
    const std::string_view sep = utf8(s);
    std::string out(utf8(r.src));
    out += sep;
    out += utf8(r.trg);
    out += sep;
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (i > 0) out += ' ';
        out += items[i];
    }
    CoOccurrence& c = counts_of(r.counts);
    round_counts6(c);
    out += sep;
    if (c.cooc > 0) {
        fmt::append_float_repr(out, round_places(c.cooc, 6));
        out += ' ';
        fmt::append_float_repr(out, round_places(c.src, 6));
        out += ' ';
        fmt::append_float_repr(out, round_places(c.trg, 6));
    }
    out += sep;
    out += points;
    line = new_str(out, false);
    return true;
}

}  // namespace zel::bind::records
