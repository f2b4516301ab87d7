// A Host for core tests: files in memory, messages collected in a list.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "common/host.hpp"

namespace zel::testing {

class MemoryHost : public Host {
public:
    std::map<std::string, std::string> files;  // path -> content, read and written
    std::vector<std::string> messages;         // info messages, in order
    std::vector<std::string> debug_messages;
    std::vector<std::string> warnings;
    std::vector<std::string> opened;  // "label:path" of every read, in order
    std::vector<std::string> progress_labels;
    std::map<std::string, std::size_t> incomplete;  // path -> lines, of files an error cut

    void log(Channel channel, Level level, std::string_view message) override;
    std::unique_ptr<ByteSource> open_read(const std::optional<std::string>& path,
                                          std::optional<std::string_view> label) override;
    std::unique_ptr<ByteSink> open_write(const std::string& path) override;
    std::unique_ptr<Progress> progress(std::string_view label, std::size_t total) override;
    void check_interrupt() override {}
    void float_event(FloatEvent event) override { float_events.push_back(event); }

    std::vector<FloatEvent> float_events;

    // Messages of one channel, in order.
    std::vector<std::string> messages_of(Channel channel) const;

private:
    std::vector<std::pair<Channel, std::string>> channel_messages_;
};

// `bytes` with everything but printable ASCII written as \xHH, for readable test names.
std::string escaped(std::string_view bytes);

// The name of a parameterised test case: its index, then what it holds (`text`) with letters
// and digits kept and every other run of bytes written as one '_'. Stable from build to build,
// unlike the bytes of the parameter that the default name would show.
std::string case_name(std::size_t index, std::string_view text);

}  // namespace zel::testing
