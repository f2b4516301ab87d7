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

bool has_non_ascii(std::string_view s) {
    return std::any_of(s.begin(), s.end(),
                       [](char c) { return static_cast<unsigned char>(c) >= 0x80; });
}

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

// getNumber's result for a finite value: int when integral, else float.
nb::object number_object(double x) {
    const double n = std::nearbyint(x);
    if (n == x) return nb::steal(PyLong_FromDouble(n));
    return nb::float_(x);
}

bool number_field(std::string_view text, double& value) {
    return parse_plain_double(text, value) && std::isfinite(value);
}

void round_counts6(CoOccurrence& c) {
    for (float* v : {&c.src, &c.trg, &c.cooc}) *v = static_cast<float>(round_places(*v, 6));
}

void store_counts(Record& r, const double* values, const int order[3]) {
    // order[k]: index in `values` of src, trg and cooc.
    if (!overrides(r.counts, counts_type(), "setCounts")) {
        CoOccurrence& c = counts_of(r.counts);
        float* fields[3] = {&c.src, &c.trg, &c.cooc};
        for (int k = 0; k < 3; ++k) {
            const double v = values[order[k]];
            if (v != 0.0) *fields[k] = static_cast<float>(v);
        }
        return;
    }
    nb::object n[3];
    for (int k = 0; k < 3; ++k) {
        const double v = values[order[k]];
        n[k] = std::nearbyint(v) == v ? nb::steal(PyLong_FromDouble(v)) : nb::object(nb::float_(v));
    }
    set_counts(r.counts, n[0], n[1], n[2]);
}

// The str of an alignment point: the short, common ones ("0-0" .. "31-31") are shared objects
// made once, as interned strings are; others are new.
nb::object point_str(std::string_view p) {
    constexpr int kShared = 32;
    static auto* shared = new PyObject*[kShared * kShared]();  // never released, see interned_key
    int i = 0, j = 0;
    const auto dash = p.find('-');
    const auto small = [](std::string_view digits, int& v) {
        if (digits.empty() || digits.size() > 2 || (digits.size() == 2 && digits[0] == '0'))
            return false;
        v = 0;
        for (const char c : digits) {
            if (c < '0' || c > '9') return false;
            v = v * 10 + (c - '0');
        }
        return v < kShared;
    };
    if (dash == std::string_view::npos || !small(p.substr(0, dash), i) ||
        !small(p.substr(dash + 1), j)) {
        return new_str(p, false);
    }
    PyObject*& slot = shared[i * kShared + j];
    if (!slot) slot = new_str(p, true).release().ptr();
    return nb::borrow(slot);
}

// The interned str of a rule side. Tables list the lines of one source phrase together, so
// the side of the previous line is kept (one per `slot`) and reused when the text repeats,
// which spares decoding and the interned-table lookup.
nb::object interned_side(std::string_view text, int slot) {
    static PyObject* last[2] = {nullptr, nullptr};  // strong references, replaced, never freed
    PyObject*& kept = last[slot];
    if (kept && utf8(kept) == text) return nb::borrow(kept);
    nb::object s = new_str(text, true);
    Py_XDECREF(kept);
    kept = s.inc_ref().ptr();
    return s;
}

// The record and separator a fast printer handles: text sides, a plain dict and counts.
bool printable(const Record& r, nb::handle s) {
    return PyUnicode_CheckExact(s.ptr()) && PyUnicode_CheckExact(r.src.ptr()) &&
           PyUnicode_CheckExact(r.trg.ptr()) && PyDict_CheckExact(r.features.ptr()) &&
           !overrides(r.counts, counts_type(), "round");
}

