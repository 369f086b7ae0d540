#include "memory.hpp"

#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace statevector {

std::uint64_t physical_memory_bytes() {
#if defined(_WIN32)
    MEMORYSTATUSEX status;
    status.dwLength = sizeof(status);
    return GlobalMemoryStatusEx(&status) ? std::uint64_t(status.ullTotalPhys) : 0;
#else
    long pages = sysconf(_SC_PHYS_PAGES), page_size = sysconf(_SC_PAGE_SIZE);
    return (pages > 0 && page_size > 0) ? std::uint64_t(pages) * std::uint64_t(page_size) : 0;
#endif
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
