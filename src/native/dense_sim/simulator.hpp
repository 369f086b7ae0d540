// DigitalDenseSimulator: exact shot-based and statevector simulation of a digital circuit.
#pragma once

#include <nanobind/nanobind.h>

#include <memory>

#include "gates.hpp"

namespace dense_sim {

namespace nb = nanobind;

struct DigitalDenseSimulator {
    nb::object circuit, rng, cache;
    nb::object noise;     // a NoiseModel or None
    nb::object run_lock;  // a re-entrant lock: runs on one simulator take turns
    std::unique_ptr<GateStore> gates = std::make_unique<GateStore>();

    DigitalDenseSimulator(nb::handle circuit, nb::handle seed, nb::handle noise);
    // An unpickled simulator: the given generator (its state continues the stream) and cache,
    // with a lock and gate store of its own.
    DigitalDenseSimulator(nb::handle circuit, nb::handle rng, nb::handle cache, nb::handle noise);

    nb::object run(nb::handle shots, nb::kwargs kwargs);
    nb::object statevector(nb::kwargs kwargs);
    nb::object density_matrix(nb::kwargs kwargs);
    nb::object init_state();
    nb::object apply_gate(nb::handle state, nb::handle gate, nb::kwargs kwargs);
    void apply_measurement(nb::handle state, nb::handle meas, nb::handle cbits);

    int traverse(visitproc visit, void *arg) const;
    void clear();
};

void bind_simulator(nb::module_ &m, nb::handle result_class);

}  // namespace dense_sim
