#include "workload.hpp"

#include <algorithm>
#include <cmath>
#include <sstream>
#include <stdexcept>
#include <string>

#include "runtime/parallel.hpp"
#include "units.hpp"
#include "vector_ops.hpp"

namespace analog {

namespace {

// Radians of the fastest rate per step, at most. Measured with DOP853 and DOPRI5 at
// tolerances from 1e-3 to 1e-10, in both frames: 6.2 at the most (DOP853 at rtol 1e-3 where
// interactions dominate), 0.01 to 3 mostly; no explicit method turns more than its stability
// region allows. So the estimate is a lower bound of the steps taken.
constexpr double kRadiansPerStep = 8;
// The fixed cost of a step (stage bookkeeping, threads' start) in passes over one state.
constexpr double kStepOverheadStates = 16;
// Steps times states (with the overhead) per thread beyond which an evolution is refused: a
// step over one state takes about 100 ns of one core, so this is more than 5 hours, and an
// hour on a machine several times faster. Threads share only large spaces.
constexpr double kMostStateStepsPerThread = 2e11;

struct Workload {
    double rate = 0.0;         // the fastest rate, rad/s
    std::string source;        // what sets it: "drive amplitude", "detuning", "local detuning", "interaction energy"
    double peak = 0.0;         // the largest value of the source, rad/s
    double steps = 0.0;        // integration steps at least
    double state_steps = 0.0;  // steps times (basis states + the overhead)
    double limit = 0.0;        // the most state steps allowed, for the threads the space gets
};

// In the interaction picture the integrand turns at the differences of the diagonal between
// states the drive couples (measured: as many steps as in the lab frame, or more), so there the
// strongest pair interaction counts instead of the largest energy of a state. Without a drive
// the state stays all-ground and nothing bounds the step. A run too long to finish is refused
// as such even where nsteps would stop it first: its inputs are what needs mending.
Workload estimate_workload(const AtomSpace &space, const std::vector<double> &weighted, const Drive &drive,
                           double duration, bool interaction_picture) {
    Workload work;
    // The rates of one atom: the drive splits its levels by Omega (they turn at +-Omega/2), a
    // detuning moves the Rydberg level alone.
    auto consider = [&](double peak, double rate_per_peak, const char *source) {
        if (peak * rate_per_peak > work.rate) {
            work.rate = peak * rate_per_peak;
            work.source = source;
            work.peak = peak;
        }
    };
    const double amplitude = drive.amplitude.max_abs(duration);
    if (amplitude > 0) {
        consider(amplitude, 0.5, "drive amplitude");
        consider(drive.detuning.max_abs(duration), 1.0, "detuning");
        double weight = 0.0;
        for (double w : weighted) weight = std::max(weight, std::fabs(w));
        consider(drive.local_detuning.max_abs(duration) * weight, 1.0, "local detuning");
        consider(interaction_picture ? space.strongest_pair() : space.max_interaction(), 1.0, "interaction energy");
    }
    work.steps = duration * work.rate / kRadiansPerStep;
    work.state_steps = work.steps * (double(space.dim()) + kStepOverheadStates);
    const double threads = std::clamp(double(space.dim()) / double(kParallelGrain), 1.0,
                                      double(std::max(1u, runtime::max_threads())));
    work.limit = kMostStateStepsPerThread * std::floor(threads);
    return work;
}

}  // namespace

void check_workload(const AtomSpace &space, const std::vector<double> &weighted, const Drive &drive, double duration,
                    bool interaction_picture, long long nsteps) {
    const Workload work = estimate_workload(space, weighted, drive, duration, interaction_picture);
    const bool too_long = work.state_steps > work.limit, too_many = work.steps > double(nsteps);
    if (!too_long && !too_many) return;
    std::ostringstream message;
    message.precision(3);
    message << "this evolution cannot finish: it needs at least " << work.steps << " integration steps";
    if (too_long)
        message << " over " << space.dim() << " basis states, and more than " << work.limit
                << " steps x states take too long to run";
    else
        message << ", more than nsteps=" << nsteps << " allows";
    message << " (the estimate: the duration, " << duration << " s, times the largest rate, " << work.rate
            << " rad/s from the " << work.source << " of " << work.peak << " rad/s, over " << kRadiansPerStep
            << " rad per step). Inputs are in seconds, metres and rad/s.";
    for (const std::string &hint : {duration_hint(duration), rate_hint(work.peak, work.source, space)})
        if (!hint.empty()) message << " " << hint;
    // Past nsteps the integrator would stop with this error after doing the work: the same
    // kind of error, before any.
    if (too_long) throw std::invalid_argument(message.str());
    throw std::runtime_error(message.str() + " Raise nsteps if the inputs are right.");
}

void check_time_steps(double duration, double dt) {
    if (!(std::isfinite(dt) && dt > 0)) {
        std::ostringstream message;
        message << "dt must be a positive finite number of seconds, got " << dt;
        throw std::invalid_argument(message.str());
    }
    if (duration / dt <= kMostTimeSteps) return;
    std::ostringstream message;
    message << "the evolution would take " << duration / dt << " time steps of dt = " << dt << " s over " << duration
            << " s, more than " << kMostTimeSteps << ". Durations and dt are in seconds: " << duration << " s is "
            << duration * 1e6 << " us.";
    throw std::invalid_argument(message.str());
}

}  // namespace analog
