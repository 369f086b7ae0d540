// Turning IR gates into engine gates, and statevectors into NumPy arrays and back.
#pragma once

#include <nanobind/nanobind.h>

#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "statevector/gate.hpp"
#include "statevector/memory.hpp"
#include "statevector/plan.hpp"

namespace dense_sim {

namespace nb = nanobind;
using statevector::cplx;

// The gate's matrix from the simulator's cache (with the bindings), checked against its
// targets: out-of-range or repeated targets and a matrix of the wrong shape raise ValueError.
statevector::PreparedGate prepare_gate(nb::handle gate, nb::handle cache, nb::handle kwargs, int n_qubits);

// A target index as a C int; indices beyond int range become INT_MIN (out of range later).
int target_index(nb::handle value);

// A side x side matrix as row-major complex values; ValueError naming `owner` for another shape.
std::vector<cplx> matrix_values(nb::handle matrix, std::size_t side, nb::handle owner);

// Prepared gates of one simulator, made once per distinct matrix object (as the cache hands
// it out) and targets, together with the fused plans of gate sequences made of them. Every
// member is used with the GIL held, which serialises calls from several threads. What it
// hands out is shared: a call keeps its gates and plans alive even when another call (on
// another thread, or re-entered from Python code the call ran) makes the store forget them.
class GateStore {
public:
    // Call before a simulation: forgets everything once the store has grown large.
    void start_call();
    statevector::GateRef prepare(nb::handle gate, nb::handle cache, nb::handle kwargs, int n_qubits);
    statevector::PlanRef plan(int n_qubits, const std::vector<statevector::GateRef> &gates);

    // Garbage-collector support for the matrix objects kept as keys.
    int traverse(visitproc visit, void *arg) const;
    void clear();

private:
    struct Entry {
        nb::object matrix;  // kept so that its identity stays unique while it is a key
        statevector::GateRef gate;
    };
    // Keyed by the matrix object's address, the qubit count and the targets (store_key).
    std::unordered_map<std::string, Entry> gates_;
    statevector::PlanCache plans_;
};

// A measurement basis-change gate (H, S or Sdg on one qubit), its matrix from the cache.
statevector::PreparedGate prepare_rotation(nb::handle gate_class, nb::handle target, int qubit,
                                           nb::handle cache, int n_qubits);

// Raises MemoryError unless `copies` states of n qubits fit in memory.
void check_state_fits(int n_qubits, unsigned copies);

// A 1-D complex128 NumPy array that owns the amplitudes.
nb::object to_numpy(statevector::StateVector &&amplitudes);

// A writable view of a 1-D, C-contiguous complex128 NumPy array of `size` amplitudes.
cplx *writable_amplitudes(nb::handle array, std::size_t size);

// The circuit's n_qubits as an int in [0, 64), or a clear error.
int qubit_count(nb::handle circuit);

}  // namespace dense_sim
