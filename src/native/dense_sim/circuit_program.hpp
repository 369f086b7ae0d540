// A Python circuit presented to the shot runner: instructions classified once, gates and
// measurements prepared on first use, conditions evaluated by the IR, draws from the
// simulator's NumPy generator. With a noise model, each gate is followed by a Noise op per
// channel the model applies after it, except channels that never change the state and those
// after the last measurement (which no outcome can see).
//
// The runner works without the GIL; every member that touches Python takes it, and gives the
// generator's lock back while Python code runs, so that code may draw from the generator or
// start another run. The program owns every gate and plan it hands out for its lifetime.
#pragma once

#include <nanobind/nanobind.h>

#include <deque>
#include <memory>
#include <optional>
#include <vector>

#include "statevector/shots.hpp"
#include "gates.hpp"
#include "support/numpy_random.hpp"

namespace dense_sim {

namespace nb = nanobind;

class CircuitProgram final : public statevector::ShotProgram {
public:
    CircuitProgram(nb::handle instructions, int n_qubits, int n_cbits, nb::handle cache, nb::handle kwargs,
                   nb::handle rng, GateStore &store, nb::handle noise = nb::none());

    std::size_t size() const override { return ops_.size(); }
    Kind kind(std::size_t op) const override { return ops_[op].kind; }
    const statevector::GatePlan &fused_plan(std::size_t begin, std::size_t end) override;
    const statevector::PreparedGate &conditional_gate(std::size_t op) override;
    bool condition_holds(std::size_t op, const std::vector<std::uint8_t> &cbits) override;
    const statevector::MeasureOp &measurement(std::size_t op) override;
    const statevector::NoiseChannel &noise_channel(std::size_t op) override { return *ops_[op].channel; }
    std::size_t noise_condition(std::size_t op) override;
    bool has_noise() const { return has_noise_; }
    double uniform() override;
    void uniforms(double *out, std::size_t count) override;
    [[noreturn]] void undefined_probabilities(const statevector::cplx *psi, std::uint64_t size) override;
    void check_interrupt() override;

private:
    struct Op {
        Kind kind;
        nb::object instruction;
        statevector::GateRef gate;  // of a conditional
        std::optional<statevector::MeasureOp> measurement;
        std::shared_ptr<const statevector::NoiseChannel> channel;  // of a Noise op
        std::size_t condition = kUnconditional;                     // of a Noise op
    };
    static constexpr std::size_t kUnconditional = ~std::size_t(0);

    // Runs f() with the GIL, the generator's lock given back meanwhile.
    template <class F> auto with_python(F &&f);

    std::vector<Op> ops_;
    std::vector<statevector::PlanRef> plans_;
    std::deque<statevector::PreparedGate> rotations_;  // stable addresses for MeasureOp
    int n_qubits_, n_cbits_;
    GateStore &store_;
    nb::object cache_, kwargs_, rng_;
    norvane::BitGenerator bitgen_;
    bool has_noise_ = false;
};

// Prepares one measurement instruction on n qubits and n_cbits classical bits; basis-change
// gates are appended to `rotations`. Out-of-range qubits or bits raise IndexError; negative
// indices count from the end, as Python indexing does.
statevector::MeasureOp prepare_measurement(nb::handle meas, int n_qubits, std::size_t n_cbits, nb::handle cache,
                                           std::deque<statevector::PreparedGate> &rotations);

// Raises the generator's own error for undefined outcome probabilities of `psi`.
[[noreturn]] void raise_undefined_probabilities(nb::handle rng, const statevector::cplx *psi, std::uint64_t size);

}  // namespace dense_sim
