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

// Whether `copies` statevectors of n qubits fit in physical memory (16 bytes per amplitude).
bool states_fit(int n_qubits, unsigned copies);

}  // namespace statevector
