#include "evolve.hpp"

#include <algorithm>
#include <cmath>
#include <sstream>
#include <stdexcept>

#include "analog/workload.hpp"
#include "rydberg_mpo.hpp"
#include "site_order.hpp"
#include "tdvp.hpp"

namespace analog::mps {

namespace {

[[noreturn]] void refuse(const std::string &message) { throw std::invalid_argument(message); }

template <class T>
std::string text(const T &value) {
    std::ostringstream out;
    out << value;
    return out.str();
}

void check(const std::vector<Position> &atoms, double c6, double blockade_radius, const std::vector<double> &weights,
           double duration, const EvolveOptions &o) {
    if (o.max_bond_dim < 1) refuse("max_bond_dim must be at least 1, got " + text(o.max_bond_dim));
    if (!(std::isfinite(o.precision) && o.precision > 0))
        refuse("precision must be a positive finite number (relative norm of the dropped singular values), got " +
               text(o.precision));
    if (!(std::isfinite(o.krylov_tolerance) && o.krylov_tolerance > 0))
        refuse("krylov_tolerance must be a positive finite number (relative error), got " + text(o.krylov_tolerance));
    if (o.max_krylov_dim < 2) refuse("max_krylov_dim must be at least 2, got " + text(o.max_krylov_dim));
    if (!(std::isfinite(duration) && duration >= 0))
        refuse("the duration must be a finite number of seconds >= 0, got " + text(duration));
    check_time_steps(duration, o.dt);
    if (!weights.empty() && weights.size() != atoms.size()) refuse("one local-detuning weight per atom is needed");
    for (std::size_t k = 0; k < weights.size(); ++k)
        if (!std::isfinite(weights[k])) refuse("the local-detuning weight of atom " + text(k) + " is not finite");
    check_register(atoms, c6, blockade_radius);
}

}  // namespace

MpsState evolve(const std::vector<Position> &atoms, double c6, double blockade_radius,
                const std::vector<double> &weights, const Drive &drive, double duration, const EvolveOptions &options,
                EvolveStats *stats, runtime::Poller *poll) {
    check(atoms, c6, blockade_radius, weights, duration, options);
    set_single_threaded();
    const std::vector<int> chain = snake_order(atoms);
    const int n = int(atoms.size());
    std::vector<Position> chain_atoms(n);
    std::vector<double> chain_weights(weights.empty() ? 0 : n);
    for (int i = 0; i < n; ++i) {
        chain_atoms[i] = atoms[chain[i]];
        if (!weights.empty()) chain_weights[i] = weights[chain[i]];
    }
    RydbergMpo mpo(chain_atoms, c6, blockade_radius, chain_weights);
    MpsState state(chain);
    Tdvp tdvp(state, mpo, {options.max_bond_dim, options.precision},
              {options.krylov_tolerance, options.max_krylov_dim}, poll);

    // Steps of dt from 0; a remainder below a millionth of dt joins the previous step.
    long long steps = 0;
    if (duration > 0) {
        steps = std::max(1LL, (long long)std::ceil(duration / options.dt - 1e-6));
    }
    EvolveStats counts;
    for (long long k = 0; k < steps; ++k) {
        const double t0 = double(k) * options.dt, t1 = k + 1 == steps ? duration : double(k + 1) * options.dt;
        const double mid = 0.5 * (t0 + t1);
        mpo.set_drive(drive.amplitude.at(mid), drive.phase.at(mid), drive.detuning.at(mid),
                      drive.local_detuning.at(mid));
        tdvp.step(t1 - t0);
        if (poll) poll->reached(t1);
        counts.max_bond_dim = std::max(counts.max_bond_dim, state.max_bond_dim());
    }
    counts.steps = steps;
    counts.discarded_weight = tdvp.discarded_weight();
    counts.krylov_vectors = tdvp.krylov_vectors();
    counts.capped_crossings = tdvp.capped_crossings();
    if (stats) *stats = counts;
    return state;
}

}  // namespace analog::mps
