// norvane.quantum.native_threads: the one thread limit of every native module. This module holds
// the setting; the others adopt it as they load (see support/module.cpp).
#include <nanobind/nanobind.h>

#include <algorithm>
#include <climits>
#include <stdexcept>
#include <string>

#include "runtime/parallel.hpp"
#include "support/args.hpp"
#include "support/module.hpp"

namespace nb = nanobind;

NB_MODULE(native_threads, m) {
    norvane::ModuleInitClaim claim(norvane::kThreadSettingModule);
    m.attr("_thread_setting") = nb::capsule(&runtime::thread_setting(), norvane::kThreadSettingCapsule);
    m.def(
        "set_max_threads",
        [](nb::handle value) {
            const long long threads = norvane::arg_long(value, "threads");
            if (threads < 0)
                throw std::invalid_argument("threads must be 0 (all cores) or a positive count, got " +
                                            std::to_string(threads));
            runtime::set_max_threads(unsigned(std::min<long long>(threads, UINT_MAX)));
        },
        nb::arg("threads"),
        "Limit the threads of every native engine's kernels, digital and analog (0: all cores). Results do "
        "not depend on it.");
    m.def(
        "max_threads", [] { return runtime::max_threads(); },
        "The threads native kernels may use: the limit, or the machine's cores without one.");
}
