// A quantum channel on some qubits of a statevector, for trajectories: a mixture of unitaries,
// whose term is drawn independently of the state, or general Kraus operators K_j, drawn with
// the probabilities ||K_j psi||^2 of the state at hand.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "gate.hpp"
#include "measure.hpp"
#include "memory.hpp"

namespace statevector {

class NoiseChannel {
public:
    // Terms p_j U_j; an empty matrix is the identity. Throws std::invalid_argument for
    // probabilities that are negative, not finite or sum to zero, and for unitaries the wrong
    // size for the targets.
    static NoiseChannel mixture(int n_qubits, std::vector<int> targets, const std::vector<double> &probabilities,
                                const std::vector<std::vector<cplx>> &unitaries);
    // Kraus operators (2^k x 2^k, row-major) on k targets.
    static NoiseChannel kraus(int n_qubits, std::vector<int> targets, const std::vector<std::vector<cplx>> &operators);

    bool is_mixture() const { return mixture_; }
    const std::vector<int> &targets() const { return targets_; }
    std::size_t terms() const { return gates_.size(); }

    // A mixture's term for a uniform variate u in [0, 1), inverted as a weighted choice
    // inverts it (cumulative sum divided by its last entry, searched to the right).
    std::size_t draw_term(double u) const { return sample_index(cdf_, u); }
    bool is_identity(std::size_t term) const { return !gates_[term]; }

    // A general channel's distribution over its operators for the normalised state psi
    // (cumulative, as draw_term's); false when the probabilities are undefined.
    bool operator_distribution(const cplx *psi, Distribution &cdf) const;

    // Applies term `term` (a mixture's unitary, or a Kraus operator renormalised) in place.
    void apply(std::size_t term, cplx *psi) const;

private:
    NoiseChannel(int n_qubits, std::vector<int> targets) : n_qubits_(n_qubits), targets_(std::move(targets)) {}

    int n_qubits_;
    std::vector<int> targets_;
    bool mixture_ = false;
    Distribution cdf_;                                // a mixture's cumulative probabilities
    std::vector<std::optional<PreparedGate>> gates_;  // empty for a mixture's identity terms
    std::vector<std::vector<cplx>> grams_;            // K_j^dagger K_j of a general channel
};

// The matrix rho_{ab} = sum over the other qubits of psi_a conj(psi_b) of the targets of
// `targets` (2^k x 2^k, row-major, the first target most significant).
std::vector<cplx> reduced_density(const cplx *psi, int n_qubits, const std::vector<int> &targets);

}  // namespace statevector
