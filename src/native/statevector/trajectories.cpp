#include "trajectories.hpp"

#include <map>
#include <memory>
#include <optional>
#include <utility>

#include "measure.hpp"
#include "memory.hpp"
#include "runtime/poll.hpp"
#include "tally.hpp"

namespace statevector {

namespace {

using Kind = ShotProgram::Kind;

// What a shot does next at a node: (position, term) of an inserted unitary, (0, 0) to run on
// to the node's stop, or at a stop the measured index bits or the operator drawn. The words
// list the read bits that flipped, by write position.
using Key = std::pair<std::uint64_t, std::vector<std::uint64_t>>;

// The state of every shot that has made the same draws so far, standing before op `op`.
struct Node {
    std::size_t op = 0;
    std::size_t stop = 0;  // the first op from `op` on that draws from the state (or the end)
    std::vector<std::uint8_t> cbits;
    StateVector state;                     // at a measurement: turned into its basis
    std::optional<OutcomeSampler> sample;  // at a measurement
    std::uint64_t measured_mask = 0;
    Distribution operators;                // at a general channel
    std::map<Key, std::unique_ptr<Node>> children;
    std::map<Key, std::uint32_t> final_outcomes;  // tally indices at a path's last measurement
    long long outcome = -1;                       // at the end: its tally index, once counted

    std::uint64_t bytes() const {
        return state.size() * sizeof(cplx) + (sample ? sample->bytes() : 0) + operators.size() * sizeof(double);
    }
};

struct Insertion {
    std::size_t op;
    std::size_t term;
};

class TrajectoryRunner {
public:
    TrajectoryRunner(ShotProgram &program, const TrajectoryOptions &options)
        : program_(program), options_(options), poll_([&program] { program.check_interrupt(); }) {
        const std::size_t end = program_.size();
        readout_slot_.assign(end, 0);
        measured_after_.assign(end + 1, false);
        for (std::size_t op = 0; op < end; ++op) {
            const Kind kind = program_.kind(op);
            if (kind == Kind::Noise && program_.noise_channel(op).is_mixture()) mixtures_.push_back(op);
        }
        std::size_t slots = mixtures_.size();
        for (std::size_t op = 0; op < end; ++op) {
            if (program_.kind(op) != Kind::Measure) continue;
            readout_slot_[op] = slots;
            for (const auto &write : program_.measurement(op).writes) slots += has_readout_error(write.first);
        }
        draws_at_start_ = slots;
        for (std::size_t op = end; op-- > 0;)
            measured_after_[op] = measured_after_[op + 1] || program_.kind(op) == Kind::Measure;
    }

    ShotTally run() {
        std::unique_ptr<Node> root =
            make_node(basis_state(options_.n_qubits), std::vector<std::uint8_t>(options_.n_cbits, 0), 0);
        std::uint64_t stored = 0;  // the root is always kept
        std::vector<double> start(draws_at_start_);
        std::vector<Insertion> insertions;
        for (long long shot = 0; shot < options_.shots; ++shot) {
            program_.uniforms(start.data(), start.size());
            insertions.clear();
            for (std::size_t j = 0; j < mixtures_.size(); ++j) {
                const NoiseChannel &channel = program_.noise_channel(mixtures_[j]);
                const std::size_t term = channel.draw_term(start[j]);
                if (!channel.is_identity(term)) insertions.push_back({mixtures_[j], term});
            }
            std::size_t next = 0;  // the shot's next insertion
            std::vector<std::unique_ptr<Node>> scratch;  // the shot's own nodes past the budget
            Node *node = root.get();
            std::uint32_t outcome;
            while (true) {
                Key key;
                std::unique_ptr<Node> (TrajectoryRunner::*make)(Node &, const Key &) = nullptr;
                if (node->op == program_.size()) {
                    if (node->outcome < 0) node->outcome = tally_.register_outcome(node->cbits);
                    outcome = std::uint32_t(node->outcome);
                    break;
                }
                if (node->op == node->stop && program_.kind(node->op) == Kind::Measure) {
                    const std::uint64_t idx = (*node->sample)(program_.uniform()) & node->measured_mask;
                    key = {idx, read_flips(node->op, idx, start)};
                    if (!measured_after_[node->op + 1]) {
                        auto [slot, added] = node->final_outcomes.try_emplace(key, 0);
                        if (added) slot->second = tally_.register_outcome(final_cbits(*node, key));
                        outcome = slot->second;
                        break;
                    }
                    make = &TrajectoryRunner::after_measurement;
                } else if (node->op == node->stop) {
                    key = {sample_index(node->operators, program_.uniform()), {}};
                    make = &TrajectoryRunner::after_operator;
                } else {
                    while (next < insertions.size() && insertions[next].op < node->stop &&
                           !applies(insertions[next].op, node->cbits))
                        ++next;
                    if (next < insertions.size() && insertions[next].op < node->stop) {
                        key = {insertions[next].op + 1, {insertions[next].term}};
                        make = &TrajectoryRunner::after_insertion;
                        ++next;
                    } else {
                        key = {0, {}};
                        make = &TrajectoryRunner::at_stop;
                    }
                }
                auto found = node->children.find(key);
                if (found != node->children.end()) {
                    node = found->second.get();
                    continue;
                }
                std::unique_ptr<Node> child = (this->*make)(*node, key);
                if (scratch.empty() && stored + child->bytes() <= options_.branch_memory_budget) {
                    stored += child->bytes();
                    node = (node->children[key] = std::move(child)).get();
                } else {
                    scratch.push_back(std::move(child));
                    node = scratch.back().get();
                }
            }
            tally_.record(outcome);
            if ((shot & 255) == 0) poll_();
        }
        return tally_.take();
    }

private:
    bool has_readout_error(int qubit) const {
        return !options_.readout.empty() &&
               (options_.readout[std::size_t(qubit)].p01 > 0.0 || options_.readout[std::size_t(qubit)].p10 > 0.0);
    }

