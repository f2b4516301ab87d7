// Exceptions thrown by the core. Each carries what failed and where, so the binding layer can
// turn it into the host error with the exact text users see.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

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
    explicit IndexError(const std::string& message) : std::out_of_range(message) {}
};

// An operation applied to something of the wrong kind (the host's TypeError), such as a
// distribution or count table that does not exist yet.
class TypeError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// An operation on a table that does not exist yet (a distribution, count table, corpus or cell
// index). The core names the table and the operation; the binding words the error as the host
// words the same operation on None, which is what such a table is to host code.
class Missing : public std::runtime_error {
public:
    enum class Use { length, subscript, iteration, item_assignment, attribute };
    // `attribute` names the attribute read, for Use::attribute.
    Missing(const char* table, Use use, const char* attribute = "");

    const char* table;
    Use use;
    const char* attribute;
};

// A parallel corpus with no sentence pair: nothing to train on.
class EmptyCorpus : public std::runtime_error {
public:
    EmptyCorpus(const std::string& src_path, const std::string& trg_path);
};

// A value that does not convert (the host's ValueError).
class ValueError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A key that is not in a mapping (the host's KeyError).
class KeyError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A missing attribute (the host's AttributeError), such as a table that does not exist yet.
class AttributeError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// An abstract operation of a base class (the host's NotImplementedError, with no message).
class NotImplemented : public std::logic_error {
public:
    NotImplemented() : std::logic_error("") {}
};

// Division by zero the host reports as ZeroDivisionError.
class ZeroDivision : public std::domain_error {
public:
    using std::domain_error::domain_error;
};

// An allocation that would not fit in the memory the machine has; `what` names the request.
class MemoryError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Makes the calling thread ready to throw. The C++ runtime keeps a thread's exception state in
// thread-local storage that the C library allocates on the thread's first throw, and aborts the
// process when it cannot: a thread whose first throw is a failed allocation would end the
// process instead of raising MemoryError. Touched early, while memory is to be had, the state
// is there when needed. (The call is pure: only a use of its result keeps it.)
inline void ready_to_throw() noexcept {
    [[maybe_unused]] const volatile int touched = std::uncaught_exceptions();
}

// Throws std::invalid_argument unless `given` values of `what` are the `wanted` number: what
// a caller hands a table must fit it.
inline void check_size(std::size_t given, std::size_t wanted, const char* what) {
    if (given != wanted) {
        throw std::invalid_argument(std::string(what) + ": " + std::to_string(given) +
                                    " values given for " + std::to_string(wanted));
    }
}

// Runs `work()`; an allocation that fails in it, which names nothing, becomes a MemoryError
// that names what was being done.
template <class Work>
decltype(auto) naming_memory(std::string_view what, Work&& work) {
    try {
        return std::forward<Work>(work)();
    } catch (const std::bad_alloc&) {
        throw MemoryError("out of memory while " + std::string(what) +
                          ": the process reached its memory limit or the machine's memory");
    }
}

}  // namespace zel
