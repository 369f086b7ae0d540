// Gates prepared for application to a dense statevector.
//
// Layout: amplitude index i = sum_q b_q 2^(n-1-q), so qubit 0 is the most significant bit. A
// gate on targets (t_0 .. t_{k-1}) has a 2^k x 2^k row-major matrix whose index puts t_0 in
// the most significant bit.
#pragma once

#include <atomic>
#include <complex>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "runs.hpp"
#include "state_allocator.hpp"

namespace statevector {

using cplx = std::complex<double>;
// Coefficient tables read with whole-vector loads.
using AlignedDoubles = std::vector<double, StateAllocator<double>>;

// The least work worth a thread of its own in runtime::parallel_for, about 100 microseconds:
// starting and joining a thread takes tens of microseconds on a virtual machine, so a smaller
// range runs faster on the calling thread. That is a loop over this many amplitudes of a state
// that is not in cache...
constexpr std::size_t kStreamedPerThread = std::size_t(1) << 18;
// ...or this many amplitude updates (gates times amplitudes) of gates on a chunk in cache.
constexpr std::size_t kCachedUpdatesPerThread = std::size_t(1) << 20;

// The bit of amplitude indices that holds qubit q of n.
inline std::uint64_t bit_of(int n, int q) { return std::uint64_t(1) << (n - 1 - q); }

// The bits of amplitude indices that hold `qubits` of n.
inline std::uint64_t qubits_mask(int n, const std::vector<int> &qubits) {
    std::uint64_t mask = 0;
    for (int q : qubits) mask |= bit_of(n, q);
    return mask;
}

// Spreads the bits of `compact` over the index bits that are not in `zero_bits` (ascending
// bit positions), leaving those positions 0.
inline std::uint64_t deposit(std::uint64_t compact, const std::vector<int> &zero_bits) {
    for (int pos : zero_bits) {
        std::uint64_t low = compact & ((std::uint64_t(1) << pos) - 1);
        compact = ((compact >> pos) << (pos + 1)) | low;
    }
    return compact;
}

// Where a gate's amplitudes sit in the index: the targets' bit positions (ascending), the mask
// of its control bits, the offsets of the 2^k' combinations of its other targets (first of them
// most significant) and, when its lowest bit is among the lowest index bits, a table of the free
// positions inside blocks of 2^block_bits amplitudes.
struct IndexLayout {
    std::vector<int> fixed_bits;
    std::uint64_t control_mask = 0;
    std::vector<std::uint64_t> offsets;
    int block_bits = 0;
    std::vector<int> high_bits;  // fixed positions above the block, counted from its top
    std::vector<std::uint64_t> free_offsets;

    IndexLayout() = default;
    IndexLayout(int n, const std::vector<int> &targets, int n_controls);
};

// Amplitudes are scaled or paired in blocks of 2^kPeriodBits when a gate acts on one of these
// lowest index bits, whose runs are too short to loop over one by one.
constexpr int kPeriodBits = 6;

// A diagonal gate with targets among the lowest kPeriodBits bits, as periodic patterns: for each
// combination of its higher targets' bits (`high_bits`, ascending; the first the least
// significant of the combination's number), the diagonal entry of each of the 2^kPeriodBits
// positions of a block, in the split form of RunKernels::scale_periodic.
struct DiagonalPatterns {
    std::vector<int> high_bits;
    AlignedDoubles re_parts, im_parts;

    DiagonalPatterns() = default;
    DiagonalPatterns(int n, const std::vector<int> &targets, const std::vector<cplx> &matrix);
};

// A one-qubit gate, controlled or not, whose target or some control lies among the lowest
// kPeriodBits bits. The amplitudes are taken in blocks of 2^kPeriodBits: `runs` (over blocks)
// picks those whose control bits above the block are all 1, with the target 0 when it lies above
// the block. `table` gives the coefficients of each position in a block in the form of
// RunKernels::pairs_periodic (when the target lies above the block, the positions with the
// target 0, then those with it 1): the identity where the block's own control bits are not all 1
// (or the matrix u0 of a multiplexed gate, which applies u0 where its control is 0). Without
// such control bits the coefficients are the same everywhere and `table` is empty; a multiplexed
// gate then also applies u0 to the blocks `zero_runs` picks (its control 0). When the matrix
// exchanges the pair (as that of a CX), `swaps` takes the place of `table`: all ones at the
// positions whose pair is exchanged, in the form of RunKernels::exchange_periodic.
struct PairPatterns {
    int block_bits = 0;
    IndexLayout runs, zero_runs;
    // With one control among the block's bits, whose runs and the target's hold whole vectors:
    // that control's stride (RunKernels::pairs_switched), in place of a table.
    std::uint64_t switch_stride = 0;
    AlignedDoubles table;
    std::vector<std::uint64_t, StateAllocator<std::uint64_t>> swaps;