    // Whether the Noise op `op` acts for a shot with these classical bits.
    bool applies(std::size_t op, const std::vector<std::uint8_t> &cbits) {
        const std::size_t condition = program_.noise_condition(op);
        return condition == program_.size() || program_.condition_holds(condition, cbits);
    }

    // The write positions of measurement `op` whose bit reads wrongly after outcome idx.
    std::vector<std::uint64_t> read_flips(std::size_t op, std::uint64_t idx, const std::vector<double> &start) const {
        std::vector<std::uint64_t> flips;
        if (options_.readout.empty()) return flips;
        std::size_t slot = readout_slot_[op];
        const auto &writes = program_.measurement(op).writes;
        for (std::size_t w = 0; w < writes.size(); ++w) {
            const int qubit = writes[w].first;
            if (!has_readout_error(qubit)) continue;
            const ReadoutRates &rates = options_.readout[std::size_t(qubit)];
            const bool one = idx & bit_of(options_.n_qubits, qubit);
            if (start[slot++] < (one ? rates.p10 : rates.p01)) {
                if (flips.size() <= w / 64) flips.resize(w / 64 + 1, 0);
                flips[w / 64] |= std::uint64_t(1) << (w % 64);
            }
        }
        return flips;
    }

    // The classical bits after measurement node.op read outcome key.first with flips key.second.
    std::vector<std::uint8_t> written_cbits(const Node &node, const Key &key) const {
        std::vector<std::uint8_t> cbits = node.cbits;
        const auto &writes = program_.measurement(node.op).writes;
        for (std::size_t w = 0; w < writes.size(); ++w) {
            const auto [qubit, bit] = writes[w];
            const bool flipped = w / 64 < key.second.size() && ((key.second[w / 64] >> (w % 64)) & 1);
            cbits[std::size_t(bit)] = std::uint8_t(((key.first & bit_of(options_.n_qubits, qubit)) ? 1 : 0) ^ flipped);
        }
        return cbits;
    }

    // The classical bits after a path's last measurement. The rest of the circuit is still
    // prepared and its conditions evaluated, so that its errors surface as without noise.
    std::vector<std::uint8_t> final_cbits(const Node &node, const Key &key) {
        std::vector<std::uint8_t> cbits = written_cbits(node, key);
        for (std::size_t op = node.op + 1; op < program_.size(); ++op) {
            const Kind kind = program_.kind(op);
            if (kind == Kind::Gate) {
                std::size_t end = op;
                while (end < program_.size() && program_.kind(end) == Kind::Gate) ++end;
                plan(op, end);
                op = end - 1;
            } else if (kind == Kind::Conditional && program_.condition_holds(op, cbits)) {
                program_.conditional_gate(op);
            }
        }
        return cbits;
    }

    // The fused gates of ops [begin, end), made once per run; null when there are none.
    const GatePlan *plan(std::size_t begin, std::size_t end) {
        auto [slot, added] = plans_.try_emplace({begin, end}, nullptr);
        if (added) {
            for (std::size_t op = begin; op < end; ++op)
                if (program_.kind(op) == Kind::Gate) {
                    slot->second = &program_.fused_plan(begin, end);
                    break;
                }
        }
        return slot->second;
    }

