// Exceptions thrown by the core. Each carries what failed and where, so the binding layer can
// turn it into the host error with the exact text users see.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

namespace zel {

// Bytes that are not UTF-8, found in line `line` (1-based) of the file `path`.
// `bytes` is the offending line and [start, end) the bad sequence within it.
class DecodeError : public std::runtime_error {
public:
    DecodeError(std::string path, std::size_t line, std::string bytes, std::size_t start,
                std::size_t end, const char* reason);

    std::string path;
    std::size_t line;
    std::string bytes;
    std::size_t start;
    std::size_t end;
    const char* reason;
};

// An index outside [-size, size) of an array axis, worded as array indexing words it.
class IndexError : public std::out_of_range {
public:
    IndexError(std::int64_t index, std::size_t axis, std::size_t size);
};

// An allocation that would not fit in the memory the machine has; `what` names the request.
class MemoryError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

}  // namespace zel
