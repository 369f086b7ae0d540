// Density matrices as statevectors of twice the qubits.
//
// rho (2^n x 2^n, qubit 0 the most significant bit of both indices) is stored row-major, so
// entry (i, j) sits at index i 2^n + j: rows are qubits 0..n-1 and columns qubits n..2n-1 of a
// state of 2n qubits. U rho U^dagger is then U on the row qubits and conj(U) on the column
// qubits, and a channel sum_j K_j rho K_j^dagger is the one gate sum_j K_j (x) conj(K_j) on the
// targets' row and column qubits together.
#pragma once

#include <vector>

#include "gate.hpp"

namespace statevector {

// The two gates that apply U (on `targets` of n qubits) to a density matrix, appended to `gates`.
void add_density_unitary(std::vector<PreparedGate> &gates, int n_qubits, const std::vector<int> &targets,
                         const std::vector<cplx> &matrix);

// The gate that applies the channel with Kraus operators `operators` (2^k x 2^k, row-major) on
// `targets` of n qubits to a density matrix.
PreparedGate density_channel(int n_qubits, const std::vector<int> &targets,
                             const std::vector<std::vector<cplx>> &operators);

}  // namespace statevector
