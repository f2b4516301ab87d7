// Refusing allocations that cannot fit, before the kernel's out-of-memory killer would.
#pragma once

#include <cstddef>
#include <new>
#include <stdexcept>
#include <string_view>
#include <vector>

namespace zel {

// Bytes the machine can still give this process: MemAvailable of /proc/meminfo, lowered to the
// room left under the cgroup's memory limit and under the address-space limit (ulimit -v);
// 0 when unknown.
std::size_t available_memory();

// Throws zel::MemoryError naming `what` and its size when `bytes` exceed available_memory().
void check_allocation(std::size_t bytes, std::string_view what);

// Asks the kernel to back [data, data + bytes) with huge pages where it can (transparent huge
// pages): tables read at random would otherwise miss the address cache on nearly every read.
void advise_huge_pages(const void* data, std::size_t bytes);

// zel::MemoryError naming `what` and its size, for an allocation the system refused.
[[noreturn]] void allocation_failed(std::size_t bytes, std::string_view what);

// Runs `allocate` (which allocates about `bytes` for `what`) after check_allocation; a refusal
// by the system is reported as check_allocation reports one, never as a bare std::bad_alloc.
template <class F>
void allocate_checked(std::size_t bytes, std::string_view what, F&& allocate) {
    check_allocation(bytes, what);
    try {
        allocate();
    } catch (const std::bad_alloc&) {
        allocation_failed(bytes, what);
    } catch (const std::length_error&) {
        allocation_failed(bytes, what);
    }
}

// `v` made `n` copies of `value`, in memory advised for huge pages before it is first touched,
// checked and named as allocate_checked does.
template <class T>
void assign_table(std::vector<T>& v, std::size_t n, const T& value, std::string_view what) {
    allocate_checked(n * sizeof(T), what, [&] {
        std::vector<T>().swap(v);
        v.reserve(n);
        advise_huge_pages(v.data(), n * sizeof(T));
        v.assign(n, value);
    });
}

}  // namespace zel
