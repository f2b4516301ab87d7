#include "common/memory.hpp"

#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <limits>
#include <string>

#include "common/errors.hpp"

namespace zel {

namespace {

std::size_t meminfo_available() {
    std::ifstream in("/proc/meminfo");
    std::string key;
    std::size_t kib = 0;
    std::string unit;
    while (in >> key >> kib >> unit) {
        if (key == "MemAvailable:") return kib * 1024;
    }
    return 0;
}

std::size_t cgroup_room() {
    // cgroup v2: memory.max ("max" or bytes) less memory.current.
    std::ifstream max_file("/sys/fs/cgroup/memory.max"),
        current_file("/sys/fs/cgroup/memory.current");
    std::string max_text;
    std::size_t current = 0;
    if (!(max_file >> max_text) || max_text == "max" || !(current_file >> current)) {
        return std::numeric_limits<std::size_t>::max();
    }
    const std::size_t limit = std::stoull(max_text);
    return limit > current ? limit - current : 0;
}

std::string human(std::size_t bytes) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.2f GiB", static_cast<double>(bytes) / (1024.0 * 1024 * 1024));
    return buf;
}

// Room left under the address-space limit (ulimit -v), when there is one.
std::size_t address_space_room() {
    struct rlimit limit{};
    if (getrlimit(RLIMIT_AS, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) {
        return std::numeric_limits<std::size_t>::max();
    }
    std::ifstream statm("/proc/self/statm");
    std::size_t pages = 0;
    if (!(statm >> pages)) return std::numeric_limits<std::size_t>::max();
    const std::size_t used = pages * static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    return limit.rlim_cur > used ? static_cast<std::size_t>(limit.rlim_cur) - used : 0;
}

}  // namespace

std::size_t available_memory() {
    const std::size_t meminfo = meminfo_available();
    const std::size_t room = std::min(cgroup_room(), address_space_room());
    if (meminfo == 0) return room == std::numeric_limits<std::size_t>::max() ? 0 : room;
    return meminfo < room ? meminfo : room;
}

void advise_huge_pages(const void* data, std::size_t bytes) {
    constexpr std::uintptr_t kHuge = std::uintptr_t{2} << 20;
    const auto begin = (reinterpret_cast<std::uintptr_t>(data) + kHuge - 1) & ~(kHuge - 1);
    const auto end = (reinterpret_cast<std::uintptr_t>(data) + bytes) & ~(kHuge - 1);
    // Only advice: where the kernel has no huge pages the call fails and nothing changes.
    if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}

void allocation_failed(std::size_t bytes, std::string_view what) {
    throw MemoryError("cannot allocate " + std::string(what) + ": " + std::to_string(bytes) +
                      " bytes (" + human(bytes) + ") refused by the system");
}

void check_allocation(std::size_t bytes, std::string_view what) {
    const std::size_t available = available_memory();
    if (available != 0 && bytes > available) {
        throw MemoryError("cannot allocate " + std::string(what) + ": " + std::to_string(bytes) +
                          " bytes (" + human(bytes) + ") needed, " + human(available) +
                          " available");
    }
}

}  // namespace zel
