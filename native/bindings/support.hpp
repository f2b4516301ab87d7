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

// Registers the translation of core exceptions (decode, index and memory errors) to host errors.
void register_error_translators();

// Makes pickling (and copying) of `cls` fail with the type error every non-picklable class uses.
void refuse_pickling(nb::handle cls);

// A 1-, 2- or n-D NumPy array that owns `values`; no copy is made.
template <class T>
nb::ndarray<nb::numpy, T> to_numpy(std::vector<T>&& values,
                                   std::initializer_list<std::size_t> shape) {
    auto* owned = new std::vector<T>(std::move(values));
    nb::capsule owner(owned, [](void* p) noexcept { delete static_cast<std::vector<T>*>(p); });
    return nb::ndarray<nb::numpy, T>(owned->data(), shape, owner);
}

// The Host of the core, carried out with zel.common: `logger` receives the messages, files are
// opened through progress.FileReader (with a label) or files.open (without), and interruption
// is the host's pending signal (KeyboardInterrupt on Ctrl-C).
class ToolkitHost : public Host {
public:
    explicit ToolkitHost(nb::object logger);

    void info(std::string_view message) override;
    std::unique_ptr<ByteSource> open_read(const std::optional<std::string>& path,
                                          std::optional<std::string_view> progress_label) override;
    void check_interrupt() override;

private:
    nb::object logger_;
};

// Raises the pending host signal (KeyboardInterrupt and the like) as a C++ exception.
void check_signals();

}  // namespace zel::bind
