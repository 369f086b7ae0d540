// Evolution of a register from its all-ground state as a matrix-product state (TDVP: two-site
// updates where a bond can grow, one-site updates where it has reached max_bond_dim),
// for registers too large for the exact engine.
#pragma once

#include <vector>

#include "../space.hpp"
#include "../waveform.hpp"
#include "mps_state.hpp"
#include "runtime/poll.hpp"

namespace analog::mps {

struct EvolveOptions {
    double dt = 1e-8;          // time step (s); the last step is shortened to end at the duration
    int max_bond_dim = 256;    // largest bond dimension kept
    double precision = 1e-6;   // truncation: dropped singular values' norm relative to the state's
    double krylov_tolerance = 1e-12;  // Lanczos error bound allowed per exponential, relative:
                                      // results stay those of exact exponentials to some 1e-7
                                      // (errors of 1e-8 change which singular values truncations
                                      // keep, and densities by some 1e-5)
    int max_krylov_dim = 80;          // Lanczos vectors at most per exponential
};

struct EvolveStats {
    long long steps = 0;
    int max_bond_dim = 1;           // largest bond dimension reached
    double discarded_weight = 0.0;  // relative squared weight dropped by truncation, summed
    long long krylov_vectors = 0;   // effective-Hamiltonian applications
    long long capped_crossings = 0; // bonds crossed by one-site updates at max_bond_dim (Tdvp)
};

// The state at time `duration` (s) under `drive`, from all-ground. Atoms (metres, the filled
// sites only) keep the caller's order in every result; c6 in rad m^6/s; blockade_radius in
// metres (0: none; otherwise the evolution stays among states with no two Rydberg atoms
// closer than it, as in the exact engine); `weights` one local-detuning weight per atom
// (empty: none). Each step takes the drive at its midpoint. `poll` is called between site
// updates and told the time at the end of every step. std::invalid_argument for bad inputs or
// options, before any work.
MpsState evolve(const std::vector<Position> &atoms, double c6, double blockade_radius,
                const std::vector<double> &weights, const Drive &drive, double duration,
                const EvolveOptions &options = {}, EvolveStats *stats = nullptr, runtime::Poller *poll = nullptr);

}  // namespace analog::mps
