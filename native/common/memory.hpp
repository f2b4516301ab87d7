// Refusing allocations that cannot fit, before the kernel's out-of-memory killer would.
#pragma once

#include <cstddef>
#include <string_view>

namespace zel {

// Bytes the machine can still give this process (MemAvailable of /proc/meminfo, or the cgroup
// limit when lower); 0 when unknown.
std::size_t available_memory();

// Throws zel::MemoryError naming `what` and its size when `bytes` exceed available_memory().
void check_allocation(std::size_t bytes, std::string_view what);

}  // namespace zel
