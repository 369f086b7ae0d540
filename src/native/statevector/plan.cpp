#include "plan.hpp"

#include <algorithm>

#include "fusion.hpp"
#include "parallel.hpp"

namespace statevector {

namespace {
// Chunks of 2^15 amplitudes (512 KiB) stay in a core's L2 cache, chunks of 2^11 (32 KiB) in
// its L1 cache.
constexpr int kLevelBits[] = {15, 11};
constexpr int kLevels = sizeof(kLevelBits) / sizeof(kLevelBits[0]);

// The first level whose chunks are smaller than the state; a state that fits the largest
// cache level is not blocked at all.
int first_level_below(int n_qubits, int level) {
    if (level == 0 && n_qubits <= kLevelBits[0]) return kLevels;
    while (level < kLevels && kLevelBits[level] >= n_qubits) ++level;
    return level;
}

}  // namespace

GatePlan::GatePlan(int n_qubits, std::vector<PreparedGate> gates, int level)
    : n_qubits_(n_qubits), size_(gates.size()) {
    level = first_level_below(n_qubits, level);
    block_bits_ = level < kLevels ? kLevelBits[level] : n_qubits;
    // Qubit q holds index bit n-1-q, so the chunk's qubits are the last block_bits ones.
    const int first_local = n_qubits - block_bits_;
    std::vector<PreparedGate> local_run;
    auto close_local_run = [&]() {
        if (local_run.empty()) return;
        segments_.push_back({{}, {}});
        segments_.back().chunk_plan.emplace_back(block_bits_, std::move(local_run), level + 1);
        local_run.clear();
    };
    for (PreparedGate &g : gates) {
        const bool local = n_qubits > block_bits_ && std::all_of(g.targets().begin(), g.targets().end(),
                                                                 [&](int q) { return q >= first_local; });
        if (local) {
            std::vector<int> targets = g.targets();
            for (int &q : targets) q -= first_local;
            local_run.emplace_back(block_bits_, std::move(targets), g.matrix());
            continue;
        }
        close_local_run();
        if (segments_.empty() || !segments_.back().chunk_plan.empty()) segments_.push_back({{}, {}});
        segments_.back().gates.push_back(std::move(g));
    }
    close_local_run();
}

void GatePlan::apply(cplx *psi, Poller *poll) const {
    const std::size_t chunk = std::size_t(1) << block_bits_;
    const std::size_t chunks = (std::size_t(1) << n_qubits_) >> block_bits_;
    for (const Segment &segment : segments_) {
        for (const PreparedGate &g : segment.gates) {
            g.apply(psi);
            if (poll) (*poll)();
        }
        if (segment.chunk_plan.empty()) continue;
        const GatePlan &plan = segment.chunk_plan.front();
        // Threads only pay for themselves from about 2^17 amplitudes each.
        const std::size_t grain = std::max<std::size_t>(1, (std::size_t(1) << 17) >> block_bits_);
        parallel_for(chunks, grain, [&](std::size_t begin, std::size_t end) {
            for (std::size_t c = begin; c < end; ++c) plan.apply(psi + c * chunk);
        });
        if (poll) (*poll)();
    }
}

PlanRef PlanCache::get(int n_qubits, const std::vector<GateRef> &gates) {
    auto key = std::make_pair(n_qubits, gates);
    auto found = plans_.find(key);
    if (found != plans_.end()) return found->second;
    std::vector<const PreparedGate *> sequence;
    for (const GateRef &g : gates) sequence.push_back(g.get());
    // Qubits from n - kLevelBits[0] on are the ones the plan's largest chunks hold.
    const int first_local = std::max(0, n_qubits - kLevelBits[0]);
    auto plan = std::make_shared<const GatePlan>(n_qubits, fuse(n_qubits, sequence, first_local));
    plans_.emplace(std::move(key), plan);
    return plan;
}

}  // namespace statevector
