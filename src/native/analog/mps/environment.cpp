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

// body(first, count) over the blocks that pieces() cuts [0, total) into.
template <class Body>
void share_blocks(runtime::Team &team, int total, double work, int least, const Body &body) {
    const int blocks = pieces(work, total, least), size = (total + blocks - 1) / blocks;
    share(team, blocks, work, [&](std::size_t p) {
        const int first = int(p) * size, count = std::min(total, first + size) - first;
        if (count > 0) body(first, count);
    });
}

using Folded = EffectiveHamiltonian::Folded;

// The site's entries of each physical component c as a dense matrix: W_c[a + w.left b].
std::array<std::vector<cplx>, 4> components(const MpoSite &w) {
    std::array<std::vector<cplx>, 4> out;
    for (std::vector<cplx> &m : out) m.assign(std::size_t(w.left) * w.right, cplx(0.0));
    for (const MpoEntry &e : w.entries) out[Folded::component(e.s_out, e.s_in)][e.a + std::size_t(w.left) * e.b] = e.value;
    return out;
}

// out.scalar[c] and out's range of channels with an environment part, from W_c: `at(near, far)`
// is its entry between a channel of the environment's bond and one of the far bond (`far`
// channels); the environment's channel `identity` is the identity.
template <class At>
void sort_entries(int c, int near, int far, int identity, const At &at, Folded &out) {
    out.scalar[c].assign(far, cplx(0.0));
    out.first[c] = far, out.last[c] = 0;
    for (int b = 0; b < far; ++b)
        for (int a = 0; a < near; ++a) {
            const cplx v = at(a, b);
            if (v == cplx(0.0)) continue;
            if (a == identity) {
                out.scalar[c][b] = v;
            } else {
                out.first[c] = std::min(out.first[c], b);
                out.last[c] = std::max(out.last[c], b + 1);
            }
        }
}

}  // namespace

void EffectiveHamiltonian::fold_left(const MpoSite &w) {
    Folded &out = left_fold_;
    const int dl = dl_, wl = w.left, wm = w.right;
    const std::array<std::vector<cplx>, 4> m = components(w);
    out.channels = wm;
    for (int c = 0; c < 4; ++c) {
        const cplx *wc = m[c].data();
        sort_entries(c, wl, wm, 0, [&](int a, int b) { return wc[a + std::size_t(wl) * b]; }, out);
        if (out.first[c] >= out.last[c]) continue;
        // env[l_bra + dl (b + wm l_ket)] = sum_{a >= 1} L[l_bra + dl (a + wl l_ket)] W_c[a + wl b]
        out.env[c].resize(std::size_t(dl) * wm * dl);
        cplx *e = out.env[c].data();
        share_blocks(team_, dl, double(dl) * dl * wm * (wl - 1), 1, [&](int k0, int count) {
            for (int k = k0; k < k0 + count; ++k)
                gemm(Op::none, Op::none, dl, wm, wl - 1, 1.0, left_ + std::size_t(dl) * (1 + wl * std::size_t(k)), dl,
                     wc + 1, wl, 0.0, e + std::size_t(dl) * wm * k, dl);
        });
    }
}

void EffectiveHamiltonian::fold_right(const MpoSite &w) {
    Folded &out = right_fold_;
    const int dr = dr_, wm = w.left, wr = w.right;
    const std::array<std::vector<cplx>, 4> m = components(w);
    out.channels = wm;
    for (int c = 0; c < 4; ++c) {
        const cplx *wc = m[c].data();
        sort_entries(c, wr, wm, wr - 1, [&](int a, int b) { return wc[b + std::size_t(wm) * a]; }, out);
        if (out.first[c] >= out.last[c]) continue;
        // env[r_ket + dr (b + wm r_bra)] = sum_{a < wr - 1} R[r_ket + dr (a + wr r_bra)] W_c[b + wm a]
        out.env[c].resize(std::size_t(dr) * wm * dr);
        cplx *e = out.env[c].data();
        share_blocks(team_, dr, double(dr) * dr * wm * (wr - 1), 1, [&](int k0, int count) {
            for (int k = k0; k < k0 + count; ++k)
                gemm(Op::none, Op::transpose, dr, wm, wr - 1, 1.0, right_ + std::size_t(dr) * wr * k, dr, wc, wm,
                     0.0, e + std::size_t(dr) * wm * k, dr);
        });
    }
}

