// A sequence of gates applied with cache blocking.
//
// Consecutive gates whose targets all lie in the low `block_bits` bits of the amplitude index
// only mix amplitudes within aligned chunks of 2^block_bits amplitudes. Such a run is applied
// chunk by chunk, every gate of the run to one chunk while it sits in the cache, instead of one
// pass over the whole state per gate; within a chunk the same is done again for a smaller
// cache level. Each amplitude goes through the same operations in the same order either way,
// so the result is bit-identical to applying the gates one by one.
#pragma once

#include <map>
#include <memory>
#include <vector>

#include "gate.hpp"
#include "poll.hpp"

namespace statevector {

class GatePlan {
public:
    GatePlan(int n_qubits, std::vector<PreparedGate> gates, int level = 0);
    // Applies the gates in order; `poll`, when given, is called between passes over the state.
    void apply(cplx *psi, Poller *poll = nullptr) const;
    std::size_t size() const { return size_; }

private:
    struct Segment {
        std::vector<PreparedGate> gates;  // applied to the whole state
        std::vector<GatePlan> chunk_plan; // or, when blocked, this plan to every chunk
    };
    int n_qubits_;
    int block_bits_;
    std::size_t size_ = 0;
    std::vector<Segment> segments_;
};

using GateRef = std::shared_ptr<const PreparedGate>;
using PlanRef = std::shared_ptr<const GatePlan>;

// Fused, blocked plans of gate sequences, keyed by the identities of the prepared gates. Keys
// hold their gates, so an address in a key is never reused by another gate while the key
// exists; a plan handed out stays valid for its holder after clear(). Not thread-safe: the
// caller serialises access.
class PlanCache {
public:
    PlanRef get(int n_qubits, const std::vector<GateRef> &gates);
    std::size_t size() const { return plans_.size(); }
    void clear() { plans_.clear(); }

private:
    std::map<std::pair<int, std::vector<GateRef>>, PlanRef> plans_;
};

}  // namespace statevector
