// Splitting amplitude loops over threads.
//
// Threads are started per call and joined before it returns, so no pool outlives a call and a
// process that has simulated can still fork. Work is split into index ranges only; every
// kernel computes each output from the same inputs in the same order whatever the split, so
// results are bit-identical for any thread count.
#pragma once

#include <cstddef>

namespace statevector {

// The least work worth a thread of its own, about 100 microseconds: starting and joining a
// thread takes tens of microseconds on a virtual machine, so a smaller range runs faster on the
// calling thread. That is a loop over this many amplitudes of a state that is not in cache...
constexpr std::size_t kStreamedPerThread = std::size_t(1) << 18;
// ...or this many amplitude updates (gates times amplitudes) of gates on a chunk in cache.
constexpr std::size_t kCachedUpdatesPerThread = std::size_t(1) << 20;

// Upper bound on threads used by kernels; 0 means the hardware concurrency.
void set_max_threads(unsigned threads);
unsigned max_threads();

// Calls body(begin, end) over disjoint ranges covering [0, count). Ranges are processed on
// several threads only when count / min_grain allows; exceptions are not allowed in body.
template <class Body>
void parallel_for(std::size_t count, std::size_t min_grain, const Body &body);

namespace detail {
using RangeFn = void (*)(const void *context, std::size_t begin, std::size_t end);
void run_split(std::size_t count, std::size_t min_grain, RangeFn fn, const void *context);
}  // namespace detail

template <class Body>
void parallel_for(std::size_t count, std::size_t min_grain, const Body &body) {
    detail::run_split(
        count, min_grain,
        [](const void *context, std::size_t begin, std::size_t end) {
            (*static_cast<const Body *>(context))(begin, end);
        },
        &body);
}

}  // namespace statevector
