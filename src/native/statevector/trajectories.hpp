// Shot sampling with noise: one quantum trajectory per shot.
//
// Each shot draws, in this order from the program's stream:
// - one uniform variate per mixture-of-unitaries channel of the program (Noise ops whose
//   channel is a mixture), whether or not the shot reaches it, inverted into the channel's
//   term; then one per recorded bit whose qubit has a readout error, measurement by
//   measurement in listed order (the bit reads wrongly when the variate lies below the error's
//   probability for the qubit's true value);
// - then, as the shot runs, one per measurement and one per general channel it executes: a
//   channel's Kraus operator is drawn from the probabilities ||K_j psi||^2 of the state there.
//
// Shots that make the same draws see the same states, so the runner keeps states in a tree (as
// the noiseless runner does) keyed by what a shot does next: a unitary inserted at a mixture
// channel (the draws of a shot's mixtures are known from its start, so shots whose insertions
// are all the identity share one trajectory, and the others share it up to their first
// insertion), a measurement's outcome and read bits, or a general channel's operator. Past the
// memory budget, shots continue with states of their own. Results equal simulating each shot
// from scratch with the same draws.
#pragma once

#include <vector>

#include "shots.hpp"

namespace statevector {

struct ReadoutRates {
    double p01 = 0.0;  // reading 1 for a qubit in 0
    double p10 = 0.0;  // reading 0 for a qubit in 1
};

struct TrajectoryOptions : ShotOptions {
    std::vector<ReadoutRates> readout;  // per qubit; empty when no qubit has a readout error
};

ShotTally run_trajectories(ShotProgram &program, const TrajectoryOptions &options);

}  // namespace statevector
