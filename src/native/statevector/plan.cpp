#include "plan.hpp"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <new>

#include "fusion.hpp"
#include "runtime/parallel.hpp"

namespace statevector {

namespace {

// Chunks of 2^15 amplitudes (512 KiB) stay in a core's L2 cache, chunks of 2^11 (32 KiB) in
// its L1 cache. An L2 chunk may hold up to five index bits above its contiguous part: pieces
// of 2^10 amplitudes (16 KiB) are still long enough to stream at full speed, and with five
// such bits most runs of one- and two-qubit gates fit a single pass.
struct CacheLevel {
    int chunk_bits;
    int gathered_bits;
};
constexpr CacheLevel kLevels[] = {{15, 5}, {11, 0}};
constexpr int kLevelCount = sizeof(kLevels) / sizeof(kLevels[0]);

// The first level whose chunks are smaller than the state; a state that fits the largest
// cache level is not blocked at all.
int first_level_below(int n_qubits, int level) {
    if (level == 0 && n_qubits <= kLevels[0].chunk_bits) return kLevelCount;
    while (level < kLevelCount && kLevels[level].chunk_bits >= n_qubits) ++level;
    return level;
}

// A chunked pass between polls holds about this many amplitude updates (gates times
// amplitudes): some tens of milliseconds.
constexpr std::uint64_t kUpdatesBetweenPolls = std::uint64_t(1) << 28;
// Gates applied to the whole state poll once they have made this many updates since the last
// poll, well under a millisecond: a poll reads the clock, which costs more than a gate on a
// small state.
constexpr std::uint64_t kWholePassUpdatesPerPoll = std::uint64_t(1) << 20;

// The number of ways to choose k of n, or more than 2^32 when that is larger.
std::uint64_t choices(int n, int k) {
    std::uint64_t c = 1;
    for (int j = 1; j <= k && c <= (std::uint64_t(1) << 32); ++j) c = c * std::uint64_t(n - k + j) / std::uint64_t(j);
    return c;
}

int ones(std::uint64_t mask) {
    int count = 0;
    for (; mask; mask &= mask - 1) ++count;
    return count;
}

}  // namespace

GatePlan::GatePlan(int n_qubits, std::vector<PreparedGate> gates, int level, runtime::Poller *poll)
    : n_qubits_(n_qubits), nested_(level > 0), size_(gates.size()) {
    level = first_level_below(n_qubits, level);
    if (level == kLevelCount) {
        add_whole_pass(std::move(gates));
        return;
    }
    const int gathered = kLevels[level].gathered_bits;
    const int contiguous = kLevels[level].chunk_bits - gathered;
    const std::uint64_t low = (std::uint64_t(1) << contiguous) - 1;
    auto high_bits = [&](std::uint64_t mask) { return ones(mask & ~low); };
    std::vector<std::uint64_t> masks;
    for (const PreparedGate &g : gates) masks.push_back(qubits_mask(n_qubits, g.targets()));
    // Which gates a pass takes: every gate whose qubits no gate left for later touches and,
    // for a chunked pass, whose high bits fit with those taken so far (starting from `held`).
    // Once every bit the gates use is blocked, no later gate can be taken.
    std::uint64_t in_use = 0;
    auto select = [&](bool chunked, std::uint64_t held, std::vector<bool> &take) {
        std::uint64_t blocked = 0;
        std::size_t count = 0;
        for (std::size_t i = 0; i < masks.size(); ++i) {
            const std::uint64_t mask = masks[i];
            take[i] = !(mask & blocked) && (chunked ? high_bits(held | mask) <= gathered : high_bits(mask) > gathered);
            if (take[i]) {
                if (chunked) held |= mask & ~low;
                ++count;
            } else if ((blocked |= mask) == in_use) {
                std::fill(take.begin() + std::ptrdiff_t(i) + 1, take.end(), false);
                break;
            }
        }
        return std::make_pair(count, held);
    };
    // Alternating passes: first the gates a chunk can hold, then those it cannot. A chunked
    // pass tries every choice of its gathered bits among the high bits the gates use or, where
    // those choices are too many, the high bits of each of the first few gates that need some
    // (to which gates add theirs while they fit), and keeps the choice that takes the most gates.
    constexpr std::size_t kMaxChoices = 8192;
    constexpr std::size_t kTrials = 16;
    std::vector<bool> take(gates.size()), best_take;
    bool chunked = true;
    while (!gates.empty()) {
        if (poll) (*poll)();
        in_use = 0;
        for (std::uint64_t mask : masks) in_use |= mask;
        auto best = select(chunked, 0, take);
        best_take = take;
        auto try_held = [&](std::uint64_t held) {
            const auto trial = select(true, held, take);
            if (trial.first > best.first) {
                best = trial;
                best_take = take;
            }
        };
        std::vector<int> used;  // the high bits the gates use
        for (int b = contiguous; chunked && gathered > 0 && b < n_qubits; ++b)
            if (in_use >> b & 1) used.push_back(b);
        if (int(used.size()) > gathered && choices(int(used.size()), gathered) <= kMaxChoices) {
            // Each subset of `gathered` of the used bits, as a mask over their positions in `used`.
            const std::uint64_t end = std::uint64_t(1) << used.size();
            for (std::uint64_t subset = (std::uint64_t(1) << gathered) - 1; subset < end;) {
                std::uint64_t held = 0;
                for (std::size_t j = 0; j < used.size(); ++j)
                    if (subset >> j & 1) held |= std::uint64_t(1) << used[j];
                try_held(held);
                // The next subset of as many bits, in increasing order.
                const std::uint64_t lowest = subset & (~subset + 1), raised = subset + lowest;
                subset = raised | (((raised ^ subset) / lowest) >> 2);
            }
        } else if (int(used.size()) > gathered) {
            for (std::size_t i = 0, tried = 0; i < masks.size() && tried < kTrials; ++i) {
                const std::uint64_t seed = masks[i] & ~low;
                if (!seed || high_bits(seed) > gathered) continue;
                ++tried;
                try_held(seed);
            }
        }
        std::vector<PreparedGate> taken, later;
        std::vector<std::uint64_t> later_masks;
        for (std::size_t i = 0; i < gates.size(); ++i) {
            if (best_take[i]) {
                taken.push_back(std::move(gates[i]));
            } else {
                later.push_back(std::move(gates[i]));
                later_masks.push_back(masks[i]);
            }
        }
        if (chunked && !taken.empty()) {
            // Unused gathered bits go to the lowest free ones: longer pieces, or no gathering.
            std::uint64_t held = best.second;
            for (int b = contiguous; b < n_qubits && ones(held) < gathered; ++b) held |= std::uint64_t(1) << b;
            std::vector<int> bits;
            for (int b = contiguous; b < n_qubits; ++b)
                if (held >> b & 1) bits.push_back(b);
            add_chunked(std::move(taken), contiguous, std::move(bits), level, poll);
        } else if (!taken.empty()) {
            add_whole_pass(std::move(taken));
        }
        gates = std::move(later);
        masks = std::move(later_masks);
        take.resize(gates.size());
        chunked = !chunked;
    }
}

void GatePlan::add_whole_pass(std::vector<PreparedGate> gates) {
    // A chunk's gates run inside the threads' loops, which must not throw: their kernels are
    // built here rather than at their first application.
    if (nested_)
        for (const PreparedGate &g : gates) g.build_kernels_now();
    segments_.push_back({std::move(gates)});
}

void GatePlan::add_chunked(std::vector<PreparedGate> gates, int contiguous_bits, std::vector<int> gathered_bits,
                           int level, runtime::Poller *poll) {
    if (gathered_bits.empty() || gathered_bits.back() == contiguous_bits + int(gathered_bits.size()) - 1) {
        contiguous_bits += int(gathered_bits.size());  // the chunk's bits are all contiguous
        gathered_bits.clear();
    }
    // Chunk index bits: the contiguous ones in place, then the gathered ones in ascending order.
    const int chunk_qubits = contiguous_bits + int(gathered_bits.size());
    auto chunk_bit = [&](int bit) {
        if (bit < contiguous_bits) return bit;
        const auto at = std::find(gathered_bits.begin(), gathered_bits.end(), bit) - gathered_bits.begin();
        return contiguous_bits + int(at);
    };
    std::vector<PreparedGate> local;
    local.reserve(gates.size());
    for (const PreparedGate &g : gates) {
        std::vector<int> targets = g.targets();
        for (int &q : targets) q = chunk_qubits - 1 - chunk_bit(n_qubits_ - 1 - q);
        local.emplace_back(chunk_qubits, std::move(targets), g.matrix());
    }
    Segment segment{{}, {}, contiguous_bits, std::move(gathered_bits)};
    segment.chunk_plan.emplace_back(chunk_qubits, std::move(local), level + 1, poll);
    segments_.push_back(std::move(segment));
}

void GatePlan::apply(cplx *psi, runtime::Poller *poll) const {
    const std::uint64_t updates_per_gate = std::uint64_t(1) << n_qubits_;
    std::uint64_t updates = 0;  // by whole-pass gates since the last poll
    for (const Segment &segment : segments_) {
        if (!segment.chunk_plan.empty()) {
            apply_chunked(psi, segment, poll);
            continue;
        }
        for (const PreparedGate &g : segment.gates) {
            g.apply(psi);
            if (poll && (updates += updates_per_gate) >= kWholePassUpdatesPerPoll) {
                (*poll)();
                updates = 0;
            }
        }
    }
}

void GatePlan::apply_chunked(cplx *psi, const Segment &segment, runtime::Poller *poll) const {
    const GatePlan &plan = segment.chunk_plan.front();
    const std::vector<int> &gathered = segment.gathered_bits;
    const int contiguous = segment.contiguous_bits, chunk_qubits = contiguous + int(gathered.size());
    const std::size_t piece = std::size_t(1) << contiguous, pieces = std::size_t(1) << gathered.size();
    // A chunk's first amplitude: the chunk number spread over the bits the chunk does not hold.
    std::vector<int> chunk_bits;
    for (int b = 0; b < contiguous; ++b) chunk_bits.push_back(b);
    chunk_bits.insert(chunk_bits.end(), gathered.begin(), gathered.end());
    std::vector<std::uint64_t> piece_offsets(pieces, 0);
    for (std::size_t p = 0; p < pieces; ++p)
        for (std::size_t j = 0; j < gathered.size(); ++j)
            if (p >> j & 1) piece_offsets[p] |= std::uint64_t(1) << gathered[j];

    const std::uint64_t chunks = (std::uint64_t(1) << n_qubits_) >> chunk_qubits;
    const std::uint64_t updates = std::max<std::uint64_t>(1, plan.size()) << chunk_qubits;
    const std::uint64_t batch = std::max<std::uint64_t>(runtime::max_threads(), kUpdatesBetweenPolls / updates);
    const std::size_t grain =
        nested_ ? chunks : std::size_t(std::max<std::uint64_t>(1, kCachedUpdatesPerThread / updates));
    std::atomic<bool> out_of_memory{false};
    for (std::uint64_t first = 0; first < chunks && !out_of_memory; first += batch) {
        const std::uint64_t count = std::min(batch, chunks - first);
        runtime::parallel_for(count, grain, [&](std::size_t begin, std::size_t end) {
            if (gathered.empty()) {
                for (std::size_t c = begin; c < end; ++c) plan.apply(psi + ((first + c) << chunk_qubits));
                return;
            }
            // Aligned to a cache line, so that no vector load of the kernels straddles two.
            auto *buffer = static_cast<cplx *>(
                ::operator new[](piece * pieces * sizeof(cplx), std::align_val_t(64), std::nothrow));
            if (!buffer) {
                out_of_memory = true;
                return;
            }
            for (std::size_t c = begin; c < end; ++c) {
                cplx *base = psi + deposit(first + c, chunk_bits);
                for (std::size_t p = 0; p < pieces; ++p)
                    std::memcpy(buffer + p * piece, base + piece_offsets[p], piece * sizeof(cplx));
                plan.apply(buffer);
                for (std::size_t p = 0; p < pieces; ++p)
                    std::memcpy(base + piece_offsets[p], buffer + p * piece, piece * sizeof(cplx));
            }
            ::operator delete[](buffer, std::align_val_t(64));
        });
        if (poll) (*poll)();
    }
    if (out_of_memory) throw std::bad_alloc();
}

PlanRef PlanCache::get(int n_qubits, const std::vector<GateRef> &gates, runtime::Poller *poll) {
    auto key = std::make_pair(n_qubits, gates);
    auto found = plans_.find(key);
    if (found != plans_.end()) return found->second;
    std::vector<const PreparedGate *> sequence;
    for (const GateRef &g : gates) sequence.push_back(g.get());
    // Qubits from first_local on are the ones every largest chunk holds; a pass can gather
    // `gathered` others.
    const int gathered = n_qubits > kLevels[0].chunk_bits ? kLevels[0].gathered_bits : 0;
    const int first_local = std::max(0, n_qubits - kLevels[0].chunk_bits + gathered);
    auto plan = std::make_shared<const GatePlan>(n_qubits, fuse(n_qubits, sequence, first_local, gathered), 0, poll);
    plans_.emplace(std::move(key), plan);
    return plan;
}

}  // namespace statevector
