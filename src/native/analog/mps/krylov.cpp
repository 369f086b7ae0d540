#include "krylov.hpp"

#include <algorithm>
#include <cmath>

#include "../tridiagonal_exponential.hpp"

namespace analog::mps {

namespace {

double norm(std::size_t n, const cplx *a) { return std::sqrt(dotc(int(n), a, a).real()); }

}  // namespace

int KrylovExponential::apply(const LinearMap &h, double tau, std::vector<cplx> &v, const KrylovSettings &settings) {
    const std::size_t n = v.size();
    const double beta0 = norm(n, v.data());
    if (beta0 == 0.0 || tau == 0.0) return 0;
    const int most = std::max(1, std::min<int>(settings.max_dimension, int(n)));
    std::vector<double> alpha, beta;
    // The basis vectors are the columns of basis_ (n rows), one more per step.
    basis_.resize(2 * n);
    for (std::size_t i = 0; i < n; ++i) basis_[i] = v[i] / beta0;
    int m = 0;
    while (true) {
        basis_.resize((m + 2) * n);
        const cplx *q = basis_.data() + m * n;
        cplx *w = basis_.data() + (m + 1) * n;
        h(q, w);
        alpha.push_back(dotc(int(n), q, w).real());
        // Full orthogonalisation against the basis, classical Gram-Schmidt twice: one pass
        // leaves overlaps of the order of the rounding error times the growth of w, enough to
        // let spurious copies of converged Ritz values appear over long runs; the second
        // brings them to the rounding error.
        overlaps_.resize(m + 1);
        for (int pass = 0; pass < 2; ++pass) {
            gemv(Op::adjoint, int(n), m + 1, 1.0, basis_.data(), int(n), w, 0.0, overlaps_.data());
            gemv(Op::none, int(n), m + 1, -1.0, basis_.data(), int(n), overlaps_.data(), 1.0, w);
        }
        const double next = norm(n, w);
        ++m;
        beta.push_back(next);
        // An invariant subspace (next ~ 0) makes the projection exact.
        if (m >= most || lanczos_error_bound(alpha, beta, next, tau) <= settings.tolerance) break;
        for (std::size_t i = 0; i < n; ++i) w[i] /= next;
    }
    const std::vector<cplx> c = tridiagonal_exponential(alpha, beta, tau);
    gemv(Op::none, int(n), m, beta0, basis_.data(), int(n), c.data(), 0.0, v.data());
    return m;
}

}  // namespace analog::mps
