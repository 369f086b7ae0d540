// The Schroedinger equation of a driven Rydberg register as a real ODE system over the
// interleaved real and imaginary parts of the amplitudes:
//
//   H(t) = sum_k Omega(t)/2 (e^{i phi(t)} |g><r|_k + h.c.) - sum_k (Delta(t) + w_k Delta_loc(t)) n_k
//          + sum_{j<k} V_jk n_j n_k
//
// In the lab frame y' = -i H(t) y. In the interaction picture the integrated vector is
// e^{i Phi(t)} psi, with Phi(t) the integral of H's diagonal from 0 to t (exact for
// piecewise-linear detunings); only the drive then moves it.
#pragma once

#include <complex>
#include <vector>

#include "runge_kutta.hpp"
#include "space.hpp"
#include "waveform.hpp"

namespace analog {

using cplx = std::complex<double>;

// The time-dependent coefficients of H at one time, or a weighted sum of those at several: the
// drive's coupling Omega/2 e^{i phi}, the global and the local detuning.
struct Coefficients {
    cplx coupling;
    double detuning = 0.0, local = 0.0;
};

// Terms of a noisy run beyond the program's Hamiltonian (lab frame only): a detuning constant
// in time per basis state (the atoms' Doppler shifts summed over its Rydberg atoms; empty:
// none), entering as -static_detuning n, and the decay of a quantum-jump trajectory's
// effective Hamiltonian, -i/2 sum_k L_k^dagger L_k = -i half_decay sum_k n_k (dephasing and
// relaxation of each atom both give its rate times n_k).
struct NoiseTerms {
    std::vector<double> static_detuning;
    double half_decay = 0.0;
};

// H's coefficients at time t.
Coefficients coefficients_at(const Drive &drive, double t);

// A Hamiltonian that the Lanczos propagator applies, on vectors of dim() amplitudes.
class LanczosOperator {
public:
    virtual ~LanczosOperator() = default;
    virtual std::size_t dim() const = 0;
    // out = -i K (scale y), K the Hamiltonian with coefficients c; returns <scale y, K scale y>
    // (real: K is Hermitian), summed in blocks so that it is the same for any number of threads.
    virtual double apply_lab_measured(const cplx *y, double scale, cplx *out, const Coefficients &c) = 0;
};

class SchrodingerSystem : public OdeSystem, public LanczosOperator {
public:
    // `weighted` holds the local-detuning weight sum of every basis state (empty: none); `noise`,
    // when given, must outlive the system and rules out the interaction picture.
    SchrodingerSystem(const AtomSpace &space, const std::vector<double> &weighted, const Drive &drive,
                      bool interaction_picture, const NoiseTerms *noise = nullptr);

    void derivative(double t, const double *y, double *dy) override;

    // Turns the integrated vector at time t into the lab-frame state, in place.
    void to_lab_frame(double t, cplx *psi) const;

    Coefficients coefficients(double t) const { return coefficients_at(drive_, t); }
    std::size_t dim() const override { return space_.dim(); }
    // out = -i H y in the lab frame, H with the given coefficients and the interactions.
    void apply_lab(const cplx *y, cplx *out, const Coefficients &c) {
        apply(y, out, c.coupling, c.detuning, c.local, true, 1.0, false);
    }
    double apply_lab_measured(const cplx *y, double scale, cplx *out, const Coefficients &c) override {
        return apply(y, out, c.coupling, c.detuning, c.local, true, scale, true);
    }

private:
    double frame_phase(std::size_t i, double t, double detuning_area, double local_area) const;
    // out = -i scale (d y + cu * (sum over raised neighbours) + conj(cu) * (sum over lowered)),
    // with d the diagonal of H at the given detunings, or 0 without `with_diagonal`. With
    // `measure`, returns scale Re <y, i out>, else 0.
    double apply(const cplx *y, cplx *out, cplx cu, double detuning, double local, bool with_diagonal, double scale,
                 bool measure);

    const AtomSpace &space_;
    const std::vector<double> &weighted_;
    const Drive &drive_;
    bool interaction_picture_;
    const NoiseTerms *noise_;
    std::vector<cplx> rotated_, frame_;  // interaction picture: e^{-i Phi} y and e^{i Phi}
};

}  // namespace analog
