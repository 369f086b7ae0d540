#include "plan.hpp"

#include <algorithm>

#include "parallel.hpp"

namespace statevector {

namespace {
// 2^15 amplitudes (512 KiB) per chunk: small enough to stay in a core's L2 cache.
constexpr int kBlockBits = 15;
}  // namespace

GatePlan::GatePlan(int n_qubits, std::vector<PreparedGate> gates)
    : n_qubits_(n_qubits), block_bits_(std::min(kBlockBits, n_qubits)), size_(gates.size()) {
    // Qubit q holds index bit n-1-q, so the chunk's qubits are the last block_bits ones.
    const int first_local = n_qubits - block_bits_;
    const bool worth_blocking = n_qubits > block_bits_;
    for (PreparedGate &g : gates) {
        const bool local = worth_blocking && std::all_of(g.targets().begin(), g.targets().end(),
                                                         [&](int q) { return q >= first_local; });
        if (segments_.empty() || segments_.back().blocked != local) segments_.push_back({local, {}});
        if (!local) {
            segments_.back().gates.push_back(std::move(g));
            continue;
        }
        std::vector<int> targets = g.targets();
        for (int &q : targets) q -= first_local;
        segments_.back().gates.emplace_back(block_bits_, std::move(targets), g.matrix());
    }
}

void GatePlan::apply(cplx *psi) const {
    const std::size_t chunk = std::size_t(1) << block_bits_;
    const std::size_t chunks = (std::size_t(1) << n_qubits_) >> block_bits_;
    for (const Segment &segment : segments_) {
        if (!segment.blocked) {
            for (const PreparedGate &g : segment.gates) g.apply(psi);
            continue;
        }
        parallel_for(chunks, 1, [&](std::size_t begin, std::size_t end) {
            for (std::size_t c = begin; c < end; ++c)
                for (const PreparedGate &g : segment.gates) g.apply(psi + c * chunk);
        });
    }
}

}  // namespace statevector
