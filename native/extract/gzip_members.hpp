// Text as gzip members: a file of several members reads as one stream, so members compressed
// apart (on the threads) make one gzip file, and the same text cut the same way gives the same
// bytes.
#pragma once

#include <memory>
#include <string>
#include <string_view>

struct libdeflate_compressor;

namespace zel::extract {

// A compressor for one thread at a time, kept across members (its tables are costly to make).
class GzipCompressor {
public:
    explicit GzipCompressor(int level);
    // `out` becomes one complete gzip member of `text` (no name, no time stamp).
    void member(std::string_view text, std::string& out);

private:
    std::unique_ptr<libdeflate_compressor, void (*)(libdeflate_compressor*)> z_;
};

}  // namespace zel::extract
