// Binding-layer helpers shared by every extension module: the host-visible rules (error texts,
// pickling refusal, arrays shared with NumPy) and the toolkit-backed Host of the core.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>

#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/host.hpp"

namespace zel::bind {

namespace nb = nanobind;

// The module-level names every module has: `logger` (the toolkit's colour logger of the
// module's name) and `dprint` (its debug_print). Also registers the error translators.
void init_module(nb::module_& m);

// Registers the translation of core exceptions (decode, index and memory errors) to host errors.
void register_error_translators();

// A str from UTF-8 text, and the UTF-8 text of a str (the view lives as long as `s`).
nb::str to_str(std::string_view text);
std::string_view utf8(nb::handle s);

// The text of a value that is about to be split: "'<type>' object has no attribute 'split'"
// (the host's AttributeError) for anything but a str.
std::string_view split_text(nb::handle value);

// The host error that an exception caught in C++ stands for (core exceptions translated as
// the translators above do), to log or raise again.
nb::python_error as_python_error(const std::exception_ptr& p);

// True when `self`'s class replaces `base`'s method `name` (a host subclass overriding it).
bool overrides(nb::handle self, nb::handle base, const char* name);

// Makes pickling (and copying) of `cls` fail with the type error every non-picklable class uses.
void refuse_pickling(nb::handle cls);

// The host's type error of a typed field: "Expected <expected>, got <type of value>".
[[noreturn]] void expected_type(const char* expected, nb::handle value);

// A 1-, 2- or n-D NumPy array that owns `values`; no copy is made.
template <class T>
nb::ndarray<nb::numpy, T> to_numpy(std::vector<T>&& values,
                                   std::initializer_list<std::size_t> shape) {
    auto* owned = new std::vector<T>(std::move(values));
    nb::capsule owner(owned, [](void* p) noexcept { delete static_cast<std::vector<T>*>(p); });
    return nb::ndarray<nb::numpy, T>(owned->data(), shape, owner);
}

// The Host of the core, carried out with zel.common: each channel's messages go to the logger of
// the module that owns it, files are opened with progress.FileReader (reading with a label)
// or files.open, progress is progress.Bar, and interruption is the host's pending signal
// (KeyboardInterrupt on Ctrl-C). One instance lives for the whole process.
Host& toolkit_host();

// Raises the pending host signal (KeyboardInterrupt and the like) as a C++ exception.
void check_signals();

}  // namespace zel::bind
