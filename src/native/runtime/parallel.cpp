#include "parallel.hpp"

#include <algorithm>
#include <atomic>
#include <system_error>
#include <thread>
#include <vector>

namespace runtime {

namespace {
ThreadSetting own_setting{0};
ThreadSetting *setting = &own_setting;
}  // namespace

ThreadSetting &thread_setting() { return *setting; }

void share_thread_setting(ThreadSetting &shared) { setting = &shared; }

void set_max_threads(unsigned threads) { *setting = threads; }

unsigned max_threads() {
    // hardware_concurrency() reads the system's CPU list on every call: ask once.
    static const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    unsigned limit = setting->load();
    return limit == 0 ? cores : limit;
}

namespace detail {

void run_split(std::size_t count, std::size_t min_grain, RangeFn fn, const void *context) {
    std::size_t parts = std::min<std::size_t>(max_threads(), count / std::max<std::size_t>(min_grain, 1));
    if (parts <= 1) {
        if (count) fn(context, 0, count);
        return;
    }
    std::vector<std::thread> workers;
    workers.reserve(parts - 1);
    std::size_t step = (count + parts - 1) / parts;
    for (std::size_t p = 1; p < parts; ++p) {
        std::size_t begin = p * step, end = std::min(count, begin + step);
        if (begin >= end) continue;
        try {
            workers.emplace_back(fn, context, begin, end);
        } catch (const std::system_error &) {
            fn(context, begin, end);  // no thread to be had: this range runs here instead
        }
    }
    fn(context, 0, std::min(count, step));
    for (auto &worker : workers) worker.join();
}

}  // namespace detail
}  // namespace runtime
