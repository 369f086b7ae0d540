// Splitting loops over threads, under one thread limit.
//
// Threads are started per call and joined before it returns, so no pool outlives a call and a
// process that has simulated can still fork. Work is split into index ranges only; every
// kernel computes each output from the same inputs in the same order whatever the split, so
// results are bit-identical for any thread count.
#pragma once

#include <atomic>
#include <cstddef>

namespace runtime {

// Upper bound on threads used by parallel_for; 0 means the hardware concurrency.
void set_max_threads(unsigned threads);
// The threads parallel_for may use: the bound, or the hardware concurrency without one.
unsigned max_threads();

// The variable that holds the bound.
using ThreadSetting = std::atomic<unsigned>;
// The setting this copy of the library reads and writes.
ThreadSetting &thread_setting();
// Makes this copy of the library read and write `shared` from now on; call it before any work
// of its users. Every extension module links its own copy of this library, so each starts
// with a setting of its own: a module adopts the process's one setting when it loads (see
// support/module.cpp).
void share_thread_setting(ThreadSetting &shared);

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

}  // namespace runtime
