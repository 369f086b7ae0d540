#include "krylov.hpp"

#include <cmath>

namespace analog::mps {

namespace {

cplx dot(const std::vector<cplx> &a, const std::vector<cplx> &b) {  // <a|b>
    double re = 0.0, im = 0.0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        re += a[i].real() * b[i].real() + a[i].imag() * b[i].imag();
        im += a[i].real() * b[i].imag() - a[i].imag() * b[i].real();
    }
    return {re, im};
}

double norm(const std::vector<cplx> &a) { return std::sqrt(dot(a, a).real()); }

// c = exp(-i tau T) e_1 for the tridiagonal T (diagonal alpha, off-diagonal beta).
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
    std::vector<cplx> c;
    basis_[0].resize(n);
    for (std::size_t i = 0; i < n; ++i) basis_[0][i] = v[i] / beta0;
    int m = 0;
    while (true) {
        std::vector<cplx> &q = basis_[m], &w = basis_[m + 1];
        w.resize(n);
        h(q.data(), w.data());
        alpha.push_back(dot(q, w).real());
        // Full orthogonalisation against the basis (twice would be the classical remedy; once
        // suffices at the short lengths used here).
        for (int j = 0; j <= m; ++j) {
            const cplx overlap = dot(basis_[j], w);
            const std::vector<cplx> &b = basis_[j];
            for (std::size_t i = 0; i < n; ++i) w[i] -= overlap * b[i];
        }
        const double next = norm(w);
        ++m;
        c = small_exponential(alpha, beta.empty() ? std::vector<double>{0.0} : beta, tau);
        const double error = next * std::abs(c[m - 1]);
        // An invariant subspace (next ~ 0) makes the projection exact.
        if (error <= settings.tolerance || m >= most || m >= int(n)) break;
        beta.push_back(next);
        for (std::size_t i = 0; i < n; ++i) w[i] /= next;
    }
    for (std::size_t i = 0; i < n; ++i) v[i] = 0.0;
    for (int j = 0; j < m; ++j) {
        const cplx weight = beta0 * c[j];
        const std::vector<cplx> &b = basis_[j];
        for (std::size_t i = 0; i < n; ++i) v[i] += weight * b[i];
    }
    return m;
}

}  // namespace analog::mps
