// A Host for core tests: files from memory, messages collected in a list.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "common/host.hpp"

namespace zel::testing {

// `bytes` with everything but printable ASCII written as \xHH, for readable test names.
std::string escaped(std::string_view bytes);

class MemoryHost : public Host {
public:
    std::map<std::string, std::string> files;  // path -> content
    std::vector<std::string> messages;
    std::vector<std::string> opened;  // "label:path" of every open, in order

    void info(std::string_view message) override { messages.emplace_back(message); }
    std::unique_ptr<ByteSource> open_read(const std::optional<std::string>& path,
                                          std::optional<std::string_view> label) override;
    void check_interrupt() override {}
};

}  // namespace zel::testing
