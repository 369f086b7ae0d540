// A sequence of gates applied with cache blocking.
//
// A gate whose targets all lie among a chunk's index bits only mixes amplitudes within that
// chunk. A chunk is 2^k amplitudes: the lowest index bits, contiguous in memory, and at the
// largest level also up to a few higher bits chosen per pass, whose pieces are gathered into a
// buffer. The plan orders the gates into passes: each chunked pass applies every gate it holds
// to one chunk while the chunk sits in the cache (and within it the same again for a smaller
// cache level), and the gates no chunk can hold get a pass over the whole state each. Gates
// move into an earlier pass only past gates on other qubits, with which they commute, so the
// result matches applying them one by one to within rounding, and a plan depends only on the
// gates: it computes the same numbers for any thread count.
#pragma once

#include <map>
#include <memory>
#include <vector>

#include "gate.hpp"
#include "runtime/poll.hpp"

namespace statevector {

class GatePlan {
public:
    // `poll`, when given, is called between the planning's passes: thousands of gates take
    // seconds to plan.
    GatePlan(int n_qubits, std::vector<PreparedGate> gates, int level = 0, runtime::Poller *poll = nullptr);
    // Applies the gates in order; `poll`, when given, is called within long passes over the
    // state and between passes once they have done some work since the last call.
    void apply(cplx *psi, runtime::Poller *poll = nullptr) const;
    std::size_t size() const { return size_; }

private:
    struct Segment {
        std::vector<PreparedGate> gates;  // applied to the whole state, a pass each
        std::vector<GatePlan> chunk_plan; // or, when chunked, this plan to every chunk
        int contiguous_bits = 0;          // a chunk's lowest index bits, contiguous in memory
        std::vector<int> gathered_bits;   // and its higher index bits (ascending), gathered
    };
    void add_whole_pass(std::vector<PreparedGate> gates);
    void add_chunked(std::vector<PreparedGate> gates, int contiguous_bits, std::vector<int> gathered_bits,
                     int level, runtime::Poller *poll);
    void apply_chunked(cplx *psi, const Segment &segment, runtime::Poller *poll) const;

    int n_qubits_;
    bool nested_;  // a chunk's plan: its caller already spreads chunks over threads
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
    // `poll`, when given, is called while a new plan is made.
    PlanRef get(int n_qubits, const std::vector<GateRef> &gates, runtime::Poller *poll = nullptr);
    std::size_t size() const { return plans_.size(); }
    void clear() { plans_.clear(); }

private:
    std::map<std::pair<int, std::vector<GateRef>>, PlanRef> plans_;
};

}  // namespace statevector
