#include "memory.hpp"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <new>
#include <string>

#include "parallel.hpp"

#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace statevector {

namespace {

constexpr std::size_t kHugePage = std::size_t(2) << 20;
constexpr std::size_t kCacheLine = 64;
// Threads fill states in ranges of this many amplitudes at least: a fill of fresh memory is
// bound by page faults, which a second thread slows down below about 16 MiB.
constexpr std::size_t kFillGrain = std::size_t(1) << 20;

std::align_val_t alignment(std::size_t bytes) { return std::align_val_t(bytes >= kHugePage ? kHugePage : kCacheLine); }

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

namespace detail {

void *allocate_state_bytes(std::size_t bytes) {
    void *p = ::operator new(bytes, alignment(bytes));
#if defined(MADV_HUGEPAGE)
    if (bytes >= kHugePage) madvise(p, bytes - bytes % kHugePage, MADV_HUGEPAGE);  // advice only: failure is fine
#endif
    return p;
}

void free_state_bytes(void *p, std::size_t bytes) noexcept { ::operator delete(p, alignment(bytes)); }

}  // namespace detail

StateVector state_of_zeros(std::uint64_t amplitudes) {
    StateVector state(amplitudes);
    cplx *data = state.data();
    parallel_for(amplitudes, kFillGrain, [&](std::size_t begin, std::size_t end) {
        std::memset(static_cast<void *>(data + begin), 0, (end - begin) * sizeof(cplx));
    });
    return state;
}

StateVector basis_state(int n_qubits) {
    StateVector state = state_of_zeros(std::uint64_t(1) << n_qubits);
    state[0] = cplx(1.0, 0.0);
    return state;
}

StateVector state_copy(const StateVector &state) {
    StateVector copy(state.size());
    const cplx *from = state.data();
    cplx *to = copy.data();
    parallel_for(state.size(), kFillGrain, [&](std::size_t begin, std::size_t end) {
        std::memcpy(static_cast<void *>(to + begin), from + begin, (end - begin) * sizeof(cplx));
    });
    return copy;
}

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

bool states_fit(int n_qubits, unsigned copies) {
    if (n_qubits < 0 || n_qubits > 50) return false;
    const std::uint64_t bytes = (std::uint64_t(16) << n_qubits) * copies;
    const std::uint64_t available = physical_memory_bytes();
    return available == 0 ? n_qubits <= 34 : bytes <= available;
}

}  // namespace statevector
