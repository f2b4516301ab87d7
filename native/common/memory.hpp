// Refusing allocations that cannot fit, before the kernel's out-of-memory killer would.
#pragma once

#include <cstddef>
#include <new>
#include <stdexcept>
#include <string_view>

namespace zel {

// Bytes the machine can still give this process (MemAvailable of /proc/meminfo, or the cgroup
// limit when lower); 0 when unknown.
std::size_t available_memory();

// Throws zel::MemoryError naming `what` and its size when `bytes` exceed available_memory().
void check_allocation(std::size_t bytes, std::string_view what);

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

}  // namespace zel
