// Evolution of a register from its all-ground state under a program's drive.
#pragma once

#include <string>
#include <vector>

#include "krylov_propagator.hpp"
#include "runge_kutta.hpp"
#include "schrodinger.hpp"

namespace analog {

enum class Method { dop853, dopri5, krylov };

// The method named `name` ("dop853", "dopri5" or "krylov"); std::invalid_argument for any other.
Method method_named(const std::string &name);

struct EvolveOptions {
    Method method = Method::dop853;
    StepControl control;              // the Runge-Kutta methods'
    bool interaction_picture = false;  // the Runge-Kutta methods'
    KrylovControl krylov;
};

// Before any work: std::invalid_argument for bad options and for an evolution that could not
// finish (check_workload), SpaceTooLarge when its work vectors do not fit in the memory
// available.
void check_evolution(const AtomSpace &space, const std::vector<double> &weighted, const Drive &drive, double duration,
                     const EvolveOptions &options);

// The lab-frame state at time `duration` (>= 0, seconds) of the evolution from all-ground, with
// the integrator's counts in `stats` when given. Krylov evolves a register with a mirror
// (find_mirror) in the mirror-symmetric sector alone. `weighted` as for SchrodingerSystem; `poll` as
// for the integrators. Checked first by check_evolution.
std::vector<cplx> evolve(const AtomSpace &space, const std::vector<double> &weighted, const Drive &drive,
                         double duration, const EvolveOptions &options, IntegrationStats *stats = nullptr,
                         runtime::Poller *poll = nullptr);

}  // namespace analog
