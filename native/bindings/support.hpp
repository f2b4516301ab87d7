// Binding-layer helpers shared by every extension module: the host-visible rules (error texts,
// pickling refusal, arrays shared with NumPy) and the toolkit-backed Host of the core.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>

#include <cstdint>
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
