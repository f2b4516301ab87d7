#include "bindings/support.hpp"

#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>

#include "common/errors.hpp"

namespace zel::bind {

void register_error_translators() {
    nb::register_exception_translator([](const std::exception_ptr& p, void*) {
        try {
            std::rethrow_exception(p);
        } catch (const DecodeError& e) {
            const std::string reason =
                std::string(e.reason) + " (" + e.path + ", line " + std::to_string(e.line) + ")";
            PyObject* exc = PyUnicodeDecodeError_Create(
                "utf-8", e.bytes.data(), static_cast<Py_ssize_t>(e.bytes.size()),
                static_cast<Py_ssize_t>(e.start), static_cast<Py_ssize_t>(e.end), reason.c_str());
            if (exc) {
                PyErr_SetObject(PyExceptionInstance_Class(exc), exc);
                Py_DECREF(exc);
            }
        } catch (const MemoryError& e) {
            PyErr_SetString(PyExc_MemoryError, e.what());
        }
    });
}

void refuse_pickling(nb::handle cls) {
    nb::object refuse = nb::cpp_function(
        [](nb::handle, nb::args) -> nb::object {
            throw nb::type_error("no default __reduce__ due to non-trivial __cinit__");
        },
        nb::is_method());
    nb::setattr(cls, "__reduce__", refuse);
    nb::setattr(cls, "__reduce_ex__", refuse);
}

void check_signals() {
    if (PyErr_CheckSignals() != 0) throw nb::python_error();
}

namespace {

// Reads through a host file object's readinto, one call per block of the line reader.
class PyByteSource : public ByteSource {
public:
    explicit PyByteSource(nb::object file)
        : file_(std::move(file)), readinto_(file_.attr("readinto")) {}

    ~PyByteSource() override {
        // Close now rather than at garbage collection, so progress bars end and handles go.
        // An error while closing a file that was only read must not mask the real outcome.
        try {
            file_.attr("close")();
        } catch (const nb::python_error&) {
        }
    }
    PyByteSource(const PyByteSource&) = delete;
    PyByteSource& operator=(const PyByteSource&) = delete;

    std::size_t read(char* buffer, std::size_t capacity) override {
        check_signals();
        nb::object view = nb::steal(
            PyMemoryView_FromMemory(buffer, static_cast<Py_ssize_t>(capacity), PyBUF_WRITE));
        if (!view.is_valid()) throw nb::python_error();
        nb::object n = readinto_(view);
        // The view points into our buffer; make sure nothing can write through it later.
        view.attr("release")();
        return n.is_none() ? 0 : nb::cast<std::size_t>(n);
    }

private:
    nb::object file_;
    nb::object readinto_;
};

}  // namespace

ToolkitHost::ToolkitHost(nb::object logger) : logger_(std::move(logger)) {}

void ToolkitHost::info(std::string_view message) {
    logger_.attr("info")(nb::str(message.data(), message.size()));
}

std::unique_ptr<ByteSource> ToolkitHost::open_read(const std::optional<std::string>& path,
                                                   std::optional<std::string_view> progress_label) {
    nb::object file;
    if (progress_label) {
        nb::object reader = nb::module_::import_("zel.common.progress").attr("FileReader");
        file = reader(path, nb::str(progress_label->data(), progress_label->size()));
    } else {
        file = nb::module_::import_("zel.common.files").attr("open")(path, "rb");
    }
    return std::make_unique<PyByteSource>(std::move(file));
}

void ToolkitHost::check_interrupt() { check_signals(); }

}  // namespace zel::bind
