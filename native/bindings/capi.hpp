// C entry points that one extension module exports to another through capsules.
#pragma once

#include <nanobind/nanobind.h>

namespace zel::bind {

// Calling convention of an exported function: positional arguments as an array; returns a new
// reference, or nullptr with the host error set.
using CapiFunction = PyObject* (*)(PyObject* const* args, Py_ssize_t nargs);

// A capsule named `capsule_name` (a string literal) whose pointer is a CapiFunction running
// `F`. Argument conversion and error translation are nanobind's, through a function object
// that is kept out of the module's namespace.
template <auto F>
struct CapiEntry {
    static inline PyObject* callable = nullptr;  // lives as long as the process
    static PyObject* call(PyObject* const* args, Py_ssize_t nargs) {
        return PyObject_Vectorcall(callable, args, static_cast<std::size_t>(nargs), nullptr);
    }
};

template <auto F>
nanobind::capsule make_capi_entry(const char* function_name, const char* capsule_name) {
    if (!CapiEntry<F>::callable) {
        CapiEntry<F>::callable =
            nanobind::cpp_function(F, nanobind::name(function_name)).release().ptr();
    }
    return nanobind::capsule(reinterpret_cast<void*>(&CapiEntry<F>::call), capsule_name);
}

}  // namespace zel::bind
