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
#include <vector>

#include "gate.hpp"

namespace statevector {

class GatePlan {
public:
    GatePlan(int n_qubits, std::vector<PreparedGate> gates, int level = 0);
    void apply(cplx *psi) const;
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

// Fused, blocked plans of gate sequences, keyed by the identities of the prepared gates (which
// must outlive their plans). Plans stay valid until clear().
class PlanCache {
public:
    const GatePlan &get(int n_qubits, const std::vector<const PreparedGate *> &gates);
    std::size_t size() const { return plans_.size(); }
    void clear() { plans_.clear(); }

private:
    std::map<std::pair<int, std::vector<const PreparedGate *>>, GatePlan> plans_;
};

}  // namespace statevector
