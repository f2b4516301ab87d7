#include "bindings/records/text.hpp"

#include <vector>

#include "common/format.hpp"
#include "records/formats.hpp"

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
    std::vector<Utf8> texts;
    std::vector<std::string_view> points;
    texts.reserve(static_cast<std::size_t>(PySet_GET_SIZE(aligns.ptr())));
    for (nb::handle p : aligns) {
        if (!PyUnicode_CheckExact(p.ptr())) return false;
        points.push_back(texts.emplace_back(p));
    }
    out += zel::records::sorted_points(std::move(points));
    return true;
}

nb::object new_str(std::string_view text, bool intern) {
    PyObject* s =
        PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogatepass");
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

void append_str(std::string& out, nb::handle value) {
    if (!append_number_text(out, value)) out += utf8(nb::str(value));
}

std::string points_text(nb::handle aligns) {
    std::string out;
    if (append_sorted_points(out, aligns)) return out;
    nb::list points = nb::steal<nb::list>(PySequence_List(aligns.ptr()));
    if (!points.is_valid()) throw nb::python_error();
    points.sort();
    return std::string(utf8(nb::str(" ").attr("join")(points)));
}

nb::str join_line(nb::handle s, nb::handle src, nb::handle trg,
                  std::initializer_list<std::string_view> rest) {
    if (PyUnicode_CheckExact(s.ptr()) && PyUnicode_CheckExact(src.ptr()) &&
        PyUnicode_CheckExact(trg.ptr())) {
        const Utf8 src_text(src), trg_text(trg);
        std::vector<std::string_view> fields = {src_text, trg_text};
        fields.insert(fields.end(), rest.begin(), rest.end());
        return nb::borrow<nb::str>(new_str(zel::records::join_line(utf8(s).view(), fields), false));
    }
    nb::list parts;
    parts.append(src);
    parts.append(trg);
    for (std::string_view part : rest) parts.append(new_str(part, false));
    return join_fields(s, parts);
}

}  // namespace zel::bind::records
