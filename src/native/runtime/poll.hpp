// Letting long native work answer an interruption request (such as Ctrl-C) from its caller.
#pragma once

#include <chrono>
#include <functional>

namespace runtime {

// Calls `check` at most once per interval when polled; `check` throws to stop the work.
// Polling itself costs one clock read, so it can sit between gates and shots.
class Poller {
public:
    using Clock = std::chrono::steady_clock;

    explicit Poller(std::function<void()> check, Clock::duration interval = std::chrono::milliseconds(20))
        : check_(std::move(check)), interval_(interval), next_(Clock::now() + interval) {}

    void operator()() {
        const Clock::time_point now = Clock::now();
        if (now < next_) return;
        next_ = now + interval_;
        check_();
    }

private:
    std::function<void()> check_;
    Clock::duration interval_;
    Clock::time_point next_;
};

}  // namespace runtime
