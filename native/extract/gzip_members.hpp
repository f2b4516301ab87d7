// Text compressed as gzip in independent members of a fixed size, compressed on the threads:
// the same text gives the same bytes whatever the thread count, and gzip readers read the
// members as one stream.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/host.hpp"

namespace zel::extract {

// One complete gzip member of `text` (no name, no time stamp).
std::string gzip_member(std::string_view text, int level);

class GzipMembers {
public:
    explicit GzipMembers(std::unique_ptr<ByteSink> sink,
                         std::size_t member_bytes = std::size_t{4} << 20);
    void write(std::string_view text);
    // Compresses and writes what is left, then puts the file in place.
    void close();

private:
    void compress_pending();

    std::unique_ptr<ByteSink> sink_;
    std::size_t member_bytes_;
    std::string current_;
    std::vector<std::string> pending_;  // full members, not compressed yet
};

}  // namespace zel::extract
