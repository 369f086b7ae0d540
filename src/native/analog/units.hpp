// Inputs whose size most likely comes from a unit mistake. The emulator takes SI units
// (seconds, metres, rad/s); microseconds read as seconds, micrometres as metres or MHz as
// rad/s give sizes far outside what a Rydberg experiment uses. The hints name the likely
// mistake; they never refuse anything on their own.
#pragma once

#include <string>

#include "space.hpp"

namespace analog {

// Rydberg states live some 100 us: a program a thousand times longer is no experiment.
constexpr double kLongestPlausibleDuration = 1e-3;  // s
// Atoms 1 cm apart interact at C6/r^6 ~ 1e-12 rad/s, that is not at all.
constexpr double kFarthestPlausibleSpacing = 1e-2;  // m
// 2 pi x 16 GHz: far above any drive or detuning, and above the interaction of atoms 2 um apart.
constexpr double kFastestPlausibleRate = 1e11;  // rad/s

// A sentence on the unit of `duration` (seconds) when it is implausibly long, else "".
std::string duration_hint(double duration);
// A sentence on the unit of positions when the closest atoms (`closest` metres apart; infinite
// with fewer than two atoms) are implausibly far apart, else "".
std::string spacing_hint(double closest, double c6);
// A sentence on the units of `peak` (rad/s), the largest value of `source` ("interaction
// energy" or a waveform's name), when it is implausibly fast, else "". For interactions the
// energy of the closest pair decides.
std::string rate_hint(double peak, const std::string &source, const AtomSpace &space);

}  // namespace analog
