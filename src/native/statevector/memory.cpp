#include "memory.hpp"

#include <cstring>
#include <new>

#include "runtime/memory.hpp"
#include "runtime/parallel.hpp"

#if !defined(_WIN32)
#include <sys/mman.h>
#endif

namespace statevector {

namespace {

constexpr std::size_t kHugePage = std::size_t(2) << 20;
constexpr std::size_t kCacheLine = 64;
// Threads fill states in ranges of this many amplitudes at least: a fill of fresh memory is
// bound by page faults, which a second thread slows down below about 16 MiB.
constexpr std::size_t kFillGrain = std::size_t(1) << 20;

std::align_val_t alignment(std::size_t bytes) { return std::align_val_t(bytes >= kHugePage ? kHugePage : kCacheLine); }

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
    runtime::parallel_for(amplitudes, kFillGrain, [&](std::size_t begin, std::size_t end) {
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
    runtime::parallel_for(state.size(), kFillGrain, [&](std::size_t begin, std::size_t end) {
        std::memcpy(static_cast<void *>(to + begin), from + begin, (end - begin) * sizeof(cplx));
    });
    return copy;
}

bool states_fit(int n_qubits, unsigned copies) {
    if (n_qubits < 0 || n_qubits > 50) return false;
    const std::uint64_t bytes = (std::uint64_t(16) << n_qubits) * copies;
    const std::uint64_t available = runtime::physical_memory_bytes();
    return available == 0 ? n_qubits <= 34 : bytes <= available;
}

}  // namespace statevector
