// Sizing statevectors against the machine's memory before allocating them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "gate.hpp"
#include "state_allocator.hpp"

namespace statevector {

using StateVector = std::vector<cplx, StateAllocator<cplx>>;
// A cumulative outcome distribution over the amplitudes of a state.
using Distribution = std::vector<double, StateAllocator<double>>;

// `amplitudes` zeros.
StateVector state_of_zeros(std::uint64_t amplitudes);
// |0...0> on n qubits.
StateVector basis_state(int n_qubits);
StateVector state_copy(const StateVector &state);

// Bytes of physical memory, or 0 when the platform does not tell.
std::uint64_t physical_memory_bytes();

// Bytes that new allocations may take now: the memory the system reports available (on Linux
// MemAvailable, which counts caches it can reclaim), at most the physical total; the physical
// total where availability is not reported; 0 when neither is.
std::uint64_t memory_budget_bytes();

// Whether `bytes` fit in physical memory (always, when the platform does not tell).
bool bytes_fit(std::uint64_t bytes);

// Whether `copies` statevectors of n qubits fit in physical memory (16 bytes per amplitude).
bool states_fit(int n_qubits, unsigned copies);

}  // namespace statevector
