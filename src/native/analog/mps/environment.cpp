#include "environment.hpp"

#include <algorithm>


namespace analog::mps {

namespace {

// y[0..len) += v x[0..len), the complex products written out (no NaN-checking library call).
inline void axpy(int len, cplx v, const cplx *x, cplx *y) {
    const double vr = v.real(), vi = v.imag();
    const double *xp = reinterpret_cast<const double *>(x);
    double *yp = reinterpret_cast<double *>(y);
    for (int i = 0; i < 2 * len; i += 2) {
        const double xr = xp[i], xi = xp[i + 1];
        yp[i] += vr * xr - vi * xi;
        yp[i + 1] += vr * xi + vi * xr;
    }
}

// Where one tensor index lives: element offset = outer o + channel c + physical s strides.
struct Strides {
    std::size_t outer, channel, physical;
};

// Contracts one MPO site with a tensor over its ket physical index and one channel: for each
// of `count` outer positions and each entry, the run of `len` elements at the entry's input
// (channel a, s_in) is added, times the entry, at its output (channel b, s_out). With
// `leftward` the right channel b is the input and a the output. `out` must be zero.
void apply_entries(const MpoSite &w, bool leftward, int count, int len, const cplx *in, Strides si, cplx *out,
                   Strides so) {
    for (int o = 0; o < count; ++o) {
        const cplx *base_in = in + o * si.outer;
        cplx *base_out = out + o * so.outer;
        for (const MpoEntry &e : w.entries) {
            const int ci = leftward ? e.b : e.a, co = leftward ? e.a : e.b;
            axpy(len, e.value, base_in + ci * si.channel + e.s_in * si.physical,
                 base_out + co * so.channel + e.s_out * so.physical);
        }
    }
}

// buffers.first = L theta as X[l' + dl (a + wl (rest))], theta dl x columns.
void absorb_left(const std::vector<cplx> &left, int wl, int dl, int columns, const cplx *theta,
                 ContractionBuffers &buffers) {
    buffers.first.resize(std::size_t(dl) * wl * columns);
    gemm(Op::none, Op::none, dl * wl, columns, dl, 1.0, left.data(), dl * wl, theta, dl, 0.0, buffers.first.data(),
         dl * wl);
}

void zeroed(std::vector<cplx> &v, std::size_t size) { v.assign(size, cplx(0.0)); }

}  // namespace

void extend_left(const std::vector<cplx> &left, const MpoSite &w, const cplx *a, int dl, int dr,
                 std::vector<cplx> &out, ContractionBuffers &buffers) {
    const int wl = w.left, wr = w.right;
    absorb_left(left, wl, dl, 2 * dr, a, buffers);
    // Y[(l' s') + 2 dl (b + wr r)]
    zeroed(buffers.second, std::size_t(2) * dl * wr * dr);
    apply_entries(w, false, dr, dl, buffers.first.data(), {std::size_t(2) * dl * wl, std::size_t(dl), std::size_t(dl) * wl},
                  buffers.second.data(), {std::size_t(2) * dl * wr, std::size_t(2) * dl, std::size_t(dl)});
    out.resize(std::size_t(dr) * wr * dr);
    gemm(Op::adjoint, Op::none, dr, wr * dr, 2 * dl, 1.0, a, 2 * dl, buffers.second.data(), 2 * dl, 0.0, out.data(),
         dr);
}

void extend_right(const std::vector<cplx> &right, const MpoSite &w, const cplx *a, int dl, int dr,
                  std::vector<cplx> &out, ContractionBuffers &buffers) {
    const int wl = w.left, wr = w.right;
    // T[(l s) + 2 dl (b + wr r')] = sum_r A[(l s), r] R[r, (b r')]
    buffers.first.resize(std::size_t(2) * dl * wr * dr);
    gemm(Op::none, Op::none, 2 * dl, wr * dr, dr, 1.0, a, 2 * dl, right.data(), dr, 0.0, buffers.first.data(), 2 * dl);
    // U[l + dl (a + wl (s' + 2 r'))]
    zeroed(buffers.second, std::size_t(dl) * wl * 2 * dr);
    apply_entries(w, true, dr, dl, buffers.first.data(), {std::size_t(2) * dl * wr, std::size_t(2) * dl, std::size_t(dl)},
                  buffers.second.data(), {std::size_t(2) * dl * wl, std::size_t(dl), std::size_t(dl) * wl});
    out.resize(std::size_t(dl) * wl * dl);
    gemm(Op::none, Op::adjoint, dl * wl, dl, 2 * dr, 1.0, buffers.second.data(), dl * wl, a, dl, 0.0, out.data(),
         dl * wl);
}

namespace {

using SplitSite = EffectiveHamiltonian::SplitSite;

void split(const MpoSite &w, SplitSite &out) {
    out.left = w.left, out.right = w.right;
    std::vector<cplx> pass(std::size_t(w.left) * w.right, cplx(0.0));
    out.rest.clear();
    // Entries come ordered by (b, s_in, s_out, a): the diagonal pair of (a, b) is found by
    // looking up both values in a dense table first.
    std::vector<cplx> diagonal(std::size_t(2) * w.left * w.right, cplx(0.0));
    for (const MpoEntry &e : w.entries)
        if (e.s_in == e.s_out) diagonal[e.s_in + 2 * (e.a + std::size_t(w.left) * e.b)] = e.value;
    for (const MpoEntry &e : w.entries) {
        const std::size_t ab = e.a + std::size_t(w.left) * e.b;
        const bool identity = diagonal[2 * ab] == diagonal[2 * ab + 1];
        if (e.s_in == e.s_out && identity)
            pass[ab] = e.value;
        else
            out.rest.push_back(e);
    }
    // Output channels with one pass-through entry of 1 (or none) are copies (or zero); the
    // others, and the input channels they read, bound the block left to the product.
    out.source.assign(w.right, -1);
    int b0 = w.right, b1 = 0, a0 = w.left, a1 = 0;
    for (int b = 0; b < w.right; ++b) {
        int count = 0, a_one = -1;
        for (int a = 0; a < w.left; ++a) {
            const cplx t = pass[a + std::size_t(w.left) * b];
            if (t == cplx(0.0)) continue;
            ++count;
            if (t == cplx(1.0)) a_one = a;
        }
        if (count == 0) continue;
        if (count == 1 && a_one >= 0) {
            out.source[b] = a_one;
            continue;
        }
        b0 = std::min(b0, b), b1 = std::max(b1, b + 1);
        for (int a = 0; a < w.left; ++a)
            if (pass[a + std::size_t(w.left) * b] != cplx(0.0)) a0 = std::min(a0, a), a1 = std::max(a1, a + 1);
    }
    if (b1 <= b0) b0 = b1 = 0, a0 = a1 = 0;
    out.first_in = a0, out.first_out = b0, out.ins = a1 - a0, out.outs = b1 - b0;
    out.block.resize(std::size_t(out.ins) * out.outs);
    for (int b = 0; b < out.outs; ++b)
        for (int a = 0; a < out.ins; ++a)
            out.block[a + std::size_t(out.ins) * b] = pass[a0 + a + std::size_t(w.left) * (b0 + b)];
}

// Work (complex multiply-adds) below which a loop runs on the calling thread alone, and the
// least work of a piece of a shared loop: some tens of microseconds, so that products stay
// efficient. On two idle cores the 51-atom sweep at bond 32 then takes 51 s instead of 63 s;
// on a machine whose other work holds a core back, sharing products this small costs more than
// it gives (waits for a descheduled helper), so larger thresholds suit busy machines.
constexpr double kShared = 1e5, kPiece = 5e4;

// Rows or columns at least in a piece of a matrix product cut across its output: each piece
// packs the whole of the other operand again, which thin pieces would spend more time on than
// on their products (pieces of one row of a (D w) x D right environment run at a third of the
// speed of pieces of 32).
constexpr int kLeastPanel = 32;

// Pieces that a product of `work` is cut into, fixed by the sizes alone: one below kShared,
// otherwise an even number (two threads share them evenly) of at least kPiece each, at most
// `count` / `least` (rows or columns to share, at least `least` to a piece).
int pieces(double work, int count, int least = 1) {
    if (work < kShared) return 1;
    const int even = 2 * std::max(1, int(work / (2 * kPiece)));
    return std::max(1, std::min(count / least, even));
}

// body(p) for p in [0, count): on the team when the work is worth sharing, here otherwise.
template <class Body>
void share(runtime::Team &team, std::size_t count, double work, const Body &body) {
    if (work < kShared)
        for (std::size_t p = 0; p < count; ++p) body(p);
    else
        team.run(count, body);
}

// C (rows x n) = A (rows x k) B (k x n), all contiguous: row blocks fixed by the sizes.
void tall_product(runtime::Team &team, int rows, int n, int k, const cplx *a, const cplx *b, cplx *c) {
    const double work = double(rows) * n * k;
    const int blocks = pieces(work, rows), height = (rows + blocks - 1) / blocks;
    share(team, blocks, work, [&](std::size_t p) {
        const int r0 = int(p) * height, m = std::min(rows, r0 + height) - r0;
        if (m > 0) gemm(Op::none, Op::none, m, n, k, 1.0, a + r0, rows, b, k, 0.0, c + r0, rows);
    });
}

// X[i + size a] = L_a theta, theta dl x columns (size = dl columns), a = 0 copied; one piece
// per channel and block of columns.
void absorb_left(runtime::Team &team, const cplx *left, int wl, int dl, int columns, const cplx *theta,
                 std::vector<cplx> &x) {
    const std::size_t size = std::size_t(dl) * columns;
    x.resize(size * wl);
    std::copy(theta, theta + size, x.begin());
    const double work = double(dl) * dl * columns;
    const int blocks = pieces(work, columns, kLeastPanel), width = (columns + blocks - 1) / blocks;
    share(team, std::size_t(wl - 1) * blocks, work * (wl - 1), [&](std::size_t p) {
        const std::size_t a = 1 + p / blocks;
        const int c0 = int(p % blocks) * width, n = std::min(columns, c0 + width) - c0;
        if (n > 0)
            gemm(Op::none, Op::none, dl, n, dl, 1.0, left + dl * a, dl * wl, theta + std::size_t(dl) * c0, dl, 0.0,
                 x.data() + size * a + std::size_t(dl) * c0, dl);
    });
}

// out[i, b] = sum_a in[i, a] T[a, b] (copies, zeros and a block product) plus the other entries, each on runs of `run` elements
// over `outer` x 2 physical positions: element (i0, s, o) of a channel at i0 + run (s + 2 o),
// channel stride `size`.
void apply_site(runtime::Team &team, const SplitSite &w, std::size_t size, int run, int outer, const cplx *in,
                std::vector<cplx> &out) {
    out.resize(size * w.right);
    for (int b = 0; b < w.right; ++b) {
        if (b >= w.first_out && b < w.first_out + w.outs) continue;
        cplx *to = out.data() + size * b;
        if (w.source[b] < 0)
            std::fill(to, to + size, cplx(0.0));
        else
            std::copy(in + size * w.source[b], in + size * (w.source[b] + 1), to);
    }
    if (w.outs > 0)
        tall_product(team, int(size), w.outs, w.ins, in + size * w.first_in, w.block.data(),
                     out.data() + size * w.first_out);
    if (w.rest.empty()) return;
    const double work = double(w.rest.size()) * run * outer;
    const int blocks = pieces(work, outer), height = (outer + blocks - 1) / blocks;
    share(team, blocks, work, [&](std::size_t p) {
        for (int o = int(p) * height; o < std::min(outer, int(p + 1) * height); ++o)
            for (const MpoEntry &e : w.rest)
                axpy(run, e.value, in + size * e.a + run * (e.s_in + 2 * o),
                     out.data() + size * e.b + run * (e.s_out + 2 * o));
    });
}

}  // namespace

void EffectiveHamiltonian::prepare_zero_site(const std::vector<cplx> &left, const std::vector<cplx> &right, int dl,
                                             int dr, int channels) {
    dl_ = dl, dr_ = dr, sites_ = 0, wl_ = wr_ = channels;
    left_ = left.data(), right_ = right.data();
}

void EffectiveHamiltonian::prepare_one_site(const std::vector<cplx> &left, const MpoSite &w,
                                            const std::vector<cplx> &right, int dl, int dr) {
    dl_ = dl, dr_ = dr, sites_ = 1, wl_ = w.left, wr_ = w.right;
    left_ = left.data(), right_ = right.data();
    split(w, first_);
}

void EffectiveHamiltonian::prepare_two_site(const std::vector<cplx> &left, const MpoSite &w1, const MpoSite &w2,
                                            const std::vector<cplx> &right, int dl, int dr) {
    dl_ = dl, dr_ = dr, sites_ = 2, wl_ = w1.left, wr_ = w2.right;
    left_ = left.data(), right_ = right.data();
    split(w1, first_);
    split(w2, second_);
}

void EffectiveHamiltonian::apply(const cplx *theta, cplx *out) {
    const int dl = dl_, dr = dr_;
    const int physical = 1 << sites_, rows = physical * dl;
    const std::size_t size = std::size_t(rows) * dr;
    // X[(l', s.., r) + size a] = L_a theta.
    absorb_left(team_, left_, wl_, dl, physical * dr, theta, x_);
    const std::vector<cplx> *z = &x_;  // a bond: Z = X
    if (sites_ == 1) {
        // Z[(l', s', r) + size c]: runs over l', outer index r.
        apply_site(team_, first_, size, dl, dr, x_.data(), y_);
        z = &y_;
    } else if (sites_ == 2) {
        // Y: runs over l', outer (s2, r); Z: runs over (l', s1'), outer r.
        apply_site(team_, first_, size, dl, 2 * dr, x_.data(), y_);
        apply_site(team_, second_, size, 2 * dl, dr, y_.data(), z_);
        z = &z_;
    }
    // out[(l', s..), r'] = Z_last + sum_{c < last, r} Z[(l', s..), (r, c)] R[(r, c), r'].
    const int wr = wr_;
    const cplx *zd = z->data();
    std::copy(zd + size * (wr - 1), zd + size * wr, out);
    if (wr == 1) return;
    // Blocks of rows: each packs only its own rows of Z.
    const double work = double(rows) * dr * dr * (wr - 1);
    const int blocks = pieces(work, rows, kLeastPanel), height = (rows + blocks - 1) / blocks;
    share(team_, blocks, work, [&](std::size_t p) {
        const int r0 = int(p) * height, m = std::min(rows, r0 + height) - r0;
        if (m > 0)
            gemm(Op::none, Op::none, m, dr, dr * (wr - 1), 1.0, zd + r0, rows, right_, dr * wr, 1.0, out + r0, rows);
    });
}

}  // namespace analog::mps