void EffectiveHamiltonian::prepare_zero_site(const std::vector<cplx> &left, const std::vector<cplx> &right, int dl,
                                             int dr, int channels) {
    dl_ = dl, dr_ = dr, sites_ = 0, wl_ = wr_ = channels;
    left_ = left.data(), right_ = right.data();
}

void EffectiveHamiltonian::prepare_one_site(const std::vector<cplx> &left, const MpoSite &w,
                                            const std::vector<cplx> &right, int dl, int dr) {
    dl_ = dl, dr_ = dr, sites_ = 1, wl_ = w.left, wr_ = w.right;
    left_ = left.data(), right_ = right.data();
    fold_left(w);
}

void EffectiveHamiltonian::prepare_two_site(const std::vector<cplx> &left, const MpoSite &w1, const MpoSite &w2,
                                            const std::vector<cplx> &right, int dl, int dr) {
    dl_ = dl, dr_ = dr, sites_ = 2, wl_ = w1.left, wr_ = w2.right;
    left_ = left.data(), right_ = right.data();
    fold_left(w1);
    fold_right(w2);
}

void EffectiveHamiltonian::apply_left(const cplx *theta) {
    // X[(l', r) + size a] = L_a theta, a = 0 copied; one piece per channel and block of columns.
    const int dl = dl_, columns = dr_, wl = wl_;
    const std::size_t size = std::size_t(dl) * columns;
    x_.resize(size * wl);
    std::copy(theta, theta + size, x_.begin());
    const double work = double(dl) * dl * columns;
    const int blocks = pieces(work, columns, kLeastPanel), width = (columns + blocks - 1) / blocks;
    share(team_, std::size_t(wl - 1) * blocks, work * (wl - 1), [&](std::size_t p) {
        const std::size_t a = 1 + p / blocks;
        const int c0 = int(p % blocks) * width, n = std::min(columns, c0 + width) - c0;
        if (n > 0)
            gemm(Op::none, Op::none, dl, n, dl, 1.0, left_ + dl * a, dl * wl, theta + std::size_t(dl) * c0, dl, 0.0,
                 x_.data() + size * a + std::size_t(dl) * c0, dl);
    });
}

void EffectiveHamiltonian::apply_folded_left(const cplx *theta, int columns) {
    // X_b[l' + dl s_out + 2 dl j] = sum_{s_in} (env_c[l', b, l] + scalar_c[b] delta_{l' l})
    //   theta[l + dl s_in + 2 dl j], c = (s_out, s_in); one piece per channel and block of columns j.
    const Folded &f = left_fold_;
    const int dl = dl_, wm = f.channels, stride = 2 * dl;
    const std::size_t size = std::size_t(stride) * columns;
    x_.resize(size * wm);
    int parts = 0;  // channel blocks of dl x dl
    for (int c = 0; c < 4; ++c) parts += std::max(0, f.last[c] - f.first[c]);
    const double work = double(dl) * dl * columns * std::max(parts, 1) / wm;  // per channel, on average
    const int blocks = pieces(work, columns, kLeastPanel), width = (columns + blocks - 1) / blocks;
    share(team_, std::size_t(wm) * blocks, work * wm, [&](std::size_t p) {
        const int b = int(p / blocks), j0 = int(p % blocks) * width, n = std::min(columns, j0 + width) - j0;
        if (n <= 0) return;
        const cplx *in = theta + std::size_t(stride) * j0;
        for (int s_out = 0; s_out < 2; ++s_out) {
            cplx *to = x_.data() + size * b + dl * s_out + std::size_t(stride) * j0;
            const cplx e0 = f.scalar[Folded::component(s_out, 0)][b], e1 = f.scalar[Folded::component(s_out, 1)][b];
            for (int j = 0; j < n; ++j) {
                const cplx *from = in + std::size_t(stride) * j;
                cplx *row = to + std::size_t(stride) * j;
                for (int l = 0; l < dl; ++l) row[l] = e0 * from[l] + e1 * from[l + dl];
            }
            for (int s_in = 0; s_in < 2; ++s_in) {
                const int c = Folded::component(s_out, s_in);
                if (b >= f.first[c] && b < f.last[c])
                    gemm(Op::none, Op::none, dl, n, dl, 1.0, f.env[c].data() + std::size_t(dl) * b, dl * wm,
                         in + dl * s_in, stride, 1.0, to, stride);
            }
        }
    });
}

