// Quantum-jump (Monte Carlo wave function) trajectories of a register under dephasing
// (L = sqrt(dephasing) n_k) and relaxation (L = sqrt(relaxation) |g><r|_k) of every atom: the
// state evolves under the effective Hamiltonian H - i/2 sum L^dagger L without normalisation
// until its squared norm falls to a uniform draw r; then one jump, picked with probability
// ||L psi||^2 among all operators, acts, the state is normalised and a new r drawn. Averaged
// over trajectories this is the Lindblad master equation's evolution; one trajectory per shot
// samples its measurement outcomes exactly.
#pragma once

#include <cstdint>
#include <vector>

#include "evolve.hpp"

namespace analog {

struct JumpRates {
    double dephasing = 0.0, relaxation = 0.0;  // 1/s, each atom
};

// std::invalid_argument unless both rates are finite and >= 0.
void check_rates(const JumpRates &rates);

struct TrajectoryStats {
    IntegrationStats integration;
    long long jumps = 0;
};

// The normalised lab-frame state at `duration` of one trajectory from all-ground, its jumps
// drawn from `seed`. `static_detuning` holds each basis state's constant detuning (empty:
// none). Runge-Kutta methods only, lab frame only; otherwise as `evolve`.
std::vector<cplx> evolve_trajectory(const AtomSpace &space, const std::vector<double> &weighted,
                                    std::vector<double> static_detuning, const Drive &drive, double duration,
                                    const EvolveOptions &options, JumpRates rates, std::uint64_t seed,
                                    TrajectoryStats *stats = nullptr, runtime::Poller *poll = nullptr);

}  // namespace analog
