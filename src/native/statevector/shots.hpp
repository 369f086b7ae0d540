// Shot sampling over a circuit with measurements, conditions and classical bits.
//
// Randomness enters only at measurements, so the state before the first measurement, and the
// state after each sequence of outcomes, is the same in every shot that reaches it. The runner
// keeps these branch states (and their outcome distributions) in a tree, computing each once
// per run; past a memory budget, shots continue from their deepest stored branch with
// per-shot work. Each shot draws exactly one uniform variate per measurement it executes, in
// order, and the kernels are deterministic, so the result equals simulating every shot from
// |0...0> with the same draws.
#pragma once

#include <cstdint>
#include <vector>

#include "channel.hpp"
#include "gate.hpp"
#include "plan.hpp"

namespace statevector {

struct MeasureOp {
    // X and Y rotate each measured qubit into the computational basis (by H, or S^dagger then H)
    // and back after the collapse.
    enum class Basis { Z, X, Y };

    std::vector<int> qubits;                     // measured qubits, in listed order
    std::vector<std::pair<int, int>> writes;     // (qubit, classical bit) pairs, in order
    std::vector<const PreparedGate *> before;    // basis change into the computational basis
    std::vector<const PreparedGate *> after;     // and back
    Basis basis = Basis::Z;
};

// What the runner needs from the caller, which owns the circuit and the random stream. What
// the program hands out (gates, plans, measurements) must stay valid until the program is
// destroyed.
class ShotProgram {
public:
    // Noise: a channel after the gate before it (only trajectory runs have these).
    enum class Kind { Gate, Conditional, Measure, Skip, Noise };
    virtual ~ShotProgram() = default;
    virtual std::size_t size() const = 0;
    virtual Kind kind(std::size_t op) const = 0;
    // The gates of the ops of kind Gate among [begin, end), which holds no Conditional or
    // Measure op, as one fused plan.
    virtual const GatePlan &fused_plan(std::size_t begin, std::size_t end) = 0;
    virtual const PreparedGate &conditional_gate(std::size_t op) = 0;
    virtual bool condition_holds(std::size_t op, const std::vector<std::uint8_t> &cbits) = 0;
    virtual const MeasureOp &measurement(std::size_t op) = 0;
    // A Noise op's channel, and the Conditional op it follows (size() after a plain gate): it
    // acts only when that op's condition holds.
    virtual const NoiseChannel &noise_channel(std::size_t op) = 0;
    virtual std::size_t noise_condition(std::size_t op) = 0;
    virtual double uniform() = 0;
    // `count` variates in a row, as that many uniform() calls would draw them.
    virtual void uniforms(double *out, std::size_t count) = 0;
    // Called with a state whose outcome probabilities are undefined; must throw.
    [[noreturn]] virtual void undefined_probabilities(const cplx *psi, std::uint64_t size) = 0;
    // Throws when the caller asked the work to stop; called every few milliseconds.
    virtual void check_interrupt() {}
};

// Bytes of branch states kept per run beyond the first branch; 512 MiB unless changed.
void set_branch_memory_budget(std::uint64_t bytes);
std::uint64_t branch_memory_budget();

struct ShotOptions {
    int n_qubits = 0;
    int n_cbits = 0;
    long long shots = 0;
    std::uint64_t branch_memory_budget = statevector::branch_memory_budget();
};

// Bytes a run may hold at its peak beyond the circuit itself: the first branch's state and
// outcome distribution, one more branch being expanded, the stored branches and the per-shot
// record of `bytes_per_shot` (saturating at the largest value).
std::uint64_t run_peak_bytes(const ShotOptions &options, std::uint64_t bytes_per_shot);

// The classical bits of every shot: distinct outcomes in order of first occurrence (their bits
// one after another, n_cbits each), how often each occurred, and the outcome of each shot in
// shot order.
struct ShotTally {
    int n_cbits = 0;
    std::vector<std::uint8_t> outcome_bits;
    std::vector<long long> counts;
    std::vector<std::uint32_t> memory;

    const std::uint8_t *outcome(std::size_t i) const { return outcome_bits.data() + i * std::size_t(n_cbits); }
};

ShotTally run_shots(ShotProgram &program, const ShotOptions &options);

// After outcome `outcome_idx` of measurement m: the state collapsed onto the measured qubits'
// values (renormalised) and rotated back from the computational basis, in place.
void collapse_measured(const MeasureOp &m, int n_qubits, std::uint64_t outcome_idx, cplx *psi);

}  // namespace statevector