// The five or more fields of a line the fast readers handle, the two sides already stripped:
// text line and separator, ASCII number and point fields, and counts to store into (a new
// record's are made here: the readers fill every other field themselves).
bool plain_fields(Record& r, nb::handle line, nb::handle delim,
                  std::vector<std::string_view>& fields) {
    if (!r.counts.is_valid()) r.counts = make_counts(0, 0, 0);
    if (!PyUnicode_CheckExact(line.ptr()) || !PyUnicode_CheckExact(delim.ptr()) ||
        r.counts.is_none()) {
        return false;
    }
    const std::string_view d = utf8(delim);
    std::string_view text = utf8(line);
    if (d.empty()) return false;
    text = utf8::strip_space(text);
    core::split_at(text, d, fields);
    if (fields.size() < 5) return false;
    fields[0] = utf8::strip_space(fields[0]);
    fields[1] = utf8::strip_space(fields[1]);
    return std::none_of(fields.begin() + 2, fields.begin() + 5, has_non_ascii);
}

}  // namespace

bool fast_load_moses(Record& r, nb::handle line, nb::handle delim) {
    // Reused from line to line: a table of a million lines would otherwise allocate these four
    // million times. Nothing here calls back into host code that could come here again.
    static std::vector<std::string_view> fields, scores, points, counts;
    if (!plain_fields(r, line, delim, fields)) return false;
    const std::string_view src = fields[0], trg = fields[1];
    core::split_runs(fields[2], scores);
    core::split_runs(fields[3], points);
    core::split_runs(fields[4], counts);
    if (scores.size() < 4 || counts.size() < 3) return false;
    double score[4], count[3];
    for (int k = 0; k < 4; ++k) {
        if (!number_field(scores[static_cast<std::size_t>(k)], score[k])) return false;
    }
    for (std::size_t k = 4; k < scores.size(); ++k) {  // later scores are still converted
        double ignored;
        if (!number_field(scores[k], ignored)) return false;
    }
    for (int k = 0; k < 3; ++k) {
        if (!count_value(counts[static_cast<std::size_t>(k)], count[k])) return false;
    }
    for (std::size_t k = 3; k < counts.size(); ++k) {
        double ignored;
        if (!count_value(counts[k], ignored)) return false;
    }
    r.src = interned_side(src, 0);
    r.trg = interned_side(trg, 1);
    static const nb::handle names[4] = {interned_key("fgep"), interned_key("fgel"),
                                        interned_key("egfp"), interned_key("egfl")};
    nb::dict features;
    for (int k = 0; k < 4; ++k) {
        if (PyDict_SetItem(features.ptr(), names[k].ptr(), number_object(score[k]).ptr()) != 0) {
            throw nb::python_error();
        }
    }
    r.features = features;
    nb::set aligns;
    for (std::string_view p : points) aligns.add(point_str(p));
    r.aligns = aligns;
    const int order[3] = {1, 0, 2};  // src = second, trg = first, cooc = third
    store_counts(r, count, order);
    return true;
}

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

bool fast_load_travatar(Record& r, nb::handle line, nb::handle delim) {
    std::vector<std::string_view> fields;
    if (!plain_fields(r, line, delim, fields)) return false;
    const std::string_view src = fields[0], trg = fields[1];
    nb::dict features;
    for (std::string_view item : core::split_runs(fields[2])) {
        const auto parts = core::split_at(item, "=");
        double v;
        if (parts.size() != 2 || !number_field(parts[1], v)) return false;
        features[new_str(parts[0], false)] = feature_value(parts[0], number_object(v));
    }
    const auto counts = core::split_runs(fields[3]);
    double count[3] = {0, 0, 0};
    for (std::size_t k = 0; k < counts.size(); ++k) {
        double v;
        if (!count_value(counts[k], v)) return false;
        if (k < 3) count[k] = v;
    }
    r.src = new_str(src, false);
    r.trg = new_str(trg, false);
    r.features = features;
    if (counts.size() == 3) {
        const int order[3] = {1, 2, 0};  // src = second, trg = third, cooc = first
        store_counts(r, count, order);
    }
    nb::set aligns;
    for (std::string_view p : core::split_runs(fields[4])) aligns.add(point_str(p));
    r.aligns = aligns;
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
