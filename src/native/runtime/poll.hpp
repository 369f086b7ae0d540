// Letting long native work answer an interruption request (such as Ctrl-C) from its caller.
#pragma once

#include <chrono>
#include <functional>

namespace runtime {

// Calls `check` at most once per interval when polled; `check` throws to stop the work.
// Polling itself costs one clock read, so it can sit between gates and shots.
//
// Work that tells how far it has got (reached(), in its own units, such as simulated seconds)
// can also be reported: after report_to(report), a poll that checks calls report(done) with
// the last value reached, at most once per report interval and only when it has moved.
// What `report` throws stops the work like `check`.
class Poller {
public:
    using Clock = std::chrono::steady_clock;

    explicit Poller(std::function<void()> check, Clock::duration interval = std::chrono::milliseconds(20))
        : check_(std::move(check)), interval_(interval), next_(Clock::now() + interval) {}

    void report_to(std::function<void(double)> report, Clock::duration interval = std::chrono::milliseconds(100)) {
        report_ = std::move(report);
        report_interval_ = interval;
        next_report_ = Clock::now() + interval;
    }

    // Costs one store, so it can follow every step of the work.
    void reached(double done) { done_ = done; }

    void operator()() {
        const Clock::time_point now = Clock::now();
        if (now < next_) return;
        next_ = now + interval_;
        check_();
        if (report_ && now >= next_report_ && done_ != reported_) {
            next_report_ = now + report_interval_;
            reported_ = done_;
            report_(done_);
        }
    }

private:
    std::function<void()> check_;
    Clock::duration interval_;
    Clock::time_point next_;
    std::function<void(double)> report_;
    Clock::duration report_interval_{};
    Clock::time_point next_report_{};
    double done_ = 0.0, reported_ = 0.0;
};

}  // namespace runtime
