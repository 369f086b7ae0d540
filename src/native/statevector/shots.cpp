#include "shots.hpp"

#include <algorithm>
#include <atomic>
#include <string>
#include <memory>
#include <optional>
#include <unordered_map>

#include "measure.hpp"
#include "memory.hpp"
#include "plan.hpp"
#include "runtime/parallel.hpp"
#include "runtime/poll.hpp"
#include "tally.hpp"
#include "terminal.hpp"

namespace statevector {

namespace {

std::atomic<std::uint64_t> budget{std::uint64_t(512) << 20};

// Bytes of one branch of n qubits at its largest: state, distribution and slice table.
std::uint64_t branch_bytes(int n_qubits) {
    const std::uint64_t amplitudes = std::uint64_t(1) << n_qubits;
    return amplitudes * (sizeof(cplx) + sizeof(double)) + ((std::uint64_t(1) << 16) + 1) * sizeof(std::uint64_t);
}

// The state of every shot that has seen the same outcomes so far, standing at measurement
// `op` (after its basis change, with its outcome distribution) or at the end (op == size).
struct Branch {
    std::size_t op = 0;
    std::vector<std::uint8_t> cbits;
    StateVector state;
    std::optional<OutcomeSampler> sample;
    std::uint64_t measured_mask = 0;  // the index bits of the measured qubits, with `sample`
    std::unordered_map<std::uint64_t, std::unique_ptr<Branch>> children;
    std::unique_ptr<TerminalMeasurements> terminal;  // when only measurements follow (no state kept)
    OutcomeIds final_outcomes;  // tally indices, used at the last measurement of a path
    long long outcome = -1;        // at the end: its tally index, once counted

    std::uint64_t bytes() const {
        return state.size() * sizeof(cplx) + (sample ? sample->bytes() : 0) + (terminal ? terminal->bytes() : 0);
    }
};

class Runner {
public:
    Runner(ShotProgram &program, const ShotOptions &options)
        : program_(program), options_(options), poll_([&program] { program.check_interrupt(); }) {}

    // Runs deterministic instructions from `op` up to the next measurement, and prepares it.
    std::unique_ptr<Branch> settle(StateVector state, std::vector<std::uint8_t> cbits, std::size_t op) {
        const std::size_t end = program_.size();
        while (op < end) {
            ShotProgram::Kind kind = program_.kind(op);
            if (kind == ShotProgram::Kind::Measure) break;
            if (kind == ShotProgram::Kind::Gate) {
                const FusedRun &run = fused_run(op);
                run.plan->apply(state.data(), &poll_);
                op = run.end;
                continue;
            }
            if (kind == ShotProgram::Kind::Conditional && program_.condition_holds(op, cbits))
                program_.conditional_gate(op).apply(state.data());
            ++op;
        }
        auto branch = std::make_unique<Branch>();
        branch->op = op;
        branch->cbits = std::move(cbits);
        if (op == end) return branch;
        // Where a table cannot be built, measuring in turn meets the same state and reports it.
        if ((branch->terminal = terminal_measurements(op)) && branch->terminal->prepare(state.data())) return branch;
        branch->terminal.reset();
        for (const PreparedGate *g : program_.measurement(op).before) g->apply(state.data());
        Distribution cdf;
        if (!build_cdf(state.data(), state.size(), cdf)) program_.undefined_probabilities(state.data(), state.size());
        branch->sample.emplace(std::move(cdf), std::uint64_t(options_.shots));
        branch->measured_mask = qubits_mask(options_.n_qubits, program_.measurement(op).qubits);
        branch->state = std::move(state);
        return branch;
    }

    std::unique_ptr<Branch> expand(const Branch &parent, std::uint64_t outcome_idx) {
        StateVector state = state_copy(parent.state);
        std::vector<std::uint8_t> cbits = parent.cbits;
        const MeasureOp &m = program_.measurement(parent.op);
        for (const auto &[qubit, bit] : m.writes) cbits[bit] = (outcome_idx & bit_of(options_.n_qubits, qubit)) ? 1 : 0;
        collapse_measured(m, options_.n_qubits, outcome_idx, state.data());
        return settle(std::move(state), std::move(cbits), parent.op + 1);
    }

