// exp(-i tau H) v for a Hermitian H given by its action, by the Lanczos method: a Krylov basis
// orthogonalised in full, the exponential of the projected tridiagonal matrix and the stop
// of the exact engine's propagator (../tridiagonal_exponential.hpp): when the error bound
//   beta_m int_0^tau |e_m^T exp(-i s T_m) e_1| ds ||v||
// falls below the tolerance times ||v||. The approximation y(s) = V_m exp(-i s T_m) e_1 ||v||
// solves y' = -i H y up to the residual i beta_m v_{m+1} e_m^T exp(-i s T_m) e_1 ||v||, whose
// norm, integrated over the step, bounds the error (H V_m = V_m T_m + beta_m v_{m+1} e_m^T).
#pragma once

#include <functional>
#include <vector>

#include "linalg.hpp"

namespace analog::mps {

struct KrylovSettings {
    double tolerance = 1e-10;  // relative to ||v||
    int max_dimension = 80;     // Krylov vectors at most; the last estimate stands beyond it
};

// out = H in for vectors of the given size.
using LinearMap = std::function<void(const cplx *in, cplx *out)>;

class KrylovExponential {
public:
    // Replaces v (size n) by exp(-i tau H) v; returns the Krylov dimension used.
    int apply(const LinearMap &h, double tau, std::vector<cplx> &v, const KrylovSettings &settings);

private:
    std::vector<cplx> basis_, overlaps_;  // kept between calls
};

}  // namespace analog::mps
