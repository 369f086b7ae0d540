#include "krylov_propagator.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

#include "tridiagonal_exponential.hpp"
#include "vector_ops.hpp"

namespace analog {

namespace {

// The Gauss points of a step and the weights of the scheme's two exponentials (Blanes and
// Moan): U = exp(-i h (w1 H1 + w2 H2)) exp(-i h (w2 H1 + w1 H2)), the right factor first.
const double kSqrt3 = std::sqrt(3.0);
const double kNode1 = 0.5 - kSqrt3 / 6, kNode2 = 0.5 + kSqrt3 / 6;
const double kWeight1 = (3 - 2 * kSqrt3) / 12, kWeight2 = (3 + 2 * kSqrt3) / 12;

// a H(t1) + b H(t2) = (a + b) K with K's interactions at full weight: K's coefficients.
Coefficients blend(const Coefficients &first, const Coefficients &second, double a, double b) {
    const double s = a + b;
    return {(a * first.coupling + b * second.coupling) / s, (a * first.detuning + b * second.detuning) / s,
            (a * first.local + b * second.local) / s};
}

// The times where steps must end: 0, every knot inside (0, duration), and duration.
std::vector<double> step_boundaries(const Drive &drive, double duration) {
    std::vector<double> times{0.0, duration};
    for (const Waveform *w : {&drive.amplitude, &drive.phase, &drive.detuning, &drive.local_detuning})
        for (double t : w->knots())
            if (t > 0 && t < duration) times.push_back(t);
    std::sort(times.begin(), times.end());
    times.erase(std::unique(times.begin(), times.end()), times.end());
    return times;
}

class Lanczos {
public:
    Lanczos(SchrodingerSystem &system, std::size_t dim, const KrylovControl &control, IntegrationStats &stats,
            runtime::Poller *poll)
        : system_(system), dim_(dim), control_(control), stats_(stats), poll_(poll) {}

    // psi <- exp(-i tau K) psi, K the Hamiltonian with coefficients c.
    void exponential(const Coefficients &c, double tau, cplx *psi) {
        double done = 0.0;
        while (done < tau) done += advance(c, tau, tau - done, psi);
    }

private:
    // Advances psi under K by as much of `remaining` as one Krylov basis covers; returns that time.
    double advance(const Coefficients &c, double tau, double remaining, cplx *psi) {
        ++stats_.accepted;
        const double norm = std::sqrt(sum_of([&](std::size_t i) { return std::norm(psi[i]); }));
        if (norm == 0.0) return remaining;
        resize(0);
        for_range(dim_, [&](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i) basis_[0][i] = psi[i] / norm;
        });
        std::vector<double> alpha, beta;
        const auto acceptable = [&](double next, double s) {
            return lanczos_error_estimate(alpha, beta, next, s) <= control_.tolerance * (s / tau);
        };
        double covered = remaining;
        for (int m = 0;; ++m) {
            resize(m + 1);
            const double next = lanczos_step(c, m, alpha, beta);
            if (acceptable(next, remaining)) break;
            if (m + 1 == control_.max_dimension) {
                covered = longest_acceptable(remaining, [&](double s) { return acceptable(next, s); });
                break;
            }
            beta.push_back(next);
            const double scale = 1.0 / next;
            cplx *q = basis_[m + 1].data();
            for_range(dim_, [&](std::size_t begin, std::size_t end) {
                ANALOG_NO_ALIAS
                for (std::size_t i = begin; i < end; ++i) q[i] *= scale;
            });
        }
        combine_basis(tridiagonal_exponential(alpha, beta, covered), norm, psi);
        return covered;
    }

