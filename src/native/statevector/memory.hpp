// Sizing statevectors against the machine's memory before allocating them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "gate.hpp"

namespace statevector {

namespace detail {
void *allocate_state_bytes(std::size_t bytes);
void free_state_bytes(void *p, std::size_t bytes) noexcept;
}  // namespace detail

// Allocator of statevectors and their tables: aligned to a cache line (no vector load of the
// kernels straddles two), large ones to a huge page and advised onto huge pages where the
// system offers them (far fewer page faults on first touch). Elements are not initialised on
// allocation: state_of_zeros() and state_copy() fill them on every thread.
template <class T> struct StateAllocator {
    using value_type = T;
    StateAllocator() = default;
    template <class U> StateAllocator(const StateAllocator<U> &) noexcept {}
    T *allocate(std::size_t n) { return static_cast<T *>(detail::allocate_state_bytes(n * sizeof(T))); }
    void deallocate(T *p, std::size_t n) noexcept { detail::free_state_bytes(p, n * sizeof(T)); }
    template <class U> void construct(U *) noexcept {}  // left to the fill that follows
    template <class U, class... Args> void construct(U *p, Args &&...args) {
        ::new (static_cast<void *>(p)) U(std::forward<Args>(args)...);
    }
    template <class U> bool operator==(const StateAllocator<U> &) const noexcept { return true; }
    template <class U> bool operator!=(const StateAllocator<U> &) const noexcept { return false; }
};

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

// Whether `bytes` fit in physical memory (always, when the platform does not tell).
bool bytes_fit(std::uint64_t bytes);

// Whether `copies` statevectors of n qubits fit in physical memory (16 bytes per amplitude).
bool states_fit(int n_qubits, unsigned copies);

}  // namespace statevector
