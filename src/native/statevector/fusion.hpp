// Gate fusion: fewer passes over the state for a sequence of unconditional gates.
#pragma once

#include <vector>

#include "gate.hpp"

namespace statevector {

// The same unitary as applying `gates` in order, as fewer gates: one-qubit gates are held per
// qubit and folded into the next two-qubit gate on that qubit (or, at the end, into the last
// two-qubit gate that touched it), and consecutive two-qubit gates on the same pair are
// multiplied together. Gates on three or more qubits are kept as they are.
std::vector<PreparedGate> fuse(int n_qubits, const std::vector<const PreparedGate *> &gates);

}  // namespace statevector
