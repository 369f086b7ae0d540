// norvane.quantum.simulator.digital.dense_sim: the statevector simulator and its result.
#include <nanobind/nanobind.h>

#include "dense_sim/imports.hpp"
#include "dense_sim/simulation_result.hpp"
#include "dense_sim/simulator.hpp"
#include "runtime/parallel.hpp"
#include "statevector/shots.hpp"
#include "support/module.hpp"

namespace nb = nanobind;

NB_MODULE(dense_sim, m) {
    norvane::ModuleInitClaim claim("norvane.quantum.simulator.digital.dense_sim");
    dense_sim::load_imports();
    dense_sim::bind_simulation_result(m);
    dense_sim::bind_simulator(m, m.attr("SimulationResult"));
    m.def(
        "_set_max_threads", [](unsigned threads) { runtime::set_max_threads(threads); }, nb::arg("threads"),
        "Limit the threads of every native engine's kernels, the analog emulator's too (0: all cores); the "
        "setting of norvane.quantum.native_threads.set_max_threads. Results do not depend on it.");
    m.def(
        "_set_branch_memory_budget", [](std::uint64_t bytes) { statevector::set_branch_memory_budget(bytes); },
        nb::arg("bytes"),
        "Bytes of outcome-branch states a run may keep (beyond the first); results do not depend on it.");
    nb::list exports;
    exports.append("DigitalDenseSimulator");
    exports.append("SimulationResult");
    m.attr("__all__") = exports;
}
