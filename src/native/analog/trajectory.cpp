#include "trajectory.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <stdexcept>

#include "vector_ops.hpp"

namespace analog {

namespace {

// SplitMix64: a small generator whose stream is the same on every platform.
class Uniform {
public:
    explicit Uniform(std::uint64_t seed) : state_(seed) {}
    double operator()() {  // in (0, 1)
        std::uint64_t z = (state_ += 0x9e3779b97f4a7c15ULL);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        z ^= z >> 31;
        return (double(z >> 11) + 0.5) * 0x1.0p-53;
    }

private:
    std::uint64_t state_;
};

double squared_norm(const std::vector<cplx> &psi) {
    return blocked_sums<1>(psi.size(), [&](std::size_t i, std::array<double, 1> &acc) { acc[0] += std::norm(psi[i]); })[0];
}

// Halvings of the integrator's step in which the squared norm reached its draw, to find the
// jump's time: to 1/4096 of that step.
constexpr int kBisections = 12;

class Trajectory {
public:
    Trajectory(const AtomSpace &space, SchrodingerSystem &system, const EvolveOptions &options, JumpRates rates,
               std::uint64_t seed, TrajectoryStats &stats, runtime::Poller *poll)
        : space_(space), system_(system), options_(options), rates_(rates), uniform_(seed), stats_(stats),
          poll_(poll) {}

    // The squared norm only falls (the decay is the only non-Hermitian term), so the jump
    // comes in the first integrator step that ends below the draw; the step's start is kept.
    void run(std::vector<cplx> &psi, double duration) {
        double threshold = uniform_(), t = 0.0, kept_t = 0.0, hit_t = 0.0;
        std::vector<cplx> kept = psi;
        const StepObserver watch = [&](double now) {
            if (squared_norm(psi) <= threshold) {
                hit_t = now;
                return true;
            }
            kept = psi;
            kept_t = now;
            return false;
        };
        while (t < duration) {
            kept = psi;
            kept_t = t;
            hit_t = duration;
            if (!integrate(psi, t, duration, &watch)) break;
            // Bisect (kept_t, hit_t] from the kept state for the time the norm reaches the draw.
            double low = kept_t, high = hit_t;
            for (int k = 0; k < kBisections; ++k) {
                const double mid = 0.5 * (low + high);
                psi = kept;
                integrate(psi, low, mid, nullptr);
                if (squared_norm(psi) > threshold) {
                    kept.swap(psi);
                    low = mid;
                } else {
                    high = mid;
                }
            }
            psi = kept;
            integrate(psi, low, high, nullptr);
            jump(psi);
            threshold = uniform_();
            t = high;
        }
        normalise(psi);
    }

private:
    // Integrates from `from` to `to`; true when `watch` stopped it early.
    bool integrate(std::vector<cplx> &psi, double from, double to, const StepObserver *watch) {
        if (to <= from) return false;
        double *y = reinterpret_cast<double *>(psi.data());
        bool stopped = false;
        const StepObserver stop = [&](double now) { return stopped = (*watch)(now); };
        const StepObserver *observer = watch ? &stop : nullptr;
        const IntegrationStats counts =
            options_.method == Method::dop853
                ? integrate_dop853(system_, 2 * psi.size(), from, to, y, options_.control, poll_, observer)
                : integrate_dopri5(system_, 2 * psi.size(), from, to, y, options_.control, poll_, observer);
        IntegrationStats &total = stats_.integration;
        total.steps += counts.steps;
        total.accepted += counts.accepted;
        total.rejected += counts.rejected;
        total.evaluations += counts.evaluations;
        return stopped;
    }

    // Picks the atom k with probability <n_k> (every operator's ||L psi||^2 is its rate times
    // <n_k>), then dephasing or relaxation by their rates, and applies it.
    void jump(std::vector<cplx> &psi) {
        const int n = space_.atoms();
        std::vector<double> weight(n, 0.0);
        for (std::size_t i = 0; i < psi.size(); ++i) {
            const std::uint64_t s = space_.state(i);
            for (int k = 0; k < n; ++k)
                if ((s >> (n - 1 - k)) & 1) weight[k] += std::norm(psi[i]);
        }
        double pick = uniform_() * std::accumulate(weight.begin(), weight.end(), 0.0);
        int atom = 0;
        while (atom + 1 < n && pick >= weight[atom]) pick -= weight[atom++];
        const std::uint64_t bit = std::uint64_t(1) << (n - 1 - atom);
        const bool relax = uniform_() * (rates_.dephasing + rates_.relaxation) < rates_.relaxation;
        std::vector<cplx> next(psi.size(), cplx(0.0));
        for (std::size_t i = 0; i < psi.size(); ++i) {
            const std::uint64_t s = space_.state(i);
            if (!(s & bit)) continue;
            next[relax ? space_.index_of(s ^ bit) : i] = psi[i];
        }
        psi.swap(next);
        normalise(psi);
        ++stats_.jumps;
    }

    static void normalise(std::vector<cplx> &psi) {
        const double scale = 1.0 / std::sqrt(squared_norm(psi));
        for_range(psi.size(), [&](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i) psi[i] *= scale;
        });
    }

    const AtomSpace &space_;
    SchrodingerSystem &system_;
    const EvolveOptions &options_;
    JumpRates rates_;
    Uniform uniform_;
    TrajectoryStats &stats_;
    runtime::Poller *poll_;
};

}  // namespace

void check_rates(const JumpRates &rates) {
    for (double rate : {rates.dephasing, rates.relaxation})
        if (!(std::isfinite(rate) && rate >= 0)) throw std::invalid_argument("decay rates must be finite and >= 0 (1/s)");
}

std::vector<cplx> evolve_trajectory(const AtomSpace &space, const std::vector<double> &weighted,
                                    std::vector<double> static_detuning, const Drive &drive, double duration,
                                    const EvolveOptions &options, JumpRates rates, std::uint64_t seed,
                                    TrajectoryStats *stats, runtime::Poller *poll) {
    if (options.method == Method::krylov || options.interaction_picture)
        throw std::invalid_argument("noisy evolutions take a Runge-Kutta solver (dop853 or dopri5) in the lab frame");
    check_rates(rates);
    if (!static_detuning.empty() && static_detuning.size() != space.dim())
        throw std::invalid_argument("one static detuning per basis state is needed");
    check_evolution(space, weighted, drive, duration, options);
    NoiseTerms noise{std::move(static_detuning), 0.5 * (rates.dephasing + rates.relaxation)};
    SchrodingerSystem system(space, weighted, drive, false, &noise);
    std::vector<cplx> psi(space.dim(), cplx(0.0));
    psi[0] = 1.0;
    TrajectoryStats counts;
    if (duration > 0) Trajectory(space, system, options, rates, seed, counts, poll).run(psi, duration);
    if (stats) *stats = counts;
    return psi;
}

}  // namespace analog
