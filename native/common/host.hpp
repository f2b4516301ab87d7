// What the core asks of the program that hosts it: messages, opened files, interruption.
// The Python binding implements it with the toolkit's logger, progress display and file
// opening; tests implement it with plain files and a message list.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "common/line_reader.hpp"

namespace zel {

class Host {
public:
    virtual ~Host() = default;

    virtual void info(std::string_view message) = 0;

    // Opens `path` for reading (None when absent: the host decides what that means). With a
    // `progress_label`, reading shows progress under that label.
    virtual std::unique_ptr<ByteSource> open_read(
        const std::optional<std::string>& path, std::optional<std::string_view> progress_label) = 0;

    // Raises (throws) when the user asked to stop; long loops call it between batches.
    virtual void check_interrupt() = 0;
};

}  // namespace zel
