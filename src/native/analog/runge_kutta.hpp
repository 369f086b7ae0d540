// Explicit Runge-Kutta integrators with adaptive steps: DOP853 (order 8, error estimated from
// embedded orders 5 and 3) and DOPRI5 (order 5(4)), following Hairer, Norsett and Wanner's
// codes step for step: the initial step guess, the error norm, the step-size control with its
// bounds and safety factor, and the step limit, with the settings SciPy's `ode` passes them.
// Dense output and the stiffness test are not part of it.
#pragma once

#include <cstddef>
#include <functional>
#include <stdexcept>

#include "runtime/poll.hpp"

namespace analog {

// The right-hand side of y' = f(t, y) over n real components.
class OdeSystem {
public:
    virtual ~OdeSystem() = default;
    virtual void derivative(double t, const double *y, double *dy) = 0;
};

struct StepControl {
    double atol = 1e-14;   // absolute tolerance per component
    double rtol = 1e-7;    // relative tolerance per component
    long long nsteps = 2147483647;  // most steps (accepted and rejected) one call may take
};

struct IntegrationStats {
    long long steps = 0, accepted = 0, rejected = 0, evaluations = 0;
    // Amplitudes an exact evolution evolved: its space's, or its mirror sector's (0: not told).
    long long amplitudes = 0;
};

// Raised when the step limit is reached, the step size underflows or the solution stops being
// a number.
class IntegrationError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Called with the time of every accepted step, y already there; returning true ends the
// integration at that time.
using StepObserver = std::function<bool(double t)>;

// Integrate y (n components, updated in place) from t0 to t1 > t0. `poll`, when given, is
// called every few microseconds of work (what it throws ends the integration) and told the
// time of every accepted step (Poller::reached).
IntegrationStats integrate_dop853(OdeSystem &f, std::size_t n, double t0, double t1, double *y,
                                  const StepControl &control, runtime::Poller *poll = nullptr,
                                  const StepObserver *after_step = nullptr);
IntegrationStats integrate_dopri5(OdeSystem &f, std::size_t n, double t0, double t1, double *y,
                                  const StepControl &control, runtime::Poller *poll = nullptr,
                                  const StepObserver *after_step = nullptr);

}  // namespace analog
