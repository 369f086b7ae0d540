// The allocator of statevectors and of the tables their kernels read.
#pragma once

#include <cstddef>
#include <new>
#include <utility>

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

}  // namespace statevector
