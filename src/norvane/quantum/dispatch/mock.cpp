// norvane.quantum.dispatch.mock: a dispatch back end that fabricates shot readouts and keeps
// them in a state file, and the fabricating function on its own.
#include <nanobind/nanobind.h>

#include "mock/mock.hpp"
#include "support/module.hpp"

namespace nb = nanobind;

NB_MODULE(mock, m) {
    norvane::ModuleInitClaim claim("norvane.quantum.dispatch.mock");
    mock::load_imports(m);
    m.def("simulate_job_results", &mock::simulate_job_results, nb::arg("task").none(),
          nb::arg("p_full").none() = 0.99, nb::arg("p_empty").none() = 0.01,
          "Fabricated results of job specification `task`: in each of task.nshots shots, site i\n"
          "loads (pre_sequence 1) with probability p_full where task.lattice.filling[i] == 1 and\n"
          "p_empty elsewhere, and a loaded site still reads 1 after the sequence (post_sequence)\n"
          "with probability one half. Every call draws from a new generator seeded from fresh\n"
          "entropy. Returns a Completed NrvJobResults.");
    mock::bind_backend(m);
}
