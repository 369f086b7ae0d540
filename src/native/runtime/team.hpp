// Helper threads kept for the life of one object, for loops too short to pay for starting
// threads on every call (parallel_for): started on first use, they wait for the next loop
// spinning for a while, then asleep, and are joined when the team is destroyed, so no thread
// outlives the computation that owns the team.
//
// Indices are handed out one at a time to whichever thread is free: a body that computes each
// index's outputs from its inputs alone gives the same bits for any thread count.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <thread>
#include <vector>

namespace runtime {

class Team {
public:
    // Up to max_threads() threads, the caller's included, read when the helpers start.
    Team() = default;
    ~Team();
    Team(const Team &) = delete;
    Team &operator=(const Team &) = delete;

    // Calls body(i) once for every i in [0, count) and returns when all calls are done; one
    // index, or a limit of one thread, runs on the caller alone. Exceptions are not allowed in body.
    template <class Body>
    void run(std::size_t count, const Body &body) {
        run_indices(
            count, [](const void *context, std::size_t i) { (*static_cast<const Body *>(context))(i); }, &body);
    }

private:
    using IndexFn = void (*)(const void *context, std::size_t i);
    void run_indices(std::size_t count, IndexFn fn, const void *context);
    void start();
    void serve();
    void take_indices();
    bool join(unsigned long long generation);

    std::vector<std::thread> helpers_;
    bool started_ = false;
    // The current loop, published by a new generation in state_. state_ holds the generation
    // (high 32 bits), a closed flag (bit 31) and the helpers at work on it (low bits): a helper
    // joins only an open loop, so the caller, once every index is taken, closes it and waits
    // for those that joined, never for one that has not woken yet.
    IndexFn fn_ = nullptr;
    const void *context_ = nullptr;
    std::size_t count_ = 0;
    std::atomic<std::size_t> next_{0};
    std::atomic<unsigned long long> state_{0};
    std::atomic<unsigned> sleeping_{0};
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::condition_variable wake_;
};

}  // namespace runtime
