// The work of an evolution, estimated before it starts, so that one that cannot finish (most
// often from a unit mistake) is refused at once, saying why.
//
// An explicit integrator's step turns the fastest rate of the Hamiltonian (rad/s) by a bounded
// angle, so the steps grow as the duration times that rate, and each step costs a pass over
// every basis state.
#pragma once

#include <vector>

#include "space.hpp"
#include "waveform.hpp"

namespace analog {

// Throws, with the estimate and the likely unit mistake, std::invalid_argument for an
// evolution that would take far too long (hours of a fast machine at the least), or
// std::runtime_error, as the integrator would after the work, for one of more steps than
// `nsteps` allows.
void check_workload(const AtomSpace &space, const std::vector<double> &weighted, const Drive &drive, double duration,
                    bool interaction_picture, long long nsteps);

// Throws std::invalid_argument unless dt (seconds) is positive and finite and the evolution
// takes at most kMostTimeSteps steps of it: at milliseconds a step, more would run for days,
// and such counts come from unit mistakes.
constexpr double kMostTimeSteps = 1e7;
void check_time_steps(double duration, double dt);

}  // namespace analog
