// SimulationResult: counts and per-shot memory of a run, with the views derived from them.
#pragma once

#include <nanobind/nanobind.h>

namespace dense_sim {

namespace nb = nanobind;

struct SimulationResult {
    nb::object counts, memory, shots, n_qubits, n_cbits;

    SimulationResult(nb::handle counts, nb::handle shots, nb::handle n_qubits, nb::handle n_cbits,
                     nb::handle memory);

    static nb::list expand_counts(nb::handle counts);
    nb::object expectation(nb::handle observable) const;
    nb::dict probabilities() const;
    nb::object most_common(nb::handle n) const;
    nb::str repr() const;

    int traverse(visitproc visit, void *arg) const;
    void clear();
};

void bind_simulation_result(nb::module_ &m);

}  // namespace dense_sim