    // Runs ops [from, to) on a state: gates, conditional gates whose condition holds, and no
    // channel (the shot's mixtures there draw the identity; no general channel acts there).
    void advance(StateVector &state, const std::vector<std::uint8_t> &cbits, std::size_t from, std::size_t to) {
        std::size_t op = from;
        while (op < to) {
            if (program_.kind(op) == Kind::Conditional) {
                if (program_.condition_holds(op, cbits)) program_.conditional_gate(op).apply(state.data());
                ++op;
                continue;
            }
            std::size_t end = op;
            while (end < to && program_.kind(end) != Kind::Conditional) ++end;
            if (const GatePlan *gates = plan(op, end)) gates->apply(state.data(), &poll_);
            op = end;
        }
    }

    // The first op from `op` on that draws from the state: a measurement, a general channel
    // that acts for these bits, or the end.
    std::size_t stop_from(std::size_t op, const std::vector<std::uint8_t> &cbits) {
        for (; op < program_.size(); ++op) {
            const Kind kind = program_.kind(op);
            if (kind == Kind::Measure) break;
            if (kind == Kind::Noise && !program_.noise_channel(op).is_mixture() && applies(op, cbits)) break;
        }
        return op;
    }

    // A node standing before op `op`; at a measurement or general channel, with what it draws from.
    std::unique_ptr<Node> make_node(StateVector state, std::vector<std::uint8_t> cbits, std::size_t op) {
        auto node = std::make_unique<Node>();
        node->op = op;
        node->stop = stop_from(op, cbits);
        node->cbits = std::move(cbits);
        if (op == node->stop && op < program_.size()) {
            if (program_.kind(op) == Kind::Measure) {
                const MeasureOp &m = program_.measurement(op);
                for (const PreparedGate *g : m.before) g->apply(state.data());
                Distribution cdf;
                if (!build_cdf(state.data(), state.size(), cdf)) program_.undefined_probabilities(state.data(), state.size());
                node->sample.emplace(std::move(cdf), std::uint64_t(options_.shots));
                node->measured_mask = qubits_mask(options_.n_qubits, m.qubits);
            } else if (!program_.noise_channel(op).operator_distribution(state.data(), node->operators)) {
                program_.undefined_probabilities(state.data(), state.size());
            }
        }
        node->state = std::move(state);
        return node;
    }

    std::unique_ptr<Node> at_stop(Node &parent, const Key &) {
        StateVector state = state_copy(parent.state);
        advance(state, parent.cbits, parent.op, parent.stop);
        return make_node(std::move(state), parent.cbits, parent.stop);
    }

    std::unique_ptr<Node> after_insertion(Node &parent, const Key &key) {
        const std::size_t op = std::size_t(key.first - 1);
        StateVector state = state_copy(parent.state);
        advance(state, parent.cbits, parent.op, op);
        program_.noise_channel(op).apply(std::size_t(key.second[0]), state.data());
        return make_node(std::move(state), parent.cbits, op + 1);
    }

    std::unique_ptr<Node> after_measurement(Node &parent, const Key &key) {
        StateVector state = state_copy(parent.state);
        collapse_measured(program_.measurement(parent.op), options_.n_qubits, key.first, state.data());
        return make_node(std::move(state), written_cbits(parent, key), parent.op + 1);
    }

    std::unique_ptr<Node> after_operator(Node &parent, const Key &key) {
        StateVector state = state_copy(parent.state);
        program_.noise_channel(parent.op).apply(std::size_t(key.first), state.data());
        return make_node(std::move(state), parent.cbits, parent.op + 1);
    }

    ShotProgram &program_;
    const TrajectoryOptions &options_;
    runtime::Poller poll_;
    TallyBuilder tally_{options_.n_cbits, options_.shots};
    std::vector<std::size_t> mixtures_;      // the mixture channels' ops, in order
    std::vector<std::size_t> readout_slot_;  // per measurement op: its first readout variate
    std::size_t draws_at_start_ = 0;
    std::vector<bool> measured_after_;
    std::map<std::pair<std::size_t, std::size_t>, const GatePlan *> plans_;
};

}  // namespace

ShotTally run_trajectories(ShotProgram &program, const TrajectoryOptions &options) {
    return TrajectoryRunner(program, options).run();
}

}  // namespace statevector
