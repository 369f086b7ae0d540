#include "waveform.hpp"

#include <algorithm>
#include <cmath>
#include <sstream>
#include <stdexcept>
#include <string>

namespace analog {

namespace {

// Throws std::invalid_argument naming the first entry of `numbers` that is not finite.
void check_finite(const char *name, const char *what, const std::vector<double> &numbers, const char *units) {
    for (std::size_t j = 0; j < numbers.size(); ++j)
        if (!std::isfinite(numbers[j])) {
            std::ostringstream message;
            message << "the " << name << " waveform's " << what << " " << j << " is " << numbers[j] << "; "
                    << what << "s must be finite numbers (" << units << ")";
            throw std::invalid_argument(message.str());
        }
}

}  // namespace

Waveform::Waveform(const char *name, std::vector<double> times, std::vector<double> values)
    : times_(std::move(times)), values_(std::move(values)) {
    const std::string the = std::string("the ") + name + " waveform";
    if (times_.size() != values_.size()) throw std::invalid_argument(the + " needs one value per time point");
    if (times_.size() < 2) throw std::invalid_argument(the + " needs at least two time points");
    check_finite(name, "time", times_, "seconds");
    check_finite(name, "value", values_, "rad/s, or rad for the phase");
    if (times_[0] != 0.0) throw std::invalid_argument(the + " starts at time 0");
    area_.assign(times_.size(), 0.0);
    for (std::size_t j = 1; j < times_.size(); ++j) {
        if (!(times_[j] >= times_[j - 1])) throw std::invalid_argument(the + "'s times must not decrease");
        area_[j] = area_[j - 1] + 0.5 * (values_[j] + values_[j - 1]) * (times_[j] - times_[j - 1]);
    }
}

std::size_t Waveform::segment_end(double t) const {
    return std::size_t(std::upper_bound(times_.begin(), times_.end(), t) - times_.begin());
}

double Waveform::at(double t) const {
    if (times_.empty()) return 0.0;
    std::size_t j = segment_end(t);
    if (j >= times_.size()) return values_.back();
    if (j == 0) return values_.front();
    // times_[j - 1] <= t < times_[j], so the piece has positive length.
    double fraction = (t - times_[j - 1]) / (times_[j] - times_[j - 1]);
    return values_[j - 1] + (values_[j] - values_[j - 1]) * fraction;
}

double Waveform::integral(double t) const {
    if (times_.empty() || t <= 0.0) return 0.0;
    std::size_t j = segment_end(t);
    if (j >= times_.size()) return area_.back() + values_.back() * (t - times_.back());
    double dt = t - times_[j - 1];
    return area_[j - 1] + 0.5 * (values_[j - 1] + at(t)) * dt;
}

double Waveform::max_abs(double t) const {
    if (times_.empty()) return 0.0;
    double largest = std::fabs(at(t));
    for (std::size_t j = 0; j < times_.size() && times_[j] <= t; ++j)
        largest = std::max(largest, std::fabs(values_[j]));
    return largest;
}

}  // namespace analog