    PairPatterns() = default;
    // u0 empty: a controlled gate, the identity where its controls are not all 1.
    PairPatterns(int n, const std::vector<int> &targets, int n_controls, const std::vector<cplx> &u,
                 const std::vector<cplx> &u0);
};

// A value built at its first use, once, by whichever thread asks first (racing builders keep
// the first value stored); movable, and empty again once moved from.
template <class T> class BuiltOnce {
public:
    BuiltOnce() = default;
    BuiltOnce(BuiltOnce &&other) noexcept : value_(other.value_.exchange(nullptr)) {}
    BuiltOnce &operator=(BuiltOnce &&other) noexcept {
        delete value_.exchange(other.value_.exchange(nullptr));
        return *this;
    }
    ~BuiltOnce() { delete value_.load(); }

    template <class Build> const T &get(const Build &build) const {
        if (const T *value = value_.load(std::memory_order_acquire)) return *value;
        auto made = std::make_unique<const T>(build());
        const T *expected = nullptr;
        if (value_.compare_exchange_strong(expected, made.get(), std::memory_order_acq_rel)) return *made.release();
        return *expected;
    }

private:
    mutable std::atomic<const T *> value_{nullptr};
};

// A gate matrix classified once, so that each application takes the cheapest kernel: diagonal
// matrices only scale amplitudes, a matrix that is the identity unless its leading targets are
// all 1 touches only that subspace, and a two-qubit matrix block diagonal in its first target
// (multiplexed) applies one 2x2 matrix to each half. n_controls() counts the leading targets
// that act as controls: the gate commutes with any diagonal gate on them.
class PreparedGate {
public:
    // Throws std::invalid_argument for duplicate or out-of-range targets or a matrix of the
    // wrong size.
    PreparedGate(int n_qubits, std::vector<int> targets, std::vector<cplx> matrix);

    const std::vector<int> &targets() const { return targets_; }
    const std::vector<cplx> &matrix() const { return matrix_; }
    bool is_diagonal() const { return diagonal_; }
    int n_controls() const { return n_controls_; }

    // Applies the gate in place to the 2^n amplitudes at psi.
    void apply(cplx *psi) const;
    // Builds now what apply() needs, which it otherwise builds at the first application.
    void build_kernels_now() const { kernels(); }

private:
    // Where apply() finds the amplitudes: built at the first application, since most gates of
    // a circuit are folded into fused gates and never applied themselves.
    struct Kernels {
        IndexLayout layout;
        DiagonalPatterns periodic;
        PairPatterns low_pairs;  // a one-qubit gate, controlled or not, on the lowest bits
        IndexLayout zero_layout;  // the pairs of a multiplexed gate's zero_block_
        bool low_quads = false;   // dense on two of the lowest bits: applied in blocks
    };
    Kernels build_kernels() const;
    const Kernels &kernels() const {
        return kernels_.get([this] { return build_kernels(); });
    }

    int n_qubits_;
    std::vector<int> targets_;
    std::vector<cplx> matrix_;
    bool diagonal_ = false;
    int n_controls_ = 0;
    std::vector<cplx> block_;  // the diagonal, or the matrix on the controlled subspace
    // A multiplexed gate (two-qubit, block diagonal in its first target, which acts as a
    // control): the 2x2 matrix where that target is 0, and its form.
    std::vector<cplx> zero_block_;
    PairForm zero_form_ = PairForm::general;
    PairForm form_ = PairForm::general;  // of a 2x2 block
    BuiltOnce<Kernels> kernels_;
};

}  // namespace statevector
