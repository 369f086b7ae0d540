#include "memory.hpp"

#include <algorithm>
#include <fstream>
#include <string>

#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace runtime {

namespace {

// Bytes available for new allocations as the system reports them, 0 when it does not. Asked
// anew at every call: the answer changes as other programs run.
std::uint64_t available_memory_bytes() {
#if defined(_WIN32)
    MEMORYSTATUSEX status;
    status.dwLength = sizeof(status);
    return GlobalMemoryStatusEx(&status) ? std::uint64_t(status.ullAvailPhys) : std::uint64_t(0);
#else
    std::ifstream meminfo("/proc/meminfo");
    std::string key;
    std::uint64_t kib = 0;
    while (meminfo >> key >> kib) {
        if (key == "MemAvailable:") return kib << 10;
        meminfo.ignore(64, '\n');  // the unit
    }
#if defined(_SC_AVPHYS_PAGES)
    // Free pages only: less than what reclaiming caches would give, so on the safe side.
    long pages = sysconf(_SC_AVPHYS_PAGES), page_size = sysconf(_SC_PAGE_SIZE);
    if (pages > 0 && page_size > 0) return std::uint64_t(pages) * std::uint64_t(page_size);
#endif
    return 0;
#endif
}

}  // namespace

std::uint64_t physical_memory_bytes() {
    // Asked once: the answer takes a system call, and every run checks its size against it.
    static const std::uint64_t bytes = [] {
#if defined(_WIN32)
        MEMORYSTATUSEX status;
        status.dwLength = sizeof(status);
        return GlobalMemoryStatusEx(&status) ? std::uint64_t(status.ullTotalPhys) : std::uint64_t(0);
#else
        long pages = sysconf(_SC_PHYS_PAGES), page_size = sysconf(_SC_PAGE_SIZE);
        return (pages > 0 && page_size > 0) ? std::uint64_t(pages) * std::uint64_t(page_size) : std::uint64_t(0);
#endif
    }();
    return bytes;
}

std::uint64_t memory_budget_bytes() {
    const std::uint64_t physical = physical_memory_bytes(), available = available_memory_bytes();
    if (available == 0) return physical;
    return physical == 0 ? available : std::min(available, physical);
}

bool bytes_fit(std::uint64_t bytes) {
    const std::uint64_t available = physical_memory_bytes();
    return available == 0 || bytes <= available;
}

}  // namespace runtime
