// exp(-i tau H) v for a Hermitian H given by its action, by the Lanczos method: a Krylov basis
// orthogonalised in full, the exponential of the projected tridiagonal matrix from its
// eigen-decomposition, and a stop when the a-posteriori error estimate
// beta_m |e_m^T exp(-i tau T_m) e_1| ||v|| falls below the tolerance times ||v||.
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
