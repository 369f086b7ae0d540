#include "krylov.hpp"

#include <algorithm>
#include <cmath>

#include "analog/tridiagonal_exponential.hpp"

namespace analog::mps {

namespace {

cplx dot(const std::vector<cplx> &a, const std::vector<cplx> &b) { return dotc(int(a.size()), a.data(), b.data()); }

double norm(const std::vector<cplx> &a) { return std::sqrt(dot(a, a).real()); }

// y += v x.
void axpy(cplx v, const std::vector<cplx> &x, std::vector<cplx> &y) { add_scaled(int(x.size()), v, x.data(), y.data()); }

// c = exp(-i tau T) e_1 from the eigen-decomposition of T.
std::vector<cplx> small_exponential(const std::vector<double> &alpha, const std::vector<double> &beta, double tau) {
    const int m = int(alpha.size());
    std::vector<double> d = alpha, z;
    tridiagonal_eigen(d, std::vector<double>(beta.begin(), beta.begin() + (m - 1)), z);
    std::vector<cplx> c(m, 0.0);
    for (int p = 0; p < m; ++p) {
        const cplx weight = std::exp(cplx(0.0, -tau * d[p])) * z[std::size_t(m) * p];
        for (int i = 0; i < m; ++i) c[i] += weight * z[i + std::size_t(m) * p];
    }
    return c;
}

}  // namespace

int KrylovExponential::apply(const LinearMap &h, double tau, std::vector<cplx> &v, const KrylovSettings &settings) {
    const std::size_t n = v.size();
    const double beta0 = norm(v);
    if (beta0 == 0.0 || tau == 0.0) return 0;
    const int most = std::max(1, std::min<int>(settings.max_dimension, int(n)));
    if (int(basis_.size()) < most + 1) basis_.resize(most + 1);
    std::vector<double> alpha, beta;
    basis_[0].resize(n);
    for (std::size_t i = 0; i < n; ++i) basis_[0][i] = v[i] / beta0;
    int m = 0;
    while (true) {
        std::vector<cplx> &q = basis_[m], &w = basis_[m + 1];
        w.resize(n);
        h(q.data(), w.data());
        alpha.push_back(dot(q, w).real());
        // Full orthogonalisation against the basis, twice: one classical Gram-Schmidt pass
        // leaves overlaps of the order of the rounding error times the growth of w, enough to
        // let spurious copies of converged Ritz values appear over long runs.
        for (int pass = 0; pass < 2; ++pass)
            for (int j = 0; j <= m; ++j) axpy(-dot(basis_[j], w), basis_[j], w);
        const double next = norm(w);
        ++m;
        beta.push_back(next);
        // An invariant subspace (next ~ 0) makes the projection exact.
        if (m >= most || lanczos_error_estimate(alpha, beta, next, tau) <= settings.tolerance) break;
        for (std::size_t i = 0; i < n; ++i) w[i] /= next;
    }
    const std::vector<cplx> c = small_exponential(alpha, beta, tau);
    std::fill(v.begin(), v.end(), cplx(0.0));
    for (int j = 0; j < m; ++j) axpy(beta0 * c[j], basis_[j], v);
    return m;
}

}  // namespace analog::mps
