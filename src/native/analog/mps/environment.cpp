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

// LW[(l' + dl (s' + 2 b)), (l + dl s)] = sum_a L[l' + dl (a + wl l)] W[a, s', s, b].
void fold_left(const std::vector<cplx> &left, const MpoSite &w, int dl, std::vector<cplx> &out) {
    const std::size_t rows = std::size_t(2) * dl * w.right;
    out.assign(rows * 2 * dl, cplx(0.0));
    for (const MpoEntry &e : w.entries)
        for (int l = 0; l < dl; ++l)
            axpy(dl, e.value, left.data() + dl * (e.a + std::size_t(w.left) * l),
                 out.data() + dl * (e.s_out + 2 * std::size_t(e.b)) + rows * (l + std::size_t(dl) * e.s_in));
}

}  // namespace

void EffectiveHamiltonian::prepare_one_site(const std::vector<cplx> &left, const MpoSite &w,
                                            const std::vector<cplx> &right, int dl, int dr) {
    dl_ = dl, dr_ = dr, sites_ = 1, channels_ = w.right;
    fold_left(left, w, dl, left_);
    // R'[b + wr (r + dr r')] from R[r + dr (b + wr r')]
    const int wr = w.right;
    right_.resize(std::size_t(wr) * dr * dr);
    for (int rp = 0; rp < dr; ++rp)
        for (int b = 0; b < wr; ++b)
            for (int r = 0; r < dr; ++r)
                right_[b + wr * (r + std::size_t(dr) * rp)] = right[r + std::size_t(dr) * (b + std::size_t(wr) * rp)];
}

void EffectiveHamiltonian::prepare_two_site(const std::vector<cplx> &left, const MpoSite &w1, const MpoSite &w2,
                                            const std::vector<cplx> &right, int dl, int dr) {
    dl_ = dl, dr_ = dr, sites_ = 2, channels_ = w1.right;
    fold_left(left, w1, dl, left_);
    // RW[(c + wm (s2 + 2 r)), (s2' + 2 r')] = sum_b W2[c, s2', s2, b] R[r + dr (b + wr r')]
    const int wm = w2.left, wr = w2.right;
    const std::size_t rows = std::size_t(2) * wm * dr;
    right_.assign(rows * 2 * dr, cplx(0.0));
    for (const MpoEntry &e : w2.entries)
        for (int rp = 0; rp < dr; ++rp) {
            const cplx *from = right.data() + dr * (e.b + std::size_t(wr) * rp);
            cplx *to = right_.data() + e.a + wm * std::size_t(e.s_in) + rows * (e.s_out + 2 * std::size_t(rp));
            for (int r = 0; r < dr; ++r) to[2 * std::size_t(wm) * r] += e.value * from[r];
        }
}

void EffectiveHamiltonian::apply(const cplx *theta, cplx *out) {
    const int dl = dl_, dr = dr_, w = channels_;
    // X[(l' s' c), rest] = LW theta, rest = r (one site) or (s2, r) (two sites).
    const int rest = sites_ == 1 ? dr : 2 * dr;
    middle_.resize(std::size_t(2) * dl * w * rest);
    gemm(Op::none, Op::none, 2 * dl * w, rest, 2 * dl, 1.0, left_.data(), 2 * dl * w, theta, 2 * dl, 0.0,
         middle_.data(), 2 * dl * w);
    // out[(l' s1'), right] = X[(l' s1'), (c, rest)] times the right factor.
    const int cols = sites_ == 1 ? dr : 2 * dr;
    gemm(Op::none, Op::none, 2 * dl, cols, w * rest, 1.0, middle_.data(), 2 * dl, right_.data(), w * rest, 0.0, out,
         2 * dl);
}

}  // namespace analog::mps
