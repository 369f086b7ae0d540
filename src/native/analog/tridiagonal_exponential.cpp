#include "tridiagonal_exponential.hpp"

#include <algorithm>
#include <array>
#include <cmath>

namespace analog {

namespace {

constexpr int kOrders = 18;  // Taylor terms per substep: |h (T - centre)| <= 1/2 leaves 0.5^19 / 19!

// Four-point Gauss-Legendre rule on [0, 1]: exact for the polynomial squared up to degree 7,
// and |p| is smooth on a substep whose phase turns by at most 1/2.
constexpr std::array<double, 4> kGaussNodes{0.0694318442029737, 0.3300094782075719, 0.6699905217924281,
                                            0.9305681557970263};
constexpr std::array<double, 4> kGaussWeights{0.1739274225687269, 0.3260725774312731, 0.3260725774312731,
                                              0.1739274225687269};

// exp(-i tau (T - centre)) e_1 as real and imaginary parts, the centre, and the integral over
// [0, tau] of the last component's modulus (the phase of the centre leaves it unchanged).
struct Shifted {
    std::vector<double> re, im;
    double centre;
    double last_integral;
};

Shifted shifted_exponential(const std::vector<double> &alpha, const std::vector<double> &beta, double tau) {
    const int m = int(alpha.size());
    double low = HUGE_VAL, high = -HUGE_VAL;
    for (int i = 0; i < m; ++i) {
        const double radius = (i > 0 ? beta[i - 1] : 0.0) + (i + 1 < m ? beta[i] : 0.0);
        low = std::min(low, alpha[i] - radius);
        high = std::max(high, alpha[i] + radius);
    }
    const double centre = 0.5 * (low + high), width = 0.5 * (high - low) * std::abs(tau);
    const int substeps = std::max(1, int(std::ceil(2.0 * width)));
    // Real and imaginary parts apart: T is real, each Taylor term multiplies by -i h (T - centre).
    const double h = tau / substeps;
    std::vector<double> yr(m, 0.0), yi(m, 0.0), tr(m), ti(m), nr(m), ni(m);
    // The last component of each Taylor term: the substep's polynomial in s / h.
    std::array<double, kOrders + 1> last_re{}, last_im{};
    double last_integral = 0.0;
    yr[0] = 1.0;
    for (int step = 0; step < substeps; ++step) {
        tr = yr;
        ti = yi;
        last_re[0] = yr[m - 1];
        last_im[0] = yi[m - 1];
        for (int order = 1; order <= kOrders; ++order) {
            const double f = h / order;
            for (int i = 0; i < m; ++i) {
                double ar = (alpha[i] - centre) * tr[i], ai = (alpha[i] - centre) * ti[i];
                if (i > 0) ar += beta[i - 1] * tr[i - 1], ai += beta[i - 1] * ti[i - 1];
                if (i + 1 < m) ar += beta[i] * tr[i + 1], ai += beta[i] * ti[i + 1];
                nr[i] = f * ai;  // -i f (ar + i ai)
                ni[i] = -f * ar;
            }
            tr.swap(nr);
            ti.swap(ni);
            for (int i = 0; i < m; ++i) yr[i] += tr[i], yi[i] += ti[i];
            last_re[order] = tr[m - 1];
            last_im[order] = ti[m - 1];
        }
        for (std::size_t g = 0; g < kGaussNodes.size(); ++g) {
            double pr = 0.0, pi = 0.0;
            for (int order = kOrders; order >= 0; --order) {
                pr = pr * kGaussNodes[g] + last_re[order];
                pi = pi * kGaussNodes[g] + last_im[order];
            }
            last_integral += kGaussWeights[g] * std::abs(h) * std::hypot(pr, pi);
        }
    }
    return {std::move(yr), std::move(yi), centre, last_integral};
}

}  // namespace

std::vector<std::complex<double>> tridiagonal_exponential(const std::vector<double> &alpha,
                                                          const std::vector<double> &beta, double tau) {
    const Shifted y = shifted_exponential(alpha, beta, tau);
    // The centre's phase, taken out of the series, multiplies every component.
    const std::complex<double> shift = std::exp(std::complex<double>(0.0, -tau * y.centre));
    std::vector<std::complex<double>> out(alpha.size());
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = shift * std::complex<double>(y.re[i], y.im[i]);
    return out;
}

double lanczos_error_bound(const std::vector<double> &alpha, const std::vector<double> &beta, double next,
                           double tau) {
    return next * shifted_exponential(alpha, beta, tau).last_integral;
}

}  // namespace analog
