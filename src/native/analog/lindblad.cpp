#include "lindblad.hpp"

#include <algorithm>
#include <bitset>
#include <cmath>
#include <stdexcept>
#include <string>

#include "vector_ops.hpp"

namespace analog {

namespace {

constexpr std::size_t kMissing = ~std::size_t(0);

// d rho/dt = -i [H, rho] + sum_L (L rho L^dagger - 1/2 {L^dagger L, rho}). Every L^dagger L is
// its rate times n_k, so the anticommutator scales element (i, j) by the Rydberg counts of i
// and j; dephasing keeps element (i, j) in proportion to the atoms Rydberg in both, and
// relaxation feeds (i, j) from the pair with one such atom raised in both.
class LindbladSystem : public OdeSystem {
public:
    LindbladSystem(const AtomSpace &space, const std::vector<double> &weighted, const Drive &drive, JumpRates rates)
        : space_(space), schrodinger_(space, weighted, drive, false), rates_(rates), dim_(space.dim()),
          column_(dim_ * dim_) {
        const int n = space.atoms();
        shared_.resize(dim_ * dim_);
        if (rates.relaxation > 0) raised_.assign(std::size_t(n) * dim_, kMissing);
        for (std::size_t i = 0; i < dim_; ++i) {
            const std::uint64_t s = space.state(i);
            for (std::size_t j = 0; j < dim_; ++j) shared_[i + dim_ * j] = double(std::bitset<64>(s & space.state(j)).count());
            for (int k = 0; k < n && rates.relaxation > 0; ++k) {
                const std::uint64_t bit = std::uint64_t(1) << (n - 1 - k);
                if (s & bit) continue;
                const std::size_t up = space.index_of(s | bit);
                if (up < dim_ && space.state(up) == (s | bit)) raised_[k * dim_ + i] = up;
            }
        }
    }

    void derivative(double t, const double *y_real, double *dy_real) override {
        const cplx *rho = reinterpret_cast<const cplx *>(y_real);
        cplx *d = reinterpret_cast<cplx *>(dy_real);
        const Coefficients c = schrodinger_.coefficients(t);
        cplx *x = column_.data();
        // x = -i H rho, column by column.
        runtime::parallel_for(dim_, std::max<std::size_t>(1, kParallelGrain / dim_), [&](std::size_t first, std::size_t last) {
            for (std::size_t j = first; j < last; ++j) schrodinger_.apply_lab(rho + dim_ * j, x + dim_ * j, c);
        });
        const double *count = space_.excitations().data();
        const double half = 0.5 * (rates_.dephasing + rates_.relaxation);
        const int n = space_.atoms();
        runtime::parallel_for(dim_, std::max<std::size_t>(1, kParallelGrain / dim_), [&](std::size_t first, std::size_t last) {
            for (std::size_t j = first; j < last; ++j)
                for (std::size_t i = 0; i < dim_; ++i) {
                    const std::size_t e = i + dim_ * j;
                    cplx v = x[e] + std::conj(x[j + dim_ * i]);
                    v += (rates_.dephasing * shared_[e] - half * (count[i] + count[j])) * rho[e];
                    for (int k = 0; k < n && !raised_.empty(); ++k) {
                        const std::size_t a = raised_[k * dim_ + i], b = raised_[k * dim_ + j];
                        if (a != kMissing && b != kMissing) v += rates_.relaxation * rho[a + dim_ * b];
                    }
                    d[e] = v;
                }
        });
    }

private:
    const AtomSpace &space_;
    SchrodingerSystem schrodinger_;
    JumpRates rates_;
    std::size_t dim_;
    std::vector<cplx> column_;
    std::vector<double> shared_;        // per element (i, j): atoms Rydberg in both
    std::vector<std::size_t> raised_;   // per atom k and state i: i with atom k raised, or kMissing
};

}  // namespace

std::vector<cplx> evolve_density_matrix(const AtomSpace &space, const std::vector<double> &weighted,
                                        const Drive &drive, double duration, const EvolveOptions &options,
                                        JumpRates rates, IntegrationStats *stats, runtime::Poller *poll) {
    if (options.method == Method::krylov || options.interaction_picture)
        throw std::invalid_argument("density matrices take a Runge-Kutta solver (dop853 or dopri5) in the lab frame");
    check_rates(rates);
    if (space.dim() > kMostDensityMatrixStates)
        throw std::invalid_argument("density matrices are kept for spaces of at most " +
                                    std::to_string(kMostDensityMatrixStates) + " states, not " +
                                    std::to_string(space.dim()));
    check_evolution(space, weighted, drive, duration, options);
    const std::size_t dim = space.dim();
    std::vector<cplx> rho(dim * dim, cplx(0.0));
    rho[0] = 1.0;
    IntegrationStats counts;
    if (duration > 0) {
        LindbladSystem system(space, weighted, drive, rates);
        double *y = reinterpret_cast<double *>(rho.data());
        counts = options.method == Method::dop853
                     ? integrate_dop853(system, 2 * rho.size(), 0.0, duration, y, options.control, poll)
                     : integrate_dopri5(system, 2 * rho.size(), 0.0, duration, y, options.control, poll);
    }
    if (stats) *stats = counts;
    return rho;
}

}  // namespace analog
