#include "terminal.hpp"

#include <algorithm>
#include <cmath>

#include "measure.hpp"

namespace statevector {

namespace {

// Maps an index of a permuted layout to the natural amplitude index, as two table lookups:
// bit permutation is linear, so the low and high halves of the index map independently.
class IndexMap {
public:
    IndexMap(int n_qubits, const std::vector<int> &order) : low_bits_(n_qubits / 2) {
        const int high_bits = n_qubits - low_bits_;
        low_.assign(std::size_t(1) << low_bits_, 0);
        high_.assign(std::size_t(1) << high_bits, 0);
        // Layout bit n-1-k holds qubit order[k], whose natural bit is n-1-order[k].
        for (int k = 0; k < n_qubits; ++k) {
            const int layout_bit = n_qubits - 1 - k;
            const std::uint64_t natural = bit_of(n_qubits, order[k]);
            std::vector<std::uint64_t> &table = layout_bit < low_bits_ ? low_ : high_;
            const int shift = layout_bit < low_bits_ ? layout_bit : layout_bit - low_bits_;
            for (std::size_t v = 0; v < table.size(); ++v)
                if ((v >> shift) & 1) table[v] |= natural;
        }
    }

    std::uint64_t operator()(std::uint64_t layout_index) const {
        return high_[layout_index >> low_bits_] | low_[layout_index & ((std::uint64_t(1) << low_bits_) - 1)];
    }

private:
    int low_bits_;
    std::vector<std::uint64_t> low_, high_;
};

}  // namespace

std::unique_ptr<TerminalMeasurements> TerminalMeasurements::plan(int n_qubits,
                                                                 const std::vector<const MeasureOp *> &measurements,
                                                                 std::uint64_t budget) {
    if (n_qubits > 40) return nullptr;
    auto plan = std::unique_ptr<TerminalMeasurements>(new TerminalMeasurements());
    plan->n_qubits_ = n_qubits;
    plan->into_basis_.resize(std::size_t(n_qubits));

    // Each qubit's one basis and the step that first measures it.
    const std::size_t never = measurements.size();
    std::vector<MeasureOp::Basis> basis(std::size_t(n_qubits), MeasureOp::Basis::Z);
    std::vector<std::size_t> first_step(std::size_t(n_qubits), never);
    std::uint64_t rotatable = 0;  // qubits measured in X or Y (bit q)
    for (std::size_t k = 0; k < measurements.size(); ++k) {
        const MeasureOp &m = *measurements[k];
        for (int q : m.qubits) {
            const std::size_t at = std::size_t(q);
            if (m.basis != MeasureOp::Basis::Z && std::count(m.qubits.begin(), m.qubits.end(), q) > 1) return nullptr;
            if (first_step[at] != never) {
                if (basis[at] != m.basis) return nullptr;
                continue;
            }
            first_step[at] = k;
            basis[at] = m.basis;
            if (m.basis == MeasureOp::Basis::Z) continue;
            rotatable |= std::uint64_t(1) << q;
            for (const PreparedGate *g : m.before)
                if (g->targets() == std::vector<int>{q}) plan->into_basis_[at].push_back(g);
        }
    }

    std::vector<bool> fixed(std::size_t(n_qubits), false);
    std::vector<int> prefix;  // measured qubits in measurement order
    for (std::size_t k = 0; k < measurements.size(); ++k) {
        const std::vector<int> &qubits = measurements[k]->qubits;
        Step step;
        for (int q : qubits)
            if (!fixed[std::size_t(q)] && std::find(step.new_qubits.begin(), step.new_qubits.end(), q) == step.new_qubits.end())
                step.new_qubits.push_back(q);
        std::sort(step.new_qubits.begin(), step.new_qubits.end());
        if (step.new_qubits.empty()) {  // its outcomes are those drawn before
            plan->steps_.push_back(std::move(step));
            continue;
        }
        const int last = step.new_qubits.back();
        std::uint64_t rotated = rotatable;
        Stretch stretch{0, 0};
        for (int q = 0; q <= last; ++q) {
            const std::size_t at = std::size_t(q);
            if (!fixed[at]) {
                ++stretch.free_bits;
                if (first_step[at] > k) rotated &= ~(std::uint64_t(1) << q);  // read before its own measurement
            } else if (basis[at] != MeasureOp::Basis::Z && std::find(qubits.begin(), qubits.end(), q) == qubits.end()) {
                if (stretch.free_bits) {
                    step.walk.push_back(stretch);
                    stretch = Stretch{0, 0};
                }
                ++stretch.halvings;
            }
        }
        step.walk.push_back(stretch);
        std::vector<int> order = prefix;
        for (int q = 0; q < n_qubits; ++q)
            if (!fixed[std::size_t(q)]) order.push_back(q);
        if (plan->layouts_.empty() || plan->layouts_.back().order != order || plan->layouts_.back().rotated != rotated)
            plan->layouts_.push_back({order, rotated, {}});
        step.layout = plan->layouts_.size() - 1;
        for (int q : step.new_qubits) {
            const auto at = std::find(order.begin(), order.end(), q) - order.begin();
            step.layout_bits.push_back(n_qubits - 1 - int(at));
            fixed[std::size_t(q)] = true;
            prefix.push_back(q);
        }
        plan->steps_.push_back(std::move(step));
    }
    const std::uint64_t table_bytes = (std::uint64_t(1) << n_qubits) * sizeof(double);
    if (plan->layouts_.size() * table_bytes > budget) return nullptr;
    return plan;
}

bool TerminalMeasurements::prepare(const cplx *psi) {
    const std::uint64_t size = std::uint64_t(1) << n_qubits_;
    StateVector turned;  // psi in the measurement bases of a layout
    for (Layout &layout : layouts_) {
        const cplx *source = psi;
        if (layout.rotated) {
            turned.assign(psi, psi + size);
            for (int q = 0; q < n_qubits_; ++q)
                if ((layout.rotated >> q) & 1)
                    for (const PreparedGate *g : into_basis_[std::size_t(q)]) g->apply(turned.data());
            source = turned.data();
        }
        // The same arithmetic as the distribution of a single measurement, in the layout's order.
        if (!build_cdf(source, size, IndexMap(n_qubits_, layout.order), layout.cdf)) return false;
    }
    return true;
}

namespace {

// Where a draw's `target` lands among `blocks` sub-blocks of `sub` table entries from `lo`,
// reading only their last entries: the first sub-block whose last entry exceeds the target
// holds the first entry that does, which a search of the whole block would find. None does at
// the block's very top: the draw rounds to the last. The table is nondecreasing, so that
// sub-block is also the count of last entries not above the target, found here without a
// branch on the draw (whose outcome no predictor can guess).
inline std::uint64_t sub_block(const double *cdf, std::uint64_t lo, std::uint64_t sub, std::uint64_t blocks,
                               double target) {
    const double *last_entries = cdf + lo + sub - 1;  // sub-block i's: [i * sub]
    if (blocks == 2) return last_entries[0] <= target;  // one qubit: a single comparison decides
    std::uint64_t first = 0;
    for (std::uint64_t count = blocks; count > 1;) {
        const std::uint64_t half = count / 2;
        const std::uint64_t not_above = last_entries[(first + half - 1) * sub] <= target;
        first += half & (0 - not_above);
        count -= half;
    }
    first += last_entries[first * sub] <= target;
    return std::min(first, blocks - 1);
}

}  // namespace

inline std::uint64_t TerminalMeasurements::locate(const Step &step, const Distribution &cdf, int free_bits,
                                                  std::uint64_t prefix, double u) {
    auto below = [&cdf](std::uint64_t i) { return i == 0 ? 0.0 : cdf[i - 1]; };
    // The indices still possible: the block [lo, lo + 2^free_bits) of the table, each index
    // standing for as many as the halvings so far. The draw's position among them is
    // `offset` of `scale`: a fraction of the mass until the first search, table units after.
    std::uint64_t lo = prefix << free_bits, sub = 0;
    double offset = u, scale = 1.0, target = 0.0;
    for (std::size_t s = 0; s < step.walk.size(); ++s) {
        if (s > 0) {  // the position within the sub-block the last search chose
            offset = target - below(lo);
            scale = cdf[lo + sub - 1] - below(lo);
        }
        for (int h = 0; h < step.walk[s].halvings; ++h)  // exact while 0 <= offset < scale
            offset = offset < scale / 2 ? 2 * offset : 2 * offset - scale;
        const std::uint64_t hi = lo + (std::uint64_t(1) << free_bits);
        const double start = below(lo);
        target = start + (s == 0 ? offset * (cdf[hi - 1] - start) : offset);
        free_bits -= step.walk[s].free_bits;
        sub = std::uint64_t(1) << free_bits;
        lo += sub_block(cdf.data(), lo, sub, std::uint64_t(1) << step.walk[s].free_bits, target) * sub;
    }
    return lo;
}

void TerminalMeasurements::draw(const double *uniforms, std::size_t shots, std::uint64_t *keys) const {
    // Each step is taken for a group of shots in turn: their searches are independent, so the
    // processor overlaps them instead of waiting on one shot's chain of dependent loads.
    constexpr std::size_t kGroup = 64;
    const std::size_t per_shot = steps_.size();
    for (std::size_t group = 0; group < shots; group += kGroup) {
        const std::size_t count = std::min(kGroup, shots - group);
        std::uint64_t prefix[kGroup] = {};  // outcomes so far, in layout order
        std::uint64_t *key = keys + group;  // and as index bits
        std::fill(key, key + count, 0);
        int fixed = 0;
        for (std::size_t k = 0; k < per_shot; ++k) {
            const Step &step = steps_[k];
            if (step.walk.empty()) continue;  // its outcomes are those drawn before
            const Distribution &cdf = layouts_[step.layout].cdf;
            const double *u = uniforms + group * per_shot + k;
            const int free_bits = n_qubits_ - fixed;
            auto record = [&](std::size_t shot, std::uint64_t lo) {
                for (std::size_t q = 0; q < step.new_qubits.size(); ++q) {
                    const std::uint64_t bit = (lo >> step.layout_bits[q]) & 1;
                    prefix[shot] = (prefix[shot] << 1) | bit;
                    key[shot] |= bit * bit_of(n_qubits_, step.new_qubits[q]);
                }
            };
            if (step.walk.size() == 1 && step.walk[0].halvings == 0) {
                // One search with nothing to halve (no qubit measured in X or Y reads in
                // between): locate()'s arithmetic with the step's constants set once.
                const double *table = cdf.data();
                const std::uint64_t span = std::uint64_t(1) << free_bits;
                const std::uint64_t sub = span >> step.walk[0].free_bits, blocks = span / sub;
                for (std::size_t shot = 0; shot < count; ++shot) {
                    const std::uint64_t lo = prefix[shot] << free_bits;
                    const double start = lo == 0 ? 0.0 : table[lo - 1];
                    const double target = start + u[shot * per_shot] * (table[lo + span - 1] - start);
                    record(shot, lo + sub_block(table, lo, sub, blocks, target) * sub);
                }
            } else {
                for (std::size_t shot = 0; shot < count; ++shot)
                    record(shot, locate(step, cdf, free_bits, prefix[shot], u[shot * per_shot]));
            }
            fixed += int(step.new_qubits.size());
        }
    }
}

std::uint64_t TerminalMeasurements::bytes() const {
    return layouts_.size() * (std::uint64_t(1) << n_qubits_) * sizeof(double);
}

}  // namespace statevector
