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

// Segments of the duration between norm checks: the squared norm falls at most at rate
// (dephasing + relaxation) x atoms, so each segment loses at most about a tenth of it.
constexpr double kNormLossPerSegment = 0.1;
// Halvings of a segment that locate a jump: to a thousandth of the segment.
constexpr int kBisections = 10;

class Trajectory {
public:
    Trajectory(const AtomSpace &space, SchrodingerSystem &system, const EvolveOptions &options, JumpRates rates,
               std::uint64_t seed, TrajectoryStats &stats, runtime::Poller *poll)
        : space_(space), system_(system), options_(options), rates_(rates), uniform_(seed), stats_(stats),
          poll_(poll) {}

    void run(std::vector<cplx> &psi, double duration) {
        const double total = (rates_.dephasing + rates_.relaxation) * std::max(1, space_.atoms());
        const long long segments = std::max(1LL, (long long)std::ceil(duration * total / kNormLossPerSegment));
        double threshold = uniform_(), t = 0.0;
        for (long long s = 1; s <= segments; ++s) {
            const double end = s == segments ? duration : duration * double(s) / double(segments);
            while (true) {
                std::vector<cplx> start = psi;
                integrate(psi, t, end);
                if (squared_norm(psi) > threshold) break;
                // A jump within (t, end]: find its time by bisection from the saved state.
                double low = t, high = end;
                for (int k = 0; k < kBisections; ++k) {
                    const double mid = 0.5 * (low + high);
                    psi = start;
                    integrate(psi, low, mid);
                    if (squared_norm(psi) > threshold) {
                        start.swap(psi);
                        low = mid;
                    } else {
                        high = mid;
                    }
                }
                psi = start;
                integrate(psi, low, high);
                jump(psi);
                threshold = uniform_();
                t = high;
                if (t >= end) break;
            }
            t = end;
        }
        normalise(psi);
    }

private:
    void integrate(std::vector<cplx> &psi, double from, double to) {
        if (to <= from) return;
        double *y = reinterpret_cast<double *>(psi.data());
        const IntegrationStats counts =
            options_.method == Method::dop853
                ? integrate_dop853(system_, 2 * psi.size(), from, to, y, options_.control, poll_)
                : integrate_dopri5(system_, 2 * psi.size(), from, to, y, options_.control, poll_);
        IntegrationStats &total = stats_.integration;
        total.steps += counts.steps;
        total.accepted += counts.accepted;
        total.rejected += counts.rejected;
        total.evaluations += counts.evaluations;
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

std::vector<cplx> evolve_trajectory(const AtomSpace &space, const std::vector<double> &weighted,
                                    std::vector<double> static_detuning, const Drive &drive, double duration,
                                    const EvolveOptions &options, JumpRates rates, std::uint64_t seed,
                                    TrajectoryStats *stats, runtime::Poller *poll) {
    if (options.method == Method::krylov || options.interaction_picture)
        throw std::invalid_argument("noisy evolutions take a Runge-Kutta solver (dop853 or dopri5) in the lab frame");
    for (double rate : {rates.dephasing, rates.relaxation})
        if (!(std::isfinite(rate) && rate >= 0)) throw std::invalid_argument("decay rates must be finite and >= 0 (1/s)");
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
