// The machine's memory, for sizing large allocations before making them.
#pragma once

#include <cstdint>

namespace runtime {

// Bytes of physical memory, or 0 when the platform does not tell.
std::uint64_t physical_memory_bytes();

// Bytes that new allocations may take now: the memory the system reports available (on Linux
// MemAvailable, which counts caches it can reclaim), at most the physical total; the physical
// total where availability is not reported; 0 when neither is.
std::uint64_t memory_budget_bytes();

// Whether `bytes` fit in physical memory (always, when the platform does not tell).
bool bytes_fit(std::uint64_t bytes);

}  // namespace runtime
