// Greedy left-to-right packing of a circuit's instructions into layer columns.
#pragma once

#include <nanobind/nanobind.h>

#include <vector>

#include "imports.hpp"

namespace circuitview {

// The qubits an instruction occupies: a gate's targets, a measurement's qubits, none for any
// other instruction. Collected once, so one-shot iterables are read a single time.
std::vector<nb::object> instruction_qubits(nb::handle instruction, const InstructionKinds &kinds);

// One layer index per instruction, in instruction order: 1 + the last layer used on any of
// the instruction's qubits (-1 for a qubit not used yet), 0 for an instruction without qubits.
// Qubits are keyed by value as in a dict, so out-of-range indices pack like any other.
std::vector<long long> assign_layers(nb::handle instructions, const InstructionKinds &kinds);

}  // namespace circuitview
