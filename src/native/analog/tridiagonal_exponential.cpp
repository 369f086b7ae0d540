#include "tridiagonal_exponential.hpp"

#include <algorithm>
#include <cmath>

namespace analog {

namespace {

// exp(-i tau (T - centre)) e_1 as real and imaginary parts, and the centre.
struct Shifted {
    std::vector<double> re, im;
    double centre;
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
    yr[0] = 1.0;
    for (int step = 0; step < substeps; ++step) {
        tr = yr;
        ti = yi;
        for (int order = 1; order <= 18; ++order) {
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
        }
    }
    return {std::move(yr), std::move(yi), centre};
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

double lanczos_error_estimate(const std::vector<double> &alpha, const std::vector<double> &beta, double next,
                              double tau) {
    const Shifted y = shifted_exponential(alpha, beta, tau);
    return next * std::hypot(y.re.back(), y.im.back());
}

}  // namespace analog
