#include "test_helpers.hpp"

#include <stdexcept>

namespace zel::testing {

std::unique_ptr<ByteSource> MemoryHost::open_read(const std::optional<std::string>& path,
                                                  std::optional<std::string_view> label) {
    if (!path || !files.count(*path))
        throw std::runtime_error("no such file: " + path.value_or("None"));
    opened.push_back(std::string(label.value_or("")) + ":" + *path);
    return string_source(files.at(*path));
}

}  // namespace zel::testing
