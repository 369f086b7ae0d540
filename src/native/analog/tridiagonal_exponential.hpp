// exp(-i tau T) e_1 for the real symmetric tridiagonal matrices of Lanczos methods, by Taylor
// series over substeps of norm at most 1/2 about the centre of T's Gershgorin interval: O(m)
// work per substep, cheap enough to run after every Lanczos step for the error bound.
#pragma once

#include <complex>
#include <vector>

namespace analog {

// T has diagonal `alpha` (m entries) and off-diagonal `beta` (its first m - 1 entries are used).
std::vector<std::complex<double>> tridiagonal_exponential(const std::vector<double> &alpha,
                                                          const std::vector<double> &beta, double tau);

// The Lanczos error bound of exp(-i tau H) v over the m-vector basis whose next off-diagonal
// entry is `next` (beta_m), relative to ||v||: next int_0^tau |e_m^T exp(-i s T_m) e_1| ds.
// The approximation y(s) = V_m exp(-i s T_m) e_1 ||v|| solves y' = -i H y up to a residual of
// that integrand's norm (H V_m = V_m T_m + beta_m v_{m+1} e_m^T), so the error at tau is at
// most its integral. tau is a time, next an energy: the bound is a pure number.
double lanczos_error_bound(const std::vector<double> &alpha, const std::vector<double> &beta, double next,
                           double tau);

}  // namespace analog
