// exp(-i tau T) e_1 for the real symmetric tridiagonal matrices of Lanczos methods, by Taylor
// series over substeps of norm at most 1/2 about the centre of T's Gershgorin interval: O(m)
// work per substep, cheap enough to run after every Lanczos step for the error estimate.
#pragma once

#include <complex>
#include <vector>

namespace analog {

// T has diagonal `alpha` (m entries) and off-diagonal `beta` (its first m - 1 entries are used).
std::vector<std::complex<double>> tridiagonal_exponential(const std::vector<double> &alpha,
                                                          const std::vector<double> &beta, double tau);

// The Lanczos error estimate of exp(-i tau H) v over the m-vector basis whose next off-diagonal
// entry is `next` (beta_m): next |e_m^T exp(-i tau T_m) e_1|, relative to ||v||.
double lanczos_error_estimate(const std::vector<double> &alpha, const std::vector<double> &beta, double next,
                              double tau);

}  // namespace analog