    // One Lanczos step from basis vector m: alpha_m and the unnormalised next vector, stored as
    // basis vector m + 1; returns its norm.
    double lanczos_step(const Coefficients &c, int m, std::vector<double> &alpha, const std::vector<double> &beta) {
        const cplx *q = basis_[m].data(), *previous = m > 0 ? basis_[m - 1].data() : nullptr;
        cplx *w = basis_[m + 1].data();
        system_.apply_lab(q, w, c);  // w = -i K q
        ++stats_.evaluations;
        if (poll_) (*poll_)();
        // K q = i w; alpha = <q, K q>.
        const double a = sum_of([&](std::size_t i) { return q[i].real() * -w[i].imag() + q[i].imag() * w[i].real(); });
        alpha.push_back(a);
        const double b = m > 0 ? beta[m - 1] : 0.0;
        const std::array<double, 1> squared = blocked_sums<1>(dim_, [&](std::size_t i, std::array<double, 1> &acc) {
            cplx r = cplx(-w[i].imag(), w[i].real()) - a * q[i];
            if (previous) r -= b * previous[i];
            w[i] = r;
            acc[0] += std::norm(r);
        });
        return std::sqrt(squared[0]);
    }

    // The longest s in (0, remaining] that `ok` accepts, to a few per cent, by bisection.
    static double longest_acceptable(double remaining, const std::function<bool(double)> &ok) {
        double good = remaining;
        while (!ok(good)) {
            good *= 0.5;
            if (good < remaining * 1e-12) throw IntegrationError("the Lanczos exponential does not converge");
        }
        double bad = std::min(remaining, 2 * good);
        if (bad == good) return good;
        for (int i = 0; i < 6; ++i) {
            const double mid = 0.5 * (good + bad);
            (ok(mid) ? good : bad) = mid;
        }
        return good;
    }

    // psi = norm * sum_k coefficient[k] basis[k].
    void combine_basis(const std::vector<cplx> &coefficient, double norm, cplx *psi) {
        const std::size_t m = coefficient.size();
        std::vector<const cplx *> vectors(m);
        for (std::size_t k = 0; k < m; ++k) vectors[k] = basis_[k].data();
        for_range(dim_, [&](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i) {
                cplx sum = coefficient[0] * vectors[0][i];
                for (std::size_t k = 1; k < m; ++k) sum += coefficient[k] * vectors[k][i];
                psi[i] = norm * sum;
            }
        });
    }

    template <class Term>
    double sum_of(const Term &term) const {
        return blocked_sums<1>(dim_, [&](std::size_t i, std::array<double, 1> &acc) { acc[0] += term(i); })[0];
    }

    // Holds basis vectors 0..m+1.
    void resize(int m) {
        while (int(basis_.size()) < m + 2) basis_.emplace_back(dim_);
    }

    SchrodingerSystem &system_;
    std::size_t dim_;
    const KrylovControl &control_;
    IntegrationStats &stats_;
    runtime::Poller *poll_;
    std::vector<std::vector<cplx>> basis_;
};

}  // namespace

IntegrationStats integrate_krylov(SchrodingerSystem &system, const Drive &drive, std::size_t dim, double duration,
                                  cplx *psi, const KrylovControl &control, runtime::Poller *poll) {
    IntegrationStats stats;
    Lanczos lanczos(system, dim, control, stats, poll);
    const std::vector<double> bounds = step_boundaries(drive, duration);
    for (std::size_t s = 0; s + 1 < bounds.size(); ++s) {
        const double start = bounds[s], length = bounds[s + 1] - start;
        // Equal steps of at most dt; the relative slack keeps a length of exactly k dt at k steps.
        const long long steps = std::max(1LL, (long long)std::ceil(length / control.dt * (1 - 1e-12)));
        const double h = length / double(steps);
        for (long long k = 0; k < steps; ++k) {
            const double t = start + double(k) * h;
            const Coefficients early = system.coefficients(t + kNode1 * h), late = system.coefficients(t + kNode2 * h);
            // Each factor's interactions have weight w1 + w2 = 1/2: K over half the step.
            lanczos.exponential(blend(early, late, kWeight2, kWeight1), 0.5 * h, psi);
            lanczos.exponential(blend(early, late, kWeight1, kWeight2), 0.5 * h, psi);
            ++stats.steps;
            if (poll) poll->reached(t + h);
        }
    }
    return stats;
}

}  // namespace analog
