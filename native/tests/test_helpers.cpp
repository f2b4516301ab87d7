#include "test_helpers.hpp"

#include <cstdio>
#include <stdexcept>

namespace zel::testing {

std::string escaped(std::string_view bytes) {
    std::string out;
    for (const char c : bytes) {
        const auto u = static_cast<unsigned char>(c);
        if (u >= 0x20 && u < 0x7F) {
            out += c;
        } else {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02X", u);
            out += hex;
        }
    }
    return out;
}

std::unique_ptr<ByteSource> MemoryHost::open_read(const std::optional<std::string>& path,
                                                  std::optional<std::string_view> label) {
    if (!path || !files.count(*path))
        throw std::runtime_error("no such file: " + path.value_or("None"));
    opened.push_back(std::string(label.value_or("")) + ":" + *path);
    return string_source(files.at(*path));
}

}  // namespace zel::testing
