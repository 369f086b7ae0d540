#include "environment.hpp"

#include <algorithm>

#include "runtime/parallel.hpp"

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
    out.pass.assign(std::size_t(w.left) * w.right, cplx(0.0));
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
            out.pass[ab] = e.value;
        else
            out.rest.push_back(e);
    }
}

// Blocks of rows or columns, fixed by the amount of work alone: more only when each keeps a
// few million operations, so that small products are not cut into inefficient pieces.
int blocks_for(double operations, int count) {
    const int blocks = operations >= 8e6 ? 4 : operations >= 2e6 ? 2 : 1;
    return std::max(1, std::min(blocks, count));
}

// Indices per thread in loops whose iterations are independent: enough work per thread to
// pay for starting it.
std::size_t grain(double operations_per_index) {
    return std::size_t(std::max(1.0, 1e6 / std::max(operations_per_index, 1.0)));
}

// C (rows x n) = A (rows x k) B (k x n), all contiguous: row blocks fixed by the sizes.
void tall_product(int rows, int n, int k, const cplx *a, const cplx *b, cplx *c) {
    const int blocks = blocks_for(double(rows) * n * k, rows);
    const int height = (rows + blocks - 1) / blocks;
    runtime::parallel_for(blocks, 1, [&](std::size_t begin, std::size_t end) {
        for (std::size_t p = begin; p < end; ++p) {
            const int r0 = int(p) * height, m = std::min(rows, r0 + height) - r0;
            gemm(Op::none, Op::none, m, n, k, 1.0, a + r0, rows, b, k, 0.0, c + r0, rows);
        }
    });
}

// X[i + size a] = L_a theta, theta dl x columns (size = dl columns), a = 0 copied.
void absorb_left(const cplx *left, int wl, int dl, int columns, const cplx *theta, std::vector<cplx> &x) {
    const std::size_t size = std::size_t(dl) * columns;
    x.resize(size * wl);
    std::copy(theta, theta + size, x.begin());
    runtime::parallel_for(wl - 1, grain(double(dl) * dl * columns), [&](std::size_t begin, std::size_t end) {
        for (std::size_t a = begin + 1; a < end + 1; ++a)
            gemm(Op::none, Op::none, dl, columns, dl, 1.0, left + dl * a, dl * wl, theta, dl, 0.0,
                 x.data() + size * a, dl);
    });
}

// out[i, b] = sum_a in[i, a] T[a, b] plus the other entries, each on runs of `run` elements
// over `outer` x 2 physical positions: element (i0, s, o) of a channel at i0 + run (s + 2 o),
// channel stride `size`.
void apply_site(const SplitSite &w, std::size_t size, int run, int outer, const cplx *in, std::vector<cplx> &out) {
    out.resize(size * w.right);
    tall_product(int(size), w.right, w.left, in, w.pass.data(), out.data());
    if (w.rest.empty()) return;
    runtime::parallel_for(outer, grain(double(w.rest.size()) * run), [&](std::size_t begin, std::size_t end) {
        for (std::size_t o = begin; o < end; ++o)
            for (const MpoEntry &e : w.rest)
                axpy(run, e.value, in + size * e.a + run * (e.s_in + 2 * o),
                     out.data() + size * e.b + run * (e.s_out + 2 * o));
    });
}

}  // namespace

void EffectiveHamiltonian::prepare_one_site(const std::vector<cplx> &left, const MpoSite &w,
                                            const std::vector<cplx> &right, int dl, int dr) {
    dl_ = dl, dr_ = dr, sites_ = 1;
    left_ = left.data(), right_ = right.data();
    split(w, first_);
}

void EffectiveHamiltonian::prepare_two_site(const std::vector<cplx> &left, const MpoSite &w1, const MpoSite &w2,
                                            const std::vector<cplx> &right, int dl, int dr) {
    dl_ = dl, dr_ = dr, sites_ = 2;
    left_ = left.data(), right_ = right.data();
    split(w1, first_);
    split(w2, second_);
}

void EffectiveHamiltonian::apply(const cplx *theta, cplx *out) {
    const int dl = dl_, dr = dr_;
    const int physical = sites_ == 1 ? 2 : 4, rows = physical * dl;
    const std::size_t size = std::size_t(rows) * dr;
    // X[(l', s.., r) + size a] = L_a theta.
    absorb_left(left_, first_.left, dl, physical * dr, theta, x_);
    const std::vector<cplx> *z = &y_;
    if (sites_ == 1) {
        // Z[(l', s', r) + size c]: runs over l', outer index r.
        apply_site(first_, size, dl, dr, x_.data(), y_);
    } else {
        // Y: runs over l', outer (s2, r); Z: runs over (l', s1'), outer r.
        apply_site(first_, size, dl, 2 * dr, x_.data(), y_);
        apply_site(second_, size, 2 * dl, dr, y_.data(), z_);
        z = &z_;
    }
    // out[(l', s..), r'] = Z_last + sum_{c < last, r} Z[(l', s..), (r, c)] R[(r, c), r'].
    const int wr = (sites_ == 1 ? first_ : second_).right;
    const cplx *zd = z->data();
    std::copy(zd + size * (wr - 1), zd + size * wr, out);
    if (wr == 1) return;
    const int blocks = blocks_for(double(rows) * dr * dr * (wr - 1), dr);
    const int width = (dr + blocks - 1) / blocks;
    runtime::parallel_for(blocks, 1, [&](std::size_t begin, std::size_t end) {
        for (std::size_t p = begin; p < end; ++p) {
            const int c0 = int(p) * width, n = std::min(dr, c0 + width) - c0;
            gemm(Op::none, Op::none, rows, n, dr * (wr - 1), 1.0, zd, rows, right_ + std::size_t(dr) * wr * c0,
                 dr * wr, 1.0, out + std::size_t(rows) * c0, rows);
        }
    });
}

}  // namespace analog::mps
