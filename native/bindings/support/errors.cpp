// Core exceptions as the host errors they stand for, and the host's own type errors.
#include "bindings/support.hpp"

#include <system_error>

#include <nanobind/stl/string.h>

#include "common/errors.hpp"
#include "common/format.hpp"

namespace zel::bind {

namespace {

// A table that does not exist yet is None to host code: the error is the host's for the same
// operation on None.
void set_missing_error(const Missing& e) {
    switch (e.use) {
        case Missing::Use::length:
            PyErr_SetString(PyExc_TypeError, "object of type 'NoneType' has no len()");
            return;
        case Missing::Use::subscript:
            PyErr_SetString(PyExc_TypeError, "'NoneType' object is not subscriptable");
            return;
        case Missing::Use::iteration:
            PyErr_SetString(PyExc_TypeError, "'NoneType' object is not iterable");
            return;
        case Missing::Use::item_assignment:
            PyErr_SetString(PyExc_TypeError, "'NoneType' object does not support item assignment");
            return;
        case Missing::Use::attribute:
            PyErr_Format(PyExc_AttributeError, "'NoneType' object has no attribute '%s'",
                         e.attribute);
            return;
    }
}

// Sets `type` with `message`, whose bytes may name a file that is not UTF-8 (decoded as
// os.fsdecode decodes names).
void set_error(PyObject* type, std::string_view message) {
    PyObject* text = PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()),
                                          "surrogateescape");
    if (!text) return;
    PyErr_SetObject(type, text);
    Py_DECREF(text);
}

// Sets the host error of a core exception; false for any other exception.
bool set_core_error(const std::exception_ptr& p) {
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
    } catch (const Missing& e) {
        set_missing_error(e);
    } catch (const EmptyCorpus& e) {
        set_error(PyExc_ValueError, e.what());
    } catch (const MemoryError& e) {
        set_error(PyExc_MemoryError, e.what());
    } catch (const TypeError& e) {
        set_error(PyExc_TypeError, e.what());
    } catch (const ValueError& e) {
        set_error(PyExc_ValueError, e.what());
    } catch (const KeyError& e) {
        PyErr_SetObject(PyExc_KeyError, nb::str(e.what()).ptr());
    } catch (const AttributeError& e) {
        set_error(PyExc_AttributeError, e.what());
    } catch (const NotImplemented&) {
        PyErr_SetNone(PyExc_NotImplementedError);
    } catch (const ZeroDivision& e) {
        set_error(PyExc_ZeroDivisionError, e.what());
    } catch (const std::system_error& e) {
        // (errno, text): the host picks the OSError subclass of the errno, as open() does.
        nb::object args = nb::make_tuple(e.code().value(), path_object(e.what()));
        PyErr_SetObject(PyExc_OSError, args.ptr());
    } catch (const std::bad_alloc&) {
        // Large requests are named by the core (zel::MemoryError); this is a small one that
        // failed, so the machine is out of memory as a whole.
        PyErr_SetString(PyExc_MemoryError, "out of memory: a small allocation failed");
    } catch (const std::length_error&) {
        PyErr_SetString(PyExc_MemoryError,
                        "out of memory: a requested size is beyond what "
                        "can be allocated");
    } catch (const nb::cast_error&) {
        // A binding converts every value a caller gives before using it; a value the binding
        // could not convert is still the caller's wrong type, never an internal failure.
        PyErr_SetString(PyExc_TypeError,
                        "an argument or attribute has a type this operation "
                        "cannot use");
    } catch (...) {
        return false;
    }
    return true;
}

PyObject* builtin_type(nb::exception_type type) {
    switch (type) {
        case nb::exception_type::stop_iteration:
            return PyExc_StopIteration;
        case nb::exception_type::index_error:
            return PyExc_IndexError;
        case nb::exception_type::key_error:
            return PyExc_KeyError;
        case nb::exception_type::value_error:
            return PyExc_ValueError;
        case nb::exception_type::type_error:
            return PyExc_TypeError;
        case nb::exception_type::buffer_error:
            return PyExc_BufferError;
        case nb::exception_type::import_error:
            return PyExc_ImportError;
        case nb::exception_type::attribute_error:
            return PyExc_AttributeError;
        default:
            return PyExc_RuntimeError;
    }
}

}  // namespace

void register_error_translators() {
    // An exception this does not know goes on to the next translator (nanobind's own).
    nb::register_exception_translator([](const std::exception_ptr& p, void*) {
        if (!set_core_error(p)) std::rethrow_exception(p);
    });
}

nb::python_error as_python_error(const std::exception_ptr& p) {
    try {
        std::rethrow_exception(p);
    } catch (nb::python_error& e) {
        return std::move(e);
    } catch (const nb::builtin_exception& e) {
        PyErr_SetString(builtin_type(e.type()), e.what());
    } catch (const std::out_of_range& e) {
        if (!set_core_error(p)) set_error(PyExc_IndexError, e.what());
    } catch (const std::exception& e) {
        if (!set_core_error(p)) set_error(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "a native operation failed without saying why");
    }
    return nb::python_error();
}

void restore_host_error(const std::exception_ptr& p) noexcept {
    try {
        as_python_error(p).restore();
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "an error could not be reported");
    }
}

[[noreturn]] void expected_type(const char* expected, nb::handle value) {
    PyErr_Format(PyExc_TypeError, "Expected %.42s, got %.200s", expected,
                 Py_TYPE(value.ptr())->tp_name);
    throw nb::python_error();
}

}  // namespace zel::bind