    // The classical bits after the last measurement of a path. Only they matter from there
    // on: the rest of the circuit is still prepared and its conditions evaluated (so its
    // errors surface as before), but no state is copied, collapsed or evolved.
    // Written into the runner's scratch bits, valid until the next call.
    const std::vector<std::uint8_t> &final_cbits(const Branch &parent, std::uint64_t outcome_idx) {
        std::vector<std::uint8_t> &cbits = scratch_cbits_;
        cbits = parent.cbits;
        for (const auto &[qubit, bit] : program_.measurement(parent.op).writes)
            cbits[bit] = (outcome_idx & bit_of(options_.n_qubits, qubit)) ? 1 : 0;
        std::size_t op = parent.op + 1;
        while (op < program_.size()) {
            ShotProgram::Kind kind = program_.kind(op);
            if (kind == ShotProgram::Kind::Gate) {
                op = fused_run(op).end;
                continue;
            }
            if (kind == ShotProgram::Kind::Conditional && program_.condition_holds(op, cbits))
                program_.conditional_gate(op);  // prepared only, so that its errors surface
            ++op;
        }
        return cbits;
    }

    // Tables for drawing the measurements from `op` on at once, when nothing else follows on this
    // path: at least two measurements, each qubit in one basis, and tables within the memory budget.
    std::unique_ptr<TerminalMeasurements> terminal_measurements(std::size_t op) {
        std::vector<const MeasureOp *> measured;
        for (std::size_t k = op; k < program_.size(); ++k) {
            const ShotProgram::Kind kind = program_.kind(k);
            if (kind == ShotProgram::Kind::Skip) continue;
            if (kind != ShotProgram::Kind::Measure) return nullptr;
            measured.push_back(&program_.measurement(k));
        }
        if (measured.size() < 2) return nullptr;
        return TerminalMeasurements::plan(options_.n_qubits, measured, options_.branch_memory_budget);
    }

    // The classical bits after the measurements from branch.op on read the qubits in `key`, in
    // the runner's scratch bits.
    const std::vector<std::uint8_t> &terminal_cbits(const Branch &branch, std::uint64_t key) {
        std::vector<std::uint8_t> &cbits = scratch_cbits_;
        cbits = branch.cbits;
        for (std::size_t k = branch.op; k < program_.size(); ++k)
            if (program_.kind(k) == ShotProgram::Kind::Measure)
                for (const auto &[qubit, bit] : program_.measurement(k).writes)
                    cbits[bit] = (key & bit_of(options_.n_qubits, qubit)) ? 1 : 0;
        return cbits;
    }

    bool measured_after(std::size_t op) {
        if (measured_after_.empty()) {
            measured_after_.assign(program_.size() + 1, false);
            for (std::size_t i = program_.size(); i-- > 0;)
                measured_after_[i] = measured_after_[i + 1] || program_.kind(i) == ShotProgram::Kind::Measure;
        }
        return measured_after_[op];
    }

