#include "team.hpp"

#include <chrono>
#include <system_error>

#include "parallel.hpp"

namespace runtime {

namespace {

// How long an idle helper spins before it sleeps: longer than the gaps between the loops of a
// typical caller (a waking thread costs tens of microseconds), short enough not to hold a core
// through long serial stretches.
constexpr std::chrono::microseconds kSpin{200};

// Fields of Team::state_.
constexpr unsigned long long kClosed = 1ull << 31, kWorkers = kClosed - 1;
unsigned long long generation_of(unsigned long long state) { return state >> 32; }

}  // namespace

Team::~Team() {
    if (helpers_.empty()) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_.store(true);
    }
    wake_.notify_all();
    for (std::thread &helper : helpers_) helper.join();
}

void Team::start() {
    started_ = true;
    const unsigned threads = max_threads();
    for (unsigned t = 1; t < threads; ++t) {
        try {
            helpers_.emplace_back([this] { serve(); });
        } catch (const std::system_error &) {
            break;  // no more threads to be had: the loops run on those there are
        }
    }
}

void Team::take_indices() {
    for (std::size_t i = next_.fetch_add(1); i < count_; i = next_.fetch_add(1)) fn_(context_, i);
}

bool Team::join(unsigned long long generation) {
    unsigned long long state = state_.load();
    while (generation_of(state) == generation && !(state & kClosed))
        if (state_.compare_exchange_weak(state, state + 1)) return true;
    return false;
}

void Team::serve() {
    unsigned long long seen = 0;
    while (true) {
        // Spin, then sleep, until a new loop is published or the team stops.
        const auto until = std::chrono::steady_clock::now() + kSpin;
        int polls = 0;
        while (generation_of(state_.load()) == seen && !stop_.load()) {
            if (++polls % 64 == 0 && std::chrono::steady_clock::now() > until) {
                std::unique_lock<std::mutex> lock(mutex_);
                sleeping_.fetch_add(1);
                wake_.wait(lock, [&] { return generation_of(state_.load()) != seen || stop_.load(); });
                sleeping_.fetch_sub(1);
            }
        }
        if (stop_.load()) return;
        seen = generation_of(state_.load());
        if (!join(seen)) continue;  // that loop is done already
        take_indices();
        state_.fetch_sub(1);
    }
}

void Team::run_indices(std::size_t count, IndexFn fn, const void *context) {
    if (count == 0) return;
    if (!started_ && count > 1) start();
    if (count == 1 || helpers_.empty()) {
        for (std::size_t i = 0; i < count; ++i) fn(context, i);
        return;
    }
    fn_ = fn, context_ = context, count_ = count;
    next_.store(0);
    state_.store((generation_of(state_.load()) + 1) << 32);
    if (sleeping_.load() > 0) {
        std::lock_guard<std::mutex> lock(mutex_);  // a helper between its check and its wait holds it
        wake_.notify_all();
    }
    take_indices();
    // Every index is taken: no helper joins from now on; wait for those at work.
    state_.fetch_or(kClosed);
    for (int polls = 0; state_.load() & kWorkers; ++polls)
        if (polls > 1000) std::this_thread::yield();
}

}  // namespace runtime
