// Piecewise-linear waveforms of an analog program: values at knots, linear in between.
#pragma once

#include <vector>

namespace analog {

class Waveform {
public:
    Waveform() = default;  // zero everywhere
    // Knot times (seconds) start at 0 and never decrease; a repeated time is a jump, taken at
    // that time. Times and values must be finite; `name` says which waveform in messages.
    Waveform(const char *name, std::vector<double> times, std::vector<double> values);

    // The value at time t; constant beyond the last knot.
    double at(double t) const;
    // The integral of the waveform from 0 to t, exact for the linear pieces.
    double integral(double t) const;
    // The largest magnitude of the waveform over [0, t].
    double max_abs(double t) const;
    // The knot times, where the waveform may bend or jump.
    const std::vector<double> &knots() const { return times_; }

private:
    // Index j of the first knot later than t (>= 1 when t >= 0); times_.size() past the end.
    std::size_t segment_end(double t) const;

    std::vector<double> times_, values_;
    std::vector<double> area_;  // integral from 0 to each knot
};

// The four waveforms of a program; an absent local detuning is the zero waveform.
struct Drive {
    Waveform amplitude, phase, detuning, local_detuning;
};

}  // namespace analog
