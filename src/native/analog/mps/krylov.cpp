#include "krylov.hpp"

#include <algorithm>
#include <cmath>

namespace analog::mps {

namespace {

double norm(std::size_t n, const cplx *a) { return std::sqrt(dotc(int(n), a, a).real()); }

// T_m = Z diag(d) Z^T, Z column-major (m x m).
struct Eigen {
    std::vector<double> d, z;
};

Eigen eigen(const std::vector<double> &alpha, const std::vector<double> &beta) {
    Eigen out{alpha, {}};
    tridiagonal_eigen(out.d, std::vector<double>(beta.begin(), beta.begin() + (alpha.size() - 1)), out.z);
    return out;
}

// int_0^|tau| |e_m^T exp(-i s T_m) e_1| ds by the midpoint rule, e_m^T exp(-i s T_m) e_1 =
// sum_p z[m, p] z[1, p] exp(-i s d_p). The 4 m + 8 nodes follow the phases s d_p: by the time
// the bound is small, |tau| times the spread of the d_p is at most a few times m.
double last_component_integral(const Eigen &t, double tau) {
    const int m = int(t.d.size()), nodes = 8 + 4 * m;
    const double h = std::abs(tau) / nodes;
    std::vector<cplx> weight(m), turn(m);
    for (int p = 0; p < m; ++p) {
        weight[p] = t.z[std::size_t(m) * p] * t.z[m - 1 + std::size_t(m) * p] * std::exp(cplx(0.0, -0.5 * h * t.d[p]));
        turn[p] = std::exp(cplx(0.0, -h * t.d[p]));
    }
    double sum = 0.0;
    for (int q = 0; q < nodes; ++q) {
        cplx c = 0.0;
        for (int p = 0; p < m; ++p) {
            c += weight[p];
            weight[p] *= turn[p];
        }
        sum += std::abs(c);
    }
    return sum * h;
}

// c = exp(-i tau T) e_1 from the eigen-decomposition of T.
std::vector<cplx> small_exponential(const Eigen &t, double tau) {
    const int m = int(t.d.size());
    std::vector<cplx> c(m, 0.0);
    for (int p = 0; p < m; ++p) {
        const cplx weight = std::exp(cplx(0.0, -tau * t.d[p])) * t.z[std::size_t(m) * p];
        for (int i = 0; i < m; ++i) c[i] += weight * t.z[i + std::size_t(m) * p];
    }
    return c;
}

}  // namespace

int KrylovExponential::apply(const LinearMap &h, double tau, std::vector<cplx> &v, const KrylovSettings &settings) {
    const std::size_t n = v.size();
    const double beta0 = norm(n, v.data());
    if (beta0 == 0.0 || tau == 0.0) return 0;
    const int most = std::max(1, std::min<int>(settings.max_dimension, int(n)));
    std::vector<double> alpha, beta;
    Eigen t;
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
        t = eigen(alpha, beta);
        // An invariant subspace (next ~ 0) makes the projection exact.
        if (m >= most || next * last_component_integral(t, tau) <= settings.tolerance) break;
        for (std::size_t i = 0; i < n; ++i) w[i] /= next;
    }
    const std::vector<cplx> c = small_exponential(t, tau);
    gemv(Op::none, int(n), m, beta0, basis_.data(), int(n), c.data(), 0.0, v.data());
    return m;
}

}  // namespace analog::mps
