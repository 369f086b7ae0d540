// Gate fusion: fewer passes over the state for a sequence of unconditional gates.
#pragma once

#include <vector>

#include "gate.hpp"

namespace statevector {

// The same unitary as applying `gates` in order, as fewer gates: one-qubit gates are held per
// qubit and folded into the next two-qubit gate on that qubit (or, at the end, into the last
// two-qubit gate that touched it), and consecutive two-qubit gates on the same pair are
// multiplied together. Consecutive diagonal gates on two or more qubits (the one-qubit gates
// held on other qubits moved before them, where they commute) are merged into one diagonal
// gate on up to six qubits, unless that would join gates on qubits from `first_local` on (which
// a cache-blocked plan applies chunk by chunk) with gates on earlier ones (full passes over the
// state). Neighbouring one-qubit gates on two qubits before `first_local` become one two-qubit
// gate (one full pass instead of two). Other gates on three or more qubits are kept as they are.
std::vector<PreparedGate> fuse(int n_qubits, const std::vector<const PreparedGate *> &gates, int first_local = 0,
                               int max_high = 64);

}  // namespace statevector
