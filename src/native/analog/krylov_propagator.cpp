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

// Lanczos exponentials of one state. Basis vectors are stored unnormalised, each with the
// factor that normalises it, so that no pass over a vector only rescales it: the product with
// H applies the factor and measures alpha on the way, and the three-term recurrence computes
// the next vector's norm as it writes it. The state itself is basis vector 0.
class Lanczos {
public:
    Lanczos(LanczosOperator &hamiltonian, const KrylovControl &control, IntegrationStats &stats,
            runtime::Poller *poll)
        : hamiltonian_(hamiltonian), dim_(hamiltonian.dim()), control_(control), stats_(stats), poll_(poll) {}

    // psi <- exp(-i tau K) psi, K the Hamiltonian with coefficients c; `norm` holds ||psi||
    // before and after.
    void exponential(const Coefficients &c, double tau, cplx *psi, double &norm) {
        double done = 0.0;
        while (done < tau) done += advance(c, tau, tau - done, psi, norm);
    }

    // ||psi||, summed in fixed blocks (the same for any number of threads).
    double norm_of(const cplx *psi) const {
        return std::sqrt(blocked_sums<1>(dim_, [&](std::size_t i, std::array<double, 1> &acc) {
            acc[0] += std::norm(psi[i]);
        })[0]);
    }

private:
    // Advances psi under K by as much of `remaining` as one Krylov basis covers; returns that time.
    double advance(const Coefficients &c, double tau, double remaining, cplx *psi, double &norm) {
        ++stats_.accepted;
        if (norm == 0.0) return remaining;
        vectors_.assign(1, psi);
        scales_.assign(1, 1.0 / norm);
        std::vector<double> alpha, beta;
        const auto acceptable = [&](double next, double s) {
            return lanczos_error_bound(alpha, beta, next, s) <= control_.tolerance * (s / tau);
        };
        double covered = remaining;
        for (int m = 0;; ++m) {
            const double next = lanczos_step(c, m, alpha, beta);
            if (acceptable(next, remaining)) break;
            if (m + 1 == control_.max_dimension) {
                covered = longest_acceptable(remaining, [&](double s) { return acceptable(next, s); });
                break;
            }
            beta.push_back(next);
            scales_.push_back(1.0 / next);
        }
        std::vector<cplx> coefficient = tridiagonal_exponential(alpha, beta, covered);
        for (std::size_t k = 0; k < coefficient.size(); ++k) coefficient[k] *= norm * scales_[k];
        norm = combine_basis(coefficient, psi);
        return covered;
    }

    // One Lanczos step from basis vector m: alpha_m, and the unnormalised next vector, stored
    // as vector m + 1; returns its norm.
    double lanczos_step(const Coefficients &c, int m, std::vector<double> &alpha, const std::vector<double> &beta) {
        if (int(store_.size()) < m + 1) store_.emplace_back(dim_);
        vectors_.resize(m + 2);
        vectors_[m + 1] = store_[m].data();
        const cplx *q = vectors_[m], *previous = m > 0 ? vectors_[m - 1] : nullptr;
        cplx *w = vectors_[m + 1];
        const double sq = scales_[m], sp = m > 0 ? scales_[m - 1] : 0.0;
        const double a = hamiltonian_.apply_lab_measured(q, sq, w, c);  // w = -i K q_m, q_m = sq q
        ++stats_.evaluations;
        if (poll_) (*poll_)();
        alpha.push_back(a);
        const double aq = a * sq, bp = m > 0 ? beta[m - 1] * sp : 0.0;
        const std::array<double, 1> squared = blocked_sums<1>(dim_, [&](std::size_t i, std::array<double, 1> &acc) {
            // K q_m - alpha_m q_m - beta_{m-1} q_{m-1}, with K q_m = i w.
            cplx r = cplx(-w[i].imag(), w[i].real()) - aq * q[i];
            if (previous) r -= bp * previous[i];
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

    // psi = sum_k coefficient[k] vector[k] (psi is vector 0, read before it is written);
    // returns the new ||psi||. Each vector is read in runs of kCombineRun amplitudes, one
    // vector after another, rather than all m at every index: m interleaved streams outrun
    // the hardware prefetchers. The sums are formed in the same order either way.
    double combine_basis(const std::vector<cplx> &coefficient, cplx *psi) {
        const std::size_t m = coefficient.size();
        const auto squared = blocked_range_sums<1>(dim_, [&](std::size_t begin, std::size_t end,
                                                             std::array<double, 1> &acc) {
            std::array<cplx, kCombineRun> sum;
            for (std::size_t start = begin; start < end; start += kCombineRun) {
                const std::size_t run = std::min(kCombineRun, end - start);
                for (std::size_t j = 0; j < run; ++j) sum[j] = coefficient[0] * vectors_[0][start + j];
                for (std::size_t k = 1; k < m; ++k) {
                    const cplx c = coefficient[k], *v = vectors_[k] + start;
                    for (std::size_t j = 0; j < run; ++j) sum[j] += c * v[j];
                }
                for (std::size_t j = 0; j < run; ++j) {
                    psi[start + j] = sum[j];
                    acc[0] += std::norm(sum[j]);
                }
            }
        });
        return std::sqrt(squared[0]);
    }

    static constexpr std::size_t kCombineRun = 1024;

    LanczosOperator &hamiltonian_;
    std::size_t dim_;
    const KrylovControl &control_;
    IntegrationStats &stats_;
    runtime::Poller *poll_;
    std::vector<std::vector<cplx>> store_;  // vectors 1, 2, ...: kept between exponentials
    std::vector<cplx *> vectors_;           // the basis: psi, then store_
    std::vector<double> scales_;            // the factor that normalises each basis vector
};

}  // namespace

IntegrationStats integrate_krylov(LanczosOperator &hamiltonian, const Drive &drive, double duration, cplx *psi,
                                  const KrylovControl &control, runtime::Poller *poll) {
    IntegrationStats stats;
    Lanczos lanczos(hamiltonian, control, stats, poll);
    double norm = lanczos.norm_of(psi);
    const std::vector<double> bounds = step_boundaries(drive, duration);
    for (std::size_t s = 0; s + 1 < bounds.size(); ++s) {
        const double start = bounds[s], length = bounds[s + 1] - start;
        // Equal steps of at most dt; the relative slack keeps a length of exactly k dt at k steps.
        const long long steps = std::max(1LL, (long long)std::ceil(length / control.dt * (1 - 1e-12)));
        const double h = length / double(steps);
        for (long long k = 0; k < steps; ++k) {
            const double t = start + double(k) * h;
            const Coefficients early = coefficients_at(drive, t + kNode1 * h);
            const Coefficients late = coefficients_at(drive, t + kNode2 * h);
            // Each factor's interactions have weight w1 + w2 = 1/2: K over half the step.
            lanczos.exponential(blend(early, late, kWeight2, kWeight1), 0.5 * h, psi, norm);
            lanczos.exponential(blend(early, late, kWeight1, kWeight2), 0.5 * h, psi, norm);
            ++stats.steps;
            if (poll) poll->reached(t + h);
        }
    }
    return stats;
}

}  // namespace analog