void EffectiveHamiltonian::apply_right(int rows, cplx *out) {
    // out[(l', s..), r'] = X_last + sum_{c < last, r} X[(l', s..), (r, c)] R[(r, c), r'].
    const int dr = dr_, wr = wr_;
    const std::size_t size = std::size_t(rows) * dr;
    const cplx *x = x_.data();
    std::copy(x + size * (wr - 1), x + size * wr, out);
    if (wr == 1) return;
    // Blocks of rows: each packs only its own rows of X.
    share_blocks(team_, rows, double(rows) * dr * dr * (wr - 1), kLeastPanel, [&](int r0, int m) {
        gemm(Op::none, Op::none, m, dr, dr * (wr - 1), 1.0, x + r0, rows, right_, dr * wr, 1.0, out + r0, rows);
    });
}

void EffectiveHamiltonian::apply_folded_right(cplx *out) {
    // out[(l', s1') + 2 dl (s2' + 2 r')] = sum_{s2, b} (sum_r X_b[(l', s1') + 2 dl (s2 + 2 r)] env_c[r, b, r']
    //   + scalar_c[b] X_b[(l', s1') + 2 dl (s2 + 2 r')]), c = (s2', s2); blocks of rows (l', s1').
    const Folded &f = right_fold_;
    const int dr = dr_, wm = f.channels, rows = 2 * dl_, stride = 2 * rows;
    const std::size_t size = std::size_t(stride) * dr;
    int parts = 0;
    for (int c = 0; c < 4; ++c) parts += std::max(0, f.last[c] - f.first[c]);
    const cplx *x = x_.data();
    share_blocks(team_, rows, double(rows) * dr * dr * parts, kLeastPanel, [&](int r0, int m) {
        for (int s_out = 0; s_out < 2; ++s_out) {
            cplx *to = out + r0 + rows * s_out;
            for (int r = 0; r < dr; ++r) std::fill(to + std::size_t(stride) * r, to + std::size_t(stride) * r + m, 0.0);
            for (int s_in = 0; s_in < 2; ++s_in) {
                const int c = Folded::component(s_out, s_in);
                const cplx *from = x + r0 + rows * s_in;
                for (int b = 0; b < wm; ++b) {
                    const cplx v = f.scalar[c][b];
                    if (v != cplx(0.0))
                        for (int r = 0; r < dr; ++r)
                            axpy(m, v, from + size * b + std::size_t(stride) * r, to + std::size_t(stride) * r);
                }
                if (f.first[c] < f.last[c])
                    gemm(Op::none, Op::none, m, dr, dr * (f.last[c] - f.first[c]), 1.0, from + size * f.first[c],
                         stride, f.env[c].data() + std::size_t(dr) * f.first[c], dr * wm, 1.0, to, stride);
            }
        }
    });
}

void EffectiveHamiltonian::apply(const cplx *theta, cplx *out) {
    if (sites_ == 0) {
        apply_left(theta);
        apply_right(dl_, out);
    } else if (sites_ == 1) {
        apply_folded_left(theta, dr_);
        apply_right(2 * dl_, out);
    } else {
        apply_folded_left(theta, 2 * dr_);
        apply_folded_right(out);
    }
}

}  // namespace analog::mps
