// A kit noise model (norvane.quantum.noise.NoiseModel) in engine terms.
#pragma once

#include <nanobind/nanobind.h>

#include <memory>
#include <vector>

#include "statevector/channel.hpp"
#include "statevector/gate.hpp"
#include "statevector/trajectories.hpp"

namespace dense_sim {

namespace nb = nanobind;

// The model given to a simulator: None, or a NoiseModel (TypeError otherwise).
nb::object checked_noise_model(nb::handle noise);

// Whether a simulator with this model is noisy: a model with at least one rule.
bool is_noisy(nb::handle model);

// A channel the model applies after a gate, on these qubits.
struct ChannelAfter {
    nb::object channel;
    std::vector<int> targets;
};

// The channels after a gate or conditional gate, in order (none without a model).
std::vector<ChannelAfter> channels_after(nb::handle model, nb::handle instruction);

// The channel for trajectories on n qubits; null when every term it draws is the identity.
std::shared_ptr<const statevector::NoiseChannel> trajectory_channel(const ChannelAfter &after, int n_qubits);

// The channel's gate on a density matrix of n qubits.
statevector::PreparedGate density_channel_gate(const ChannelAfter &after, int n_qubits);

// Each qubit's readout error; empty when none of the n qubits has one.
std::vector<statevector::ReadoutRates> readout_rates(nb::handle model, int n_qubits);

}  // namespace dense_sim
