// The Lindblad master equation of a register under dephasing (L = sqrt(rate) n_k) and
// relaxation (L = sqrt(rate) |g><r|_k) of every atom, integrated exactly over the density
// matrix: for small spaces (dim^2 amplitudes against one state per shot) cheaper than one
// quantum-jump trajectory per shot, and free of their statistical error.
#pragma once

#include <vector>

#include "evolve.hpp"
#include "trajectory.hpp"

namespace analog {

// Density matrices of spaces of at most this many states: dim^2 work vectors must fit.
constexpr std::size_t kMostDensityMatrixStates = std::size_t(1) << 10;

// The density matrix at `duration` from all-ground, dim x dim column-major (element (i, j) at
// i + dim j). Runge-Kutta methods only, lab frame only; std::invalid_argument beyond
// kMostDensityMatrixStates states; otherwise checked as `evolve`.
std::vector<cplx> evolve_density_matrix(const AtomSpace &space, const std::vector<double> &weighted,
                                        const Drive &drive, double duration, const EvolveOptions &options,
                                        JumpRates rates, IntegrationStats *stats = nullptr,
                                        runtime::Poller *poll = nullptr);

}  // namespace analog