    ShotTally run() {
        std::unique_ptr<Branch> root =
            settle(basis_state(options_.n_qubits), std::vector<std::uint8_t>(options_.n_cbits, 0), 0);
        if (root->terminal) {
            run_terminal(*root);
            return tally_.take();
        }
        std::uint64_t stored = 0;  // the first branch is always kept
        for (long long shot = 0; shot < options_.shots; ++shot) {
            Branch *branch = root.get();
            std::unique_ptr<Branch> scratch;  // per-shot branches past the memory budget
            std::uint32_t outcome;
            while (true) {
                if (branch->op == program_.size()) {
                    if (branch->outcome < 0) branch->outcome = tally_.register_outcome(branch->cbits);
                    outcome = std::uint32_t(branch->outcome);
                    break;
                }
                if (branch->terminal) {
                    scratch_uniforms_.resize(branch->terminal->draws_per_shot());
                    program_.uniforms(scratch_uniforms_.data(), scratch_uniforms_.size());
                    std::uint64_t key;
                    branch->terminal->draw(scratch_uniforms_.data(), 1, &key);
                    outcome = terminal_outcome(*branch, key);
                    break;
                }
                const std::uint64_t idx = (*branch->sample)(program_.uniform());
                const std::uint64_t key = idx & branch->measured_mask;
                if (!measured_after(branch->op + 1)) {
                    outcome = branch->final_outcomes.find_or_add(
                        flat_outcomes_, key, [&] { return tally_.register_outcome(final_cbits(*branch, idx)); });
                    break;
                }
                auto found = branch->children.find(key);
                if (found != branch->children.end()) {
                    branch = found->second.get();
                    continue;
                }
                std::unique_ptr<Branch> next = expand(*branch, idx);
                if (!scratch && stored + next->bytes() <= options_.branch_memory_budget) {
                    stored += next->bytes();
                    branch = (branch->children[key] = std::move(next)).get();
                } else {
                    scratch = std::move(next);
                    branch = scratch.get();
                }
            }
            tally_.record(outcome);
            if ((shot & 255) == 0) poll_();
        }
        return tally_.take();
    }

private:
    // Shots that all start at terminal measurements. A batch's variates are drawn in shot order
    // (the order measuring shot by shot draws them), its outcomes searched on every thread (the
    // tables are only read) and tallied in shot order.
    void run_terminal(Branch &root) {
        constexpr long long kBatch = 1 << 14;
        constexpr std::size_t kShotsPerThread = 1024;
        const TerminalMeasurements &terminal = *root.terminal;
        const std::size_t per_shot = terminal.draws_per_shot();
        std::vector<double> uniforms;
        std::vector<std::uint64_t> keys;
        for (long long first = 0; first < options_.shots; first += kBatch) {
            const std::size_t count = std::size_t(std::min(kBatch, options_.shots - first));
            uniforms.resize(count * per_shot);
            program_.uniforms(uniforms.data(), uniforms.size());
            keys.resize(count);
            runtime::parallel_for(count, kShotsPerThread, [&](std::size_t begin, std::size_t end) {
                terminal.draw(uniforms.data() + begin * per_shot, end - begin, keys.data() + begin);
            });
            for (std::uint64_t key : keys) tally_.record(terminal_outcome(root, key));
            poll_();
        }
    }

    // The tally index of the outcome `key` of a branch's terminal measurements.
    std::uint32_t terminal_outcome(Branch &branch, std::uint64_t key) {
        return branch.final_outcomes.find_or_add(flat_outcomes_, key,
                                                 [&] { return tally_.register_outcome(terminal_cbits(branch, key)); });
    }

    std::vector<std::uint8_t> scratch_cbits_;
    std::vector<double> scratch_uniforms_;  // one shot's terminal draws

    // The unconditional gates from `op` up to the next other instruction, fused.
    struct FusedRun {
        std::size_t end;
        const GatePlan *plan;  // owned by the program
    };

    const FusedRun &fused_run(std::size_t op) {
        auto found = fused_.find(op);
        if (found != fused_.end()) return found->second;
        std::size_t end = op;
        while (end < program_.size() && program_.kind(end) == ShotProgram::Kind::Gate) ++end;
        return fused_.emplace(op, FusedRun{end, &program_.fused_plan(op, end)}).first->second;
    }

    std::unordered_map<std::size_t, FusedRun> fused_;
    std::vector<bool> measured_after_;

    ShotProgram &program_;
    const ShotOptions &options_;
    const std::size_t flat_outcomes_ = OutcomeIds::flat_size(options_.n_qubits, options_.shots);
    TallyBuilder tally_{options_.n_cbits, options_.shots};
    runtime::Poller poll_;
};

}  // namespace

void set_branch_memory_budget(std::uint64_t bytes) { budget = bytes; }
std::uint64_t branch_memory_budget() { return budget.load(); }

void collapse_measured(const MeasureOp &m, int n_qubits, std::uint64_t outcome_idx, cplx *psi) {
    const std::uint64_t mask = qubits_mask(n_qubits, m.qubits);
    collapse(psi, std::uint64_t(1) << n_qubits, mask, outcome_idx & mask);
    for (const PreparedGate *g : m.after) g->apply(psi);
}

std::uint64_t run_peak_bytes(const ShotOptions &options, std::uint64_t bytes_per_shot) {
    const std::uint64_t fixed = 2 * branch_bytes(options.n_qubits) + options.branch_memory_budget;
    const std::uint64_t shots = std::uint64_t(std::max<long long>(options.shots, 0));
    const std::uint64_t limit = ~std::uint64_t(0);
    if (bytes_per_shot && shots > (limit - fixed) / bytes_per_shot) return limit;
    return fixed + shots * bytes_per_shot;
}

ShotTally run_shots(ShotProgram &program, const ShotOptions &options) { return Runner(program, options).run(); }

}  // namespace statevector
