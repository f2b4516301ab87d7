// Text and file names between the host's str and the core's UTF-8 and bytes.
#include "bindings/support.hpp"

namespace zel::bind {

nb::str to_str(std::string_view text) {
    // Text that is not UTF-8 (only a damaged stored index holds such) raises the host's
    // UnicodeDecodeError, not a bare conversion failure.
    PyObject* s =
        PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogatepass");
    if (!s) throw nb::python_error();
    return nb::steal<nb::str>(s);
}

Utf8::Utf8(nb::handle s) {
    Py_ssize_t n = 0;
    if (const char* data = PyUnicode_AsUTF8AndSize(s.ptr(), &n)) {
        view_ = {data, static_cast<std::size_t>(n)};
        return;
    }
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw nb::python_error();
    PyErr_Clear();
    kept_ = nb::steal(PyUnicode_AsEncodedString(s.ptr(), "utf-8", "surrogatepass"));
    if (!kept_.is_valid()) throw nb::python_error();
    view_ = {PyBytes_AS_STRING(kept_.ptr()),
             static_cast<std::size_t>(PyBytes_GET_SIZE(kept_.ptr()))};
}

Utf8 split_text(nb::handle value) {
    if (!PyUnicode_Check(value.ptr())) {
        PyErr_Format(PyExc_AttributeError, "'%.50s' object has no attribute 'split'",
                     Py_TYPE(value.ptr())->tp_name);
        throw nb::python_error();
    }
    return utf8(value);
}

nb::str path_object(std::string_view bytes) {
    // As os.fsdecode: bytes that are not UTF-8 become the surrogates os.fsencode turns back.
    PyObject* s =
        PyUnicode_DecodeFSDefaultAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size()));
    if (!s) throw nb::python_error();
    return nb::steal<nb::str>(s);
}

std::string path_argument(nb::handle path) {
    return path_bytes(nb::module_::import_("os").attr("fspath")(path));
}

std::string path_bytes(nb::handle path) {
    nb::object encoded = nb::steal(PyUnicode_EncodeFSDefault(path.ptr()));
    if (!encoded.is_valid()) throw nb::python_error();
    return std::string(PyBytes_AS_STRING(encoded.ptr()),
                       static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.ptr())));
}

}  // namespace zel::bind
