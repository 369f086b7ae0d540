#include "gate.hpp"

#include <algorithm>
#include <stdexcept>
#include <string>

#include "runs.hpp"
#include "runtime/parallel.hpp"

namespace statevector {

namespace {

constexpr std::size_t kGrain = kStreamedPerThread;

// Runs of at least this many amplitudes hold whole vectors of every instruction set.
constexpr std::uint64_t kSwitchedRun = 4;

// Diagonals on up to this many targets may be applied as periodic patterns (at most
// 2^(kPeriodicTargets - 1) patterns of 2^kPeriodBits entries).
constexpr int kPeriodicTargets = 6;

// Complex arithmetic written out on the components: keeps loops vectorisable and avoids the
// library's NaN-recovery path for complex multiplication.
inline void mul_add(double &re, double &im, const cplx &m, double ar, double ai) {
    re += m.real() * ar - m.imag() * ai;
    im += m.real() * ai + m.imag() * ar;
}

inline double *as_doubles(cplx *p) { return reinterpret_cast<double *>(p); }

// Runs shorter than this are done inline: a call through the kernel table costs more than the
// few amplitudes it would process. The arithmetic is the same as in the run kernels.
constexpr std::uint64_t kShortRun = 4;

inline void pair_inline(double *a, double *b, const double *m) {
    const double ar = a[0], ai = a[1], br = b[0], bi = b[1];
    a[0] = (m[0] * ar - m[1] * ai) + (m[2] * br - m[3] * bi);
    a[1] = (m[0] * ai + m[1] * ar) + (m[2] * bi + m[3] * br);
    b[0] = (m[4] * ar - m[5] * ai) + (m[6] * br - m[7] * bi);
    b[1] = (m[4] * ai + m[5] * ar) + (m[6] * bi + m[7] * br);
}

inline void scale_inline(double *a, const double *d) {
    const double ar = a[0], ai = a[1];
    a[0] = d[0] * ar - d[1] * ai;
    a[1] = d[0] * ai + d[1] * ar;
}

// Calls run(first, length) over the indices whose fixed bits are 0, each then OR-ed with the
// control mask, in contiguous runs below the lowest fixed bit. When that bit is one of the
// lowest, the runs would be too short to pay for themselves: indices are then taken block by
// block from the layout's table of free positions, one at a time.
template <class Run>
void for_each_base(int n, const IndexLayout &layout, const Run &run) {
    const std::uint64_t bases = (std::uint64_t(1) << n) >> layout.fixed_bits.size();
    if (layout.free_offsets.empty()) {
        const std::uint64_t span = std::min<std::uint64_t>(std::uint64_t(1) << layout.fixed_bits.front(), bases);
        runtime::parallel_for(bases, kGrain, [&](std::size_t begin, std::size_t end) {
            std::uint64_t b = begin;
            while (b < end) {
                const std::uint64_t offset = b % span, length = std::min<std::uint64_t>(span - offset, end - b);
                run(deposit(b, layout.fixed_bits) | layout.control_mask, length);
                b += length;
            }
        });
        return;
    }
    const int block_bits = layout.block_bits;
    const std::uint64_t blocks = ((std::uint64_t(1) << n) >> block_bits) >> layout.high_bits.size();
    runtime::parallel_for(blocks, std::max<std::size_t>(1, kGrain >> block_bits), [&](std::size_t begin, std::size_t end) {
        for (std::uint64_t b = begin; b < end; ++b) {
            const std::uint64_t block = (deposit(b, layout.high_bits) << block_bits) | layout.control_mask;
            for (std::uint64_t o : layout.free_offsets) run(block | o, 1);
        }
    });
}

// Diagonal on targets some of which are among the lowest kPeriodBits bits: each stretch of
// amplitudes in which the higher targets are fixed is scaled by one periodic pattern.
void apply_periodic_diagonal(cplx *psi, int n, const DiagonalPatterns &d) {
    const int block_bits = std::min(n, kPeriodBits);
    const std::uint64_t period = std::uint64_t(1) << block_bits;
    const std::uint64_t stretch = d.high_bits.empty() ? std::uint64_t(1) << n : std::uint64_t(1) << d.high_bits.front();
    const RunKernels &runs = run_kernels();
    auto scale = [&](std::uint64_t first, std::uint64_t last) {
        while (first < last) {
            const std::uint64_t stop = std::min(last, (first / stretch + 1) * stretch);
            std::size_t pattern = 0;
            for (std::size_t j = 0; j < d.high_bits.size(); ++j) pattern |= ((first >> d.high_bits[j]) & 1) << j;
            const std::size_t at = pattern * 2 * period;
            runs.scale_periodic(as_doubles(psi + first), stop - first, &d.re_parts[at], &d.im_parts[at], period);
            first = stop;
        }
    };
    runtime::parallel_for((std::size_t(1) << n) >> block_bits, std::max<std::size_t>(1, kGrain >> block_bits),
                 [&](std::size_t begin, std::size_t end) { scale(begin << block_bits, end << block_bits); });
}

// A dense two-qubit gate on two of the lowest kQuadBlockBits index bits, in blocks that hold
// both.
void apply_low_quads(cplx *psi, int n, const std::vector<int> &targets, const std::vector<cplx> &u) {
    const RunKernels &runs = run_kernels();
    const double *m = reinterpret_cast<const double *>(u.data());
    const int bit0 = n - 1 - targets[0], bit1 = n - 1 - targets[1];
    const int block_bits = std::min(n, kQuadBlockBits);
    runtime::parallel_for((std::size_t(1) << n) >> block_bits, std::max<std::size_t>(1, kGrain >> block_bits),
                 [&](std::size_t begin, std::size_t end) {
                     runs.quads_within(as_doubles(psi + (begin << block_bits)), (end - begin) << block_bits,
                                       bit0, bit1, m);
                 });
}

// A one-qubit gate `u`, controlled or not, on the lowest bits, block by block (see
// PairPatterns), over the blocks `blocks` picks.
void apply_pair_patterns(cplx *psi, int n, const PairPatterns &p, const IndexLayout &blocks, std::uint64_t stride,
                         const std::vector<cplx> &u, const std::vector<cplx> &u0, PairForm form) {
    const RunKernels &runs = run_kernels();
    const double *m = reinterpret_cast<const double *>(u.data());
    const std::uint64_t period = std::uint64_t(1) << p.block_bits;
    auto apply_blocks = [&](std::uint64_t first, std::uint64_t count) {
        double *a = as_doubles(psi + (first << p.block_bits));
        const std::uint64_t amplitudes = count << p.block_bits;
        if (p.switch_stride)
            runs.pairs_switched(a, amplitudes, stride, p.switch_stride,
                                u0.empty() ? nullptr : reinterpret_cast<const double *>(u0.data()), m);
        else if (!p.swaps.empty() && stride < period)
            runs.exchange_periodic(a, amplitudes, stride, p.swaps.data(), period);
        else if (!p.swaps.empty())
            runs.exchange_runs_periodic(a, a + 2 * stride, amplitudes, p.swaps.data(), period);
        else if (p.table.empty())
            runs.pairs_within(a, amplitudes, stride, m, form);
        else if (stride < period)
            runs.pairs_periodic(a, amplitudes, stride, p.table.data(), period);
        else
            runs.pair_runs_periodic(a, a + 2 * stride, amplitudes, p.table.data(), period);
    };
    const int block_qubits = n - p.block_bits;
    if (!blocks.fixed_bits.empty()) {
        for_each_base(block_qubits, blocks, apply_blocks);
        return;
    }
    runtime::parallel_for(std::size_t(1) << block_qubits, std::max<std::size_t>(1, kGrain >> p.block_bits),
                 [&](std::size_t begin, std::size_t end) { apply_blocks(begin, end - begin); });
}

// Diagonal `d` on the last targets, where all leading n_controls targets are 1; entries equal
// to 1 leave their amplitudes untouched.
void apply_diagonal(cplx *psi, int n, const std::vector<int> &targets, const IndexLayout &layout,
                    const std::vector<cplx> &d) {
    if (targets.empty()) {
        runtime::parallel_for(std::size_t(1) << n, kGrain, [&](std::size_t begin, std::size_t end) {
            run_kernels().scale(as_doubles(psi + begin), end - begin, reinterpret_cast<const double *>(d.data()));
        });
        return;
    }
    const RunKernels &runs = run_kernels();
    for_each_base(n, layout, [&](std::uint64_t first, std::uint64_t length) {
        for (std::size_t r = 0; r < d.size(); ++r) {
            if (d[r] == cplx(1.0, 0.0)) continue;
            double *a = as_doubles(psi + first + layout.offsets[r]);
            const double *dr = reinterpret_cast<const double *>(&d[r]);
            if (length < kShortRun)
                for (std::uint64_t j = 0; j < length; ++j) scale_inline(a + 2 * j, dr);
            else
                runs.scale(a, length, dr);
        }
    });
}

// Dense `u` on the last targets, where all leading n_controls targets are 1 (of the given form
// when it is 2x2).
void apply_dense(cplx *psi, int n, int n_controls, const IndexLayout &layout, const std::vector<cplx> &u,
                 PairForm form) {
    const std::size_t dim = layout.offsets.size();
    const RunKernels &runs = run_kernels();
    const double *m = reinterpret_cast<const double *>(u.data());
    if (dim == 2) {
        const std::uint64_t step = layout.offsets[1];
        for_each_base(n, layout, [&](std::uint64_t first, std::uint64_t length) {
            double *a = as_doubles(psi + first), *b = as_doubles(psi + first + step);
            if (length < kShortRun)
                for (std::uint64_t j = 0; j < length; ++j) pair_inline(a + 2 * j, b + 2 * j, m);
            else
                runs.pairs(a, b, length, m, form);
        });
        return;
    }
    if (dim == 4 && layout.fixed_bits[0] >= 2) {
        const std::uint64_t *o = layout.offsets.data();
        for_each_base(n, layout, [&](std::uint64_t first, std::uint64_t length) {
            runs.quad_runs(as_doubles(psi + first + o[0]), as_doubles(psi + first + o[1]),
                           as_doubles(psi + first + o[2]), as_doubles(psi + first + o[3]), length, m);
        });
        return;
    }
    if (dim == 4) {  // a target on one of the two lowest bits: short runs, bases listed in chunks
        const std::uint64_t bases = (std::uint64_t(1) << n) >> layout.fixed_bits.size();
        runtime::parallel_for(bases, kGrain, [&](std::size_t begin, std::size_t end) {
            constexpr std::size_t kChunk = 256;
            std::uint64_t chunk[kChunk];
            for (std::uint64_t b = begin; b < end; b += kChunk) {
                const std::uint64_t count = std::min<std::uint64_t>(kChunk, end - b);
                for (std::uint64_t j = 0; j < count; ++j) chunk[j] = deposit(b + j, layout.fixed_bits) | layout.control_mask;
                runs.quads(as_doubles(psi), chunk, count, layout.offsets.data(), m);
            }
        });
        return;
    }
    for_each_base(n, layout, [&](std::uint64_t first, std::uint64_t length) {
        std::vector<double> in(2 * dim);
        for (std::uint64_t j = 0; j < length; ++j) {
            double *base = as_doubles(psi + first + j);
            for (std::size_t c = 0; c < dim; ++c) {
                in[2 * c] = base[2 * layout.offsets[c]];
                in[2 * c + 1] = base[2 * layout.offsets[c] + 1];
            }
            for (std::size_t r = 0; r < dim; ++r) {
                double re = 0, im = 0;
                const cplx *row = &u[r * dim];
                for (std::size_t c = 0; c < dim; ++c) mul_add(re, im, row[c], in[2 * c], in[2 * c + 1]);
                base[2 * layout.offsets[r]] = re;
                base[2 * layout.offsets[r] + 1] = im;
            }
        }
    });
}

PairForm pair_form(const std::vector<cplx> &u) {
    auto real = [](cplx z) { return z.imag() == 0.0; };
    auto imaginary = [](cplx z) { return z.real() == 0.0; };
    if (u[0] == 0.0 && u[1] == 1.0 && u[2] == 1.0 && u[3] == 0.0) return PairForm::exchange;
    if (std::all_of(u.begin(), u.end(), real)) return PairForm::real;
    if (real(u[0]) && real(u[3]) && imaginary(u[1]) && imaginary(u[2])) return PairForm::real_diagonal;
    return PairForm::general;
}

// True when the 4x4 m is zero wherever row and column differ in their first target's bit.
bool blocks_on_first_target(const std::vector<cplx> &m) {
    for (std::size_t r = 0; r < 4; ++r)
        for (std::size_t c = 0; c < 4; ++c)
            if ((r >> 1) != (c >> 1) && m[r * 4 + c] != cplx(0.0, 0.0)) return false;
    return true;
}

// True when m equals the identity except on rows and columns whose leading c bits are all 1.
bool identity_outside_controls(const std::vector<cplx> &m, std::size_t dim, int k, int c) {
    const std::size_t lead = ((std::size_t(1) << c) - 1) << (k - c);
    for (std::size_t r = 0; r < dim; ++r)
        for (std::size_t col = 0; col < dim; ++col) {
            if ((r & lead) == lead && (col & lead) == lead) continue;
            if (m[r * dim + col] != (r == col ? cplx(1.0, 0.0) : cplx(0.0, 0.0))) return false;
        }
    return true;
}

}  // namespace

PreparedGate::PreparedGate(int n_qubits, std::vector<int> targets, std::vector<cplx> matrix)
    : n_qubits_(n_qubits), targets_(std::move(targets)) {
    const int k = int(targets_.size());
    for (int j = 0; j < k; ++j) {
        if (targets_[j] < 0 || targets_[j] >= n_qubits)
            throw std::invalid_argument("gate target " + std::to_string(targets_[j]) +
                                        " is out of range for " + std::to_string(n_qubits) + " qubit(s)");
        for (int i = 0; i < j; ++i)
            if (targets_[i] == targets_[j])
                throw std::invalid_argument("gate lists target " + std::to_string(targets_[j]) + " twice");
    }
    const std::size_t dim = std::size_t(1) << k;
    if (matrix.size() != dim * dim)
        throw std::invalid_argument("gate on " + std::to_string(k) + " target(s) needs a " +
                                    std::to_string(dim) + "x" + std::to_string(dim) + " matrix");
    diagonal_ = true;
    for (std::size_t r = 0; r < dim && diagonal_; ++r)
        for (std::size_t c = 0; c < dim; ++c)
            if (r != c && matrix[r * dim + c] != cplx(0.0, 0.0)) {
                diagonal_ = false;
                break;
            }
    while (n_controls_ + 1 <= k - (diagonal_ ? 0 : 1) && identity_outside_controls(matrix, dim, k, n_controls_ + 1))
        ++n_controls_;
    // A two-qubit matrix that never mixes the values of its first target applies one 2x2 matrix
    // where that target is 0 and another where it is 1, in one pass like a controlled gate's.
    if (!diagonal_ && k == 2 && n_controls_ == 0 && blocks_on_first_target(matrix)) {
        n_controls_ = 1;
        zero_block_ = {matrix[0], matrix[1], matrix[4], matrix[5]};
    }
    if (diagonal_ && k > 0 && n_controls_ == k) --n_controls_;  // keep one target to scale
    const std::size_t sub = std::size_t(1) << (k - n_controls_), first = dim - sub;
    block_.reserve(diagonal_ ? sub : sub * sub);
    for (std::size_t r = 0; r < sub; ++r)
        for (std::size_t c = 0; c < sub; ++c)
            if (!diagonal_ || r == c) block_.push_back(matrix[(first + r) * dim + first + c]);
    matrix_ = std::move(matrix);
    if (!zero_block_.empty()) zero_form_ = pair_form(zero_block_);
    if (!diagonal_ && k - n_controls_ == 1) form_ = pair_form(block_);
}

PreparedGate::Kernels PreparedGate::build_kernels() const {
    Kernels kernels;
    const int k = int(targets_.size());
    if (k == 0) return kernels;
    const IndexLayout &layout = kernels.layout = IndexLayout(n_qubits_, targets_, n_controls_);
    if (!zero_block_.empty()) {
        kernels.zero_layout = layout;
        kernels.zero_layout.control_mask = 0;
    }
    if (diagonal_ && k <= kPeriodicTargets && layout.fixed_bits.front() < kPeriodBits) {
        // Periodic patterns scale every amplitude; runs skip the entries equal to 1, which pays
        // once the runs are long enough and most entries are 1 (as for controlled phases).
        const std::size_t dim = std::size_t(1) << k;
        const std::size_t ones = std::size_t(std::count(block_.begin(), block_.end(), cplx(1.0, 0.0))) +
                                 (dim - block_.size());
        if (layout.fixed_bits.front() < 3 || 2 * ones < dim)
            kernels.periodic = DiagonalPatterns(n_qubits_, targets_, matrix_);
    }
    if (!diagonal_ && k - n_controls_ == 1) {
        auto on_low_bit = [&](int q) { return n_qubits_ - 1 - q < kPeriodBits; };
        if (std::any_of(targets_.begin(), targets_.end(), on_low_bit))
            kernels.low_pairs = PairPatterns(n_qubits_, targets_, n_controls_, block_, zero_block_);
    }
    // Short runs of a dense two-qubit gate: in blocks (controlled gates keep their cheaper
    // kernel, which touches half the amplitudes).
    kernels.low_quads = !diagonal_ && n_controls_ == 0 && k == 2 && layout.fixed_bits.front() < 3 &&
                        layout.fixed_bits.back() < kQuadBlockBits && run_kernels().quads_within;
    return kernels;
}

IndexLayout::IndexLayout(int n, const std::vector<int> &targets, int n_controls) {
    const std::size_t k = targets.size(), kt = k - n_controls;
    for (int t : targets) fixed_bits.push_back(n - 1 - t);
    std::sort(fixed_bits.begin(), fixed_bits.end());
    for (int c = 0; c < n_controls; ++c) control_mask |= bit_of(n, targets[c]);
    offsets.assign(std::size_t(1) << kt, 0);
    for (std::size_t r = 0; r < offsets.size(); ++r)
        for (std::size_t j = 0; j < kt; ++j)
            if ((r >> (kt - 1 - j)) & 1) offsets[r] |= bit_of(n, targets[n_controls + j]);
    const std::uint64_t bases = (std::uint64_t(1) << n) >> k;
    if (std::min<std::uint64_t>(std::uint64_t(1) << fixed_bits.front(), bases) >= kShortRun) return;
    block_bits = std::min(n, 6);
    std::uint64_t low_mask = 0;
    for (int p : fixed_bits) {
        if (p < block_bits)
            low_mask |= std::uint64_t(1) << p;
        else
            high_bits.push_back(p - block_bits);
    }
    for (std::uint64_t o = 0; o < (std::uint64_t(1) << block_bits); ++o)
        if (!(o & low_mask)) free_offsets.push_back(o);
}

DiagonalPatterns::DiagonalPatterns(int n, const std::vector<int> &targets, const std::vector<cplx> &matrix) {
    const int block_bits = std::min(n, kPeriodBits);
    const std::size_t period = std::size_t(1) << block_bits, dim = std::size_t(1) << targets.size();
    for (int t : targets)
        if (n - 1 - t >= block_bits) high_bits.push_back(n - 1 - t);
    std::sort(high_bits.begin(), high_bits.end());
    const std::size_t patterns = std::size_t(1) << high_bits.size();
    re_parts.resize(patterns * 2 * period);
    im_parts.resize(patterns * 2 * period);
    for (std::size_t p = 0; p < patterns; ++p)
        for (std::size_t j = 0; j < period; ++j) {
            std::uint64_t index = j;
            for (std::size_t h = 0; h < high_bits.size(); ++h) index |= std::uint64_t((p >> h) & 1) << high_bits[h];
            std::size_t row = 0;
            for (int t : targets) row = (row << 1) | ((index >> (n - 1 - t)) & 1);
            const cplx entry = matrix[row * dim + row];
            const std::size_t at = p * 2 * period + 2 * j;
            re_parts[at] = re_parts[at + 1] = entry.real();
            im_parts[at] = -entry.imag();
            im_parts[at + 1] = entry.imag();
        }
}

PairPatterns::PairPatterns(int n, const std::vector<int> &targets, int n_controls, const std::vector<cplx> &u,
                           const std::vector<cplx> &u0) {
    block_bits = std::min(n, kPeriodBits);
    const std::uint64_t period = std::uint64_t(1) << block_bits;
    const int target_bit = n - 1 - targets.back();
    // Bits above the block as qubits of a state of blocks: the controls, then the target.
    const int block_qubits = n - block_bits;
    std::vector<int> fixed;
    std::uint64_t low_controls = 0;
    for (int c = 0; c < n_controls; ++c) {
        const int bit = n - 1 - targets[c];
        if (bit < block_bits)
            low_controls |= std::uint64_t(1) << bit;
        else
            fixed.push_back(block_qubits - 1 - (bit - block_bits));
    }
    const int high_controls = int(fixed.size());
    const bool high_target = target_bit >= block_bits;
    if (high_target) fixed.push_back(block_qubits - 1 - (target_bit - block_bits));
    if (!fixed.empty()) runs = IndexLayout(block_qubits, fixed, high_controls);
    if (!low_controls) {
        if (!u0.empty()) {
            zero_runs = runs;
            zero_runs.control_mask = 0;
        }
        return;
    }
    const std::uint64_t stride = std::uint64_t(1) << target_bit;
    const bool one_control = (low_controls & (low_controls - 1)) == 0;
    const bool exchange = u0.empty() && pair_form(u) == PairForm::exchange;
    if (one_control && low_controls >= kSwitchedRun && (high_target || stride >= kSwitchedRun) && !exchange) {
        switch_stride = low_controls;
        return;
    }
    if (exchange) {
        swaps.resize(2 * period);
        for (std::uint64_t j = 0; j < period; ++j)
            swaps[2 * j] = swaps[2 * j + 1] = (j & low_controls) == low_controls ? ~std::uint64_t(0) : 0;
        return;
    }
    const std::uint64_t positions = high_target ? 2 * period : period;
    table.resize(8 * positions);
    double *own_re = table.data(), *own_im = own_re + 2 * positions;
    double *partner_re = own_im + 2 * positions, *partner_im = partner_re + 2 * positions;
    for (std::uint64_t p = 0; p < positions; ++p) {
        const std::uint64_t j = p % period;
        const bool second = high_target ? p >= period : (j >> target_bit) & 1;
        const bool active = (j & low_controls) == low_controls;
        const std::vector<cplx> &m = active ? u : u0;
        const cplx own = !active && u0.empty() ? cplx(1.0, 0.0) : second ? m[3] : m[0];
        const cplx partner = !active && u0.empty() ? cplx(0.0, 0.0) : second ? m[2] : m[1];
        own_re[2 * p] = own_re[2 * p + 1] = own.real();
        own_im[2 * p] = -own.imag();
        own_im[2 * p + 1] = own.imag();
        partner_re[2 * p] = partner_re[2 * p + 1] = partner.real();
        partner_im[2 * p] = -partner.imag();
        partner_im[2 * p + 1] = partner.imag();
    }
}

void PreparedGate::apply(cplx *psi) const {
    const Kernels &kernels = this->kernels();
    const PairPatterns &low_pairs = kernels.low_pairs;
    if (low_pairs.block_bits > 0) {
        const std::uint64_t stride = kernels.layout.offsets[1];
        apply_pair_patterns(psi, n_qubits_, low_pairs, low_pairs.runs, stride, block_, zero_block_, form_);
        if (!low_pairs.zero_runs.fixed_bits.empty())
            apply_pair_patterns(psi, n_qubits_, low_pairs, low_pairs.zero_runs, stride, zero_block_, {}, zero_form_);
        return;
    }
    if (kernels.low_quads)
        apply_low_quads(psi, n_qubits_, targets_, matrix_);
    else if (diagonal_ && !kernels.periodic.re_parts.empty())
        apply_periodic_diagonal(psi, n_qubits_, kernels.periodic);
    else if (diagonal_)
        apply_diagonal(psi, n_qubits_, targets_, kernels.layout, block_);
    else
        apply_dense(psi, n_qubits_, n_controls_, kernels.layout, block_, form_);
    if (!zero_block_.empty() && low_pairs.block_bits == 0)
        apply_dense(psi, n_qubits_, n_controls_, kernels.zero_layout, zero_block_, zero_form_);
}

}  // namespace statevector
