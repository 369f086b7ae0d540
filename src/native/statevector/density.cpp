#include "density.hpp"

namespace statevector {

namespace {

std::vector<int> column_qubits(int n_qubits, const std::vector<int> &targets) {
    std::vector<int> columns;
    for (int t : targets) columns.push_back(t + n_qubits);
    return columns;
}

}  // namespace

void add_density_unitary(std::vector<PreparedGate> &gates, int n_qubits, const std::vector<int> &targets,
                         const std::vector<cplx> &matrix) {
    std::vector<cplx> conjugate(matrix.size());
    for (std::size_t i = 0; i < matrix.size(); ++i) conjugate[i] = std::conj(matrix[i]);
    gates.emplace_back(2 * n_qubits, targets, matrix);
    gates.emplace_back(2 * n_qubits, column_qubits(n_qubits, targets), std::move(conjugate));
}

PreparedGate density_channel(int n_qubits, const std::vector<int> &targets,
                             const std::vector<std::vector<cplx>> &operators) {
    // Targets (rows..., columns...): the matrix index is (a, b) with a the row part, so the
    // entry ((a, b), (c, d)) is sum_j K_j[a][c] conj(K_j[b][d]).
    const std::size_t side = std::size_t(1) << targets.size(), wide = side * side;
    std::vector<cplx> matrix(wide * wide, 0.0);
    for (const std::vector<cplx> &k : operators)
        for (std::size_t a = 0; a < side; ++a)
            for (std::size_t b = 0; b < side; ++b)
                for (std::size_t c = 0; c < side; ++c)
                    for (std::size_t d = 0; d < side; ++d)
                        matrix[(a * side + b) * wide + c * side + d] += k[a * side + c] * std::conj(k[b * side + d]);
    std::vector<int> both = targets;
    for (int t : column_qubits(n_qubits, targets)) both.push_back(t);
    return PreparedGate(2 * n_qubits, std::move(both), std::move(matrix));
}

}  // namespace statevector
