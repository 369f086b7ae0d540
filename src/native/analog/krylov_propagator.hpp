// Exact evolution by Lanczos exponentials over time steps of dt. Each step is the
// commutator-free fourth-order Magnus scheme: two exponentials of H combined at the step's two
// Gauss points, so the error falls as dt^4 (a single midpoint exponential: dt^2) for the same
// Krylov work. Steps end at every knot of the drive's waveforms, where H may bend or jump.
//
// Unlike an explicit Runge-Kutta step, an exponential is not limited by the largest energy to
// a small turn: its Krylov basis grows with the spectral width times the step. The basis is
// capped; an exponential whose error bound is not met within the cap covers the longest
// part of its step that does, and starts again from there.
#pragma once

#include <complex>

#include "runge_kutta.hpp"
#include "schrodinger.hpp"

namespace analog {

struct KrylovControl {
    double dt = 1e-8;           // seconds
    double tolerance = 1e-11;   // Lanczos error bound per exponential, relative to the norm
    int max_dimension = 30;     // Krylov vectors held at once, at most
};

// Vectors of one amplitude each that the propagator holds (the state, the Krylov basis, one
// work vector), for the memory check.
inline std::uint64_t krylov_work_vectors(const KrylovControl &control) { return std::uint64_t(control.max_dimension) + 2; }

// Replaces psi (the lab-frame state at 0, `hamiltonian.dim()` amplitudes) by the state at
// `duration`, H's coefficients following `drive`. Counts: steps (time steps), accepted
// (exponentials, restarts included), evaluations (products with H). `poll` as for the
// integrators.
IntegrationStats integrate_krylov(LanczosOperator &hamiltonian, const Drive &drive, double duration,
                                  std::complex<double> *psi, const KrylovControl &control,
                                  runtime::Poller *poll = nullptr);

}  // namespace analog
