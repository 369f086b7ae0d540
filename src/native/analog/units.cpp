#include "units.hpp"

#include <cmath>
#include <sstream>

namespace analog {

namespace {

constexpr double kTwoPiMHz = 6.283185307179586e6;  // 2 pi x 1 MHz in rad/s

}  // namespace

std::string duration_hint(double duration) {
    if (!(std::isfinite(duration) && duration > kLongestPlausibleDuration)) return "";
    std::ostringstream hint;
    hint.precision(3);
    hint << "Durations are in seconds: " << duration << " s is " << duration * 1e6 << " us, while " << duration
         << " us is " << duration * 1e-6 << " s.";
    return hint.str();
}

std::string spacing_hint(double closest, double c6) {
    const double r = closest;
    if (!(std::isfinite(r) && r > kFarthestPlausibleSpacing)) return "";
    std::ostringstream hint;
    hint.precision(3);
    hint << "Positions are in metres: the closest atoms are " << r << " m apart, where they do not interact (C6/r^6 = "
         << c6 / std::pow(r, 6) << " rad/s), while " << r << " um is " << r * 1e-6 << " m.";
    return hint.str();
}

std::string rate_hint(double peak, const std::string &source, const AtomSpace &space) {
    std::ostringstream hint;
    hint.precision(3);
    if (source == "interaction energy") {
        // The closest pair tells the units; many Rydberg atoms add up to more.
        const double r = space.closest_distance(), pair = space.c6() / std::pow(r, 6);
        if (!(pair > kFastestPlausibleRate)) return "";
        hint << "Interactions are C6/r^6 with C6 in rad m^6/s and r in metres: the closest atoms are " << r
             << " m apart, where C6 = " << space.c6() << " rad m^6/s gives " << pair << " rad/s.";
    } else {
        if (!(peak > kFastestPlausibleRate)) return "";
        hint << "Frequencies are in rad/s: the " << source << " reaches " << peak << " rad/s = 2 pi x "
             << peak / kTwoPiMHz << " MHz.";
    }
    return hint.str();
}

}  // namespace analog
