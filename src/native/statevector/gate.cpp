#include "gate.hpp"

#include <algorithm>
#include <stdexcept>
#include <string>

#include "parallel.hpp"

namespace statevector {

namespace {

constexpr std::size_t kGrain = std::size_t(1) << 15;

// Complex arithmetic written out on the components: keeps loops vectorisable and avoids the
// library's NaN-recovery path for complex multiplication.
inline void mul_add(double &re, double &im, const cplx &m, double ar, double ai) {
    re += m.real() * ar - m.imag() * ai;
    im += m.real() * ai + m.imag() * ar;
}

inline double *as_doubles(cplx *p) { return reinterpret_cast<double *>(p); }

// The bit of amplitude indices that holds qubit q.
inline std::uint64_t bit_of(int n, int q) { return std::uint64_t(1) << (n - 1 - q); }

// Spreads the bits of `compact` over the index bits that are not in `zero_bits` (ascending
// bit positions), leaving those positions 0.
inline std::uint64_t deposit(std::uint64_t compact, const std::vector<int> &zero_bits) {
    for (int pos : zero_bits) {
        std::uint64_t low = compact & ((std::uint64_t(1) << pos) - 1);
        compact = ((compact >> pos) << (pos + 1)) | low;
    }
    return compact;
}

// One-qubit dense matrix on bit `stride`: pairs (j, j + stride) in contiguous runs.
void apply_one(cplx *psi, int n, std::uint64_t stride, const cplx *m) {
    const std::uint64_t pairs = (std::uint64_t(1) << n) >> 1;
    const cplx m00 = m[0], m01 = m[1], m10 = m[2], m11 = m[3];
    parallel_for(pairs, kGrain, [&](std::size_t begin, std::size_t end) {
        std::uint64_t p = begin;
        while (p < end) {
            std::uint64_t block = p / stride, offset = p % stride;
            std::uint64_t run = std::min<std::uint64_t>(stride - offset, end - p);
            double *a = as_doubles(psi + block * 2 * stride + offset);
            double *b = a + 2 * stride;
            for (std::uint64_t j = 0; j < run; ++j) {
                const double ar = a[2 * j], ai = a[2 * j + 1], br = b[2 * j], bi = b[2 * j + 1];
                double r0 = 0, i0 = 0, r1 = 0, i1 = 0;
                mul_add(r0, i0, m00, ar, ai);
                mul_add(r0, i0, m01, br, bi);
                mul_add(r1, i1, m10, ar, ai);
                mul_add(r1, i1, m11, br, bi);
                a[2 * j] = r0;
                a[2 * j + 1] = i0;
                b[2 * j] = r1;
                b[2 * j + 1] = i1;
            }
            p += run;
        }
    });
}

// Diagonal matrix: amplitude i is scaled by diag[r], r = the target bits of i in gate order.
void apply_diagonal(cplx *psi, int n, const std::vector<int> &targets, const std::vector<cplx> &diag) {
    const std::size_t k = targets.size();
    if (k == 1) {
        const std::uint64_t stride = bit_of(n, targets[0]);
        const std::uint64_t pairs = (std::uint64_t(1) << n) >> 1;
        const cplx d0 = diag[0], d1 = diag[1];
        const bool scale0 = d0 != cplx(1.0, 0.0), scale1 = d1 != cplx(1.0, 0.0);
        parallel_for(pairs, kGrain, [&](std::size_t begin, std::size_t end) {
            std::uint64_t p = begin;
            while (p < end) {
                std::uint64_t block = p / stride, offset = p % stride;
                std::uint64_t run = std::min<std::uint64_t>(stride - offset, end - p);
                double *a = as_doubles(psi + block * 2 * stride + offset);
                double *b = a + 2 * stride;
                for (std::uint64_t j = 0; j < run && scale0; ++j) {
                    double r = 0, i = 0;
                    mul_add(r, i, d0, a[2 * j], a[2 * j + 1]);
                    a[2 * j] = r;
                    a[2 * j + 1] = i;
                }
                for (std::uint64_t j = 0; j < run && scale1; ++j) {
                    double r = 0, i = 0;
                    mul_add(r, i, d1, b[2 * j], b[2 * j + 1]);
                    b[2 * j] = r;
                    b[2 * j + 1] = i;
                }
                p += run;
            }
        });
        return;
    }
    std::vector<std::uint64_t> bits(k);
    for (std::size_t j = 0; j < k; ++j) bits[j] = bit_of(n, targets[j]);
    parallel_for(std::size_t(1) << n, kGrain, [&](std::size_t begin, std::size_t end) {
        for (std::uint64_t i = begin; i < end; ++i) {
            std::size_t r = 0;
            for (std::size_t j = 0; j < k; ++j) r = (r << 1) | ((i & bits[j]) ? 1 : 0);
            const cplx &d = diag[r];
            if (d == cplx(1.0, 0.0)) continue;
            double *a = as_doubles(psi + i);
            double re = 0, im = 0;
            mul_add(re, im, d, a[0], a[1]);
            a[0] = re;
            a[1] = im;
        }
    });
}

// Dense matrix `u` on the last targets.size() - n_controls targets, applied where all
// leading n_controls targets are 1.
void apply_controlled(cplx *psi, int n, const std::vector<int> &targets, int n_controls,
                      const std::vector<cplx> &u) {
    const std::size_t k = targets.size(), kt = k - n_controls, dim = std::size_t(1) << kt;
    std::uint64_t control_mask = 0;
    for (int c = 0; c < n_controls; ++c) control_mask |= bit_of(n, targets[c]);
    std::vector<std::uint64_t> offsets(dim, 0);
    for (std::size_t r = 0; r < dim; ++r)
        for (std::size_t j = 0; j < kt; ++j)
            if ((r >> (kt - 1 - j)) & 1) offsets[r] |= bit_of(n, targets[n_controls + j]);
    std::vector<int> fixed_bits;
    for (int t : targets) fixed_bits.push_back(n - 1 - t);
    std::sort(fixed_bits.begin(), fixed_bits.end());
    const std::uint64_t bases = (std::uint64_t(1) << n) >> k;
    parallel_for(bases, kGrain >> kt, [&](std::size_t begin, std::size_t end) {
        std::vector<double> in(2 * dim);
        for (std::uint64_t b = begin; b < end; ++b) {
            double *base = as_doubles(psi + (deposit(b, fixed_bits) | control_mask));
            for (std::size_t c = 0; c < dim; ++c) {
                in[2 * c] = base[2 * offsets[c]];
                in[2 * c + 1] = base[2 * offsets[c] + 1];
            }
            for (std::size_t r = 0; r < dim; ++r) {
                double re = 0, im = 0;
                const cplx *row = &u[r * dim];
                for (std::size_t c = 0; c < dim; ++c) mul_add(re, im, row[c], in[2 * c], in[2 * c + 1]);
                base[2 * offsets[r]] = re;
                base[2 * offsets[r] + 1] = im;
            }
        }
    });
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
    if (diagonal_) {
        for (std::size_t r = 0; r < dim; ++r) block_.push_back(matrix[r * dim + r]);
        return;
    }
    while (n_controls_ + 1 < k && identity_outside_controls(matrix, dim, k, n_controls_ + 1)) ++n_controls_;
    const std::size_t sub = std::size_t(1) << (k - n_controls_), first = dim - sub;
    block_.reserve(sub * sub);
    for (std::size_t r = 0; r < sub; ++r)
        for (std::size_t c = 0; c < sub; ++c) block_.push_back(matrix[(first + r) * dim + first + c]);
}

void PreparedGate::apply(cplx *psi) const {
    if (diagonal_)  // includes a zero-target gate, a global phase
        apply_diagonal(psi, n_qubits_, targets_, block_);
    else if (n_controls_ == 0 && targets_.size() == 1)
        apply_one(psi, n_qubits_, bit_of(n_qubits_, targets_[0]), block_.data());
    else
        apply_controlled(psi, n_qubits_, targets_, n_controls_, block_);
}

}  // namespace statevector
