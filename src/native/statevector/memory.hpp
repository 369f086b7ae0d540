// Sizing statevectors against the machine's memory before allocating them.
#pragma once

#include <cstdint>

namespace statevector {

// Bytes of physical memory, or 0 when the platform does not tell.
std::uint64_t physical_memory_bytes();

// Whether `bytes` fit in physical memory (always, when the platform does not tell).
bool bytes_fit(std::uint64_t bytes);

// Whether `copies` statevectors of n qubits fit in physical memory (16 bytes per amplitude).
bool states_fit(int n_qubits, unsigned copies);

}  // namespace statevector
