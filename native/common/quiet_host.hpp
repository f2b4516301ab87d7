// The host a shard's work runs under, away from the user.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "common/host.hpp"

namespace zel {

// A host for work done away from the user: files in memory, no messages, no progress display,
// and floating-point events kept (as FE_* flags) for the caller to report. Its paths are the
// ones it hands out, so a file reader or writer is given a path as it would be on a disk.
class QuietHost : public Host {
public:
    explicit QuietHost(std::function<void()> check = {}) : check_(std::move(check)) {}

    // A path whose reading gives `text`.
    std::string serve(std::string text);
    // A path a writer may write to; take() then gives what it wrote.
    std::string new_path();
    // What was written at, or served from, `path` ("" when nothing was), forgotten here.
    std::string take(const std::string& path);
    // Forgets every file.
    void clear() { files_.clear(); }

    int raised = 0;

    void log(Channel, Level, std::string_view) override {}
    std::unique_ptr<ByteSource> open_read(const std::optional<std::string>& path,
                                          std::optional<std::string_view>) override;
    std::unique_ptr<ByteSink> open_write(const std::string& path) override;
    std::unique_ptr<Progress> progress(std::string_view, std::size_t) override;
    void check_interrupt() override {
        if (check_) check_();
    }
    void float_event(FloatEvent event) override;

private:
    std::function<void()> check_;
    std::map<std::string, std::string> files_;  // path -> content, read and written
    std::size_t paths_ = 0;                     // handed out so far
};

// Reports to `host`, as events of `operation`, the FE_* flags a QuietHost kept.
void report_raised(Host& host, int raised, FloatEvent::Operation operation);

}  // namespace zel
