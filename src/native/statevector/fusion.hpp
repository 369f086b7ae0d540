// Gate fusion: fewer passes over the state for a sequence of unconditional gates.
#pragma once

#include <vector>

#include "gate.hpp"

namespace statevector {

// The same unitary as applying `gates` in order, as fewer gates: one-qubit gates are held per
// qubit and folded into the next two-qubit gate on that qubit (or, at the end, into the last
// two-qubit gate that touched it), and consecutive two-qubit gates on the same pair are
// multiplied together. A diagonal one-qubit gate held on a target of a diagonal gate joins
// it. Consecutive diagonal gates on two or more qubits (the one-qubit gates held on other
// qubits moved before them, where they commute) are merged into one diagonal
// gate on up to six qubits, unless that would join gates on qubits from `first_local` on (which
// every chunk of a cache-blocked plan holds) with gates on earlier ones, or give the merged
// gate more than `max_high` qubits before `first_local` (more than one pass can gather). Other
// gates on three or more qubits are kept as they are.
std::vector<PreparedGate> fuse(int n_qubits, const std::vector<const PreparedGate *> &gates, int first_local = 0,
                               int max_high = 64);

}  // namespace statevector
