// Splitting a byte stream into lines at "\n" only.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace zel {

// Where bytes come from: a file, a decompressor, or a host file object.
class ByteSource {
public:
    virtual ~ByteSource() = default;
    // Reads up to `capacity` bytes into `buffer`; returns 0 only at the end of the data.
    virtual std::size_t read(char* buffer, std::size_t capacity) = 0;
};

// Reads a plain file with stdio (for tools and tests that have no host).
std::unique_ptr<ByteSource> open_file_source(const std::string& path);

// Bytes of an in-memory text.
std::unique_ptr<ByteSource> string_source(std::string text);

// Yields the lines of a ByteSource, each with its "\n" (the last one may lack it). A "\r" is an
// ordinary byte. Reads in large blocks, so a host source costs one call per block.
class LineReader {
public:
    explicit LineReader(ByteSource& source, std::size_t block_size = std::size_t{1} << 20);

    // Sets `line` to the next line and returns true, or returns false at the end. The view
    // stays valid until the next call.
    bool next(std::string_view& line);

    // 1-based number of the line last returned.
    std::size_t line_number() const { return line_number_; }

private:
    bool refill();

    ByteSource& source_;
    std::vector<char> buffer_;
    std::size_t begin_ = 0;  // unread bytes are buffer_[begin_, end_)
    std::size_t end_ = 0;
    std::size_t line_number_ = 0;
    bool exhausted_ = false;
};

}  // namespace zel
