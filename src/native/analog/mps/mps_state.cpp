#include "mps_state.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace analog::mps {

namespace {

// The left environment past `site`: E'[r', r] = sum conj(A[l', s, r']) E[l', l] A[l, s, r], over
// s = 1 only (n at this site) when `rydberg_only`.
std::vector<cplx> transfer_left(const std::vector<cplx> &e, const MpsState::Site &site, bool rydberg_only) {
    const int dl = site.left, dr = site.right;
    std::vector<cplx> x(std::size_t(dl) * 2 * dr), out(std::size_t(dr) * dr);
    gemm(Op::none, Op::none, dl, 2 * dr, dl, 1.0, e.data(), dl, site.data.data(), dl, 0.0, x.data(), dl);
    if (rydberg_only)
        gemm(Op::adjoint, Op::none, dr, dr, dl, 1.0, site.data.data() + dl, 2 * dl, x.data() + dl, 2 * dl, 0.0,
             out.data(), dr);
    else
        gemm(Op::adjoint, Op::none, dr, dr, 2 * dl, 1.0, site.data.data(), 2 * dl, x.data(), 2 * dl, 0.0, out.data(),
             dr);
    return out;
}

// The right environment before `site`: F[l, l'] = sum A[l, s, r] F'[r, r'] conj(A[l', s, r']).
std::vector<cplx> transfer_right(const std::vector<cplx> &f, const MpsState::Site &site) {
    const int dl = site.left, dr = site.right;
    std::vector<cplx> y(std::size_t(dl) * 2 * dr), out(std::size_t(dl) * dl);
    gemm(Op::none, Op::none, 2 * dl, dr, dr, 1.0, site.data.data(), 2 * dl, f.data(), dr, 0.0, y.data(), 2 * dl);
    gemm(Op::none, Op::adjoint, dl, dl, 2 * dr, 1.0, y.data(), dl, site.data.data(), dl, 0.0, out.data(), dl);
    return out;
}

// Re sum E[i, j] F[j, i] for a left environment E (bra, ket) and right environment F (ket, bra).
double close(const std::vector<cplx> &e, const std::vector<cplx> &f, int d) {
    double sum = 0.0;
    for (int j = 0; j < d; ++j)
        for (int i = 0; i < d; ++i) sum += (e[i + std::size_t(d) * j] * f[j + std::size_t(d) * i]).real();
    return sum;
}

}  // namespace

MpsState::MpsState(std::vector<int> chain) : chain_(std::move(chain)) {
    const int n = int(chain_.size());
    std::vector<bool> seen(n, false);
    for (int a : chain_) {
        if (a < 0 || a >= n || seen[a]) throw std::invalid_argument("the chain order must be a permutation of the atoms");
        seen[a] = true;
    }
    sites_.resize(n);
    for (Site &s : sites_) s.data = {1.0, 0.0};
}

int MpsState::max_bond_dim() const {
    int most = 1;
    for (const Site &s : sites_) most = std::max(most, s.right);
    return most;
}

void MpsState::canonicalize(int center) {
    const int n = atoms();
    if (n == 0) return;
    if (center < 0 || center >= n) throw std::out_of_range("the centre must be a site of the chain");
    std::vector<cplx> r;
    for (int i = 0; i < center; ++i) {
        Site &s = sites_[i], &next = sites_[i + 1];
        const int k = qr(2 * s.left, s.right, s.data, r);
        std::vector<cplx> merged(std::size_t(k) * 2 * next.right);
        gemm(Op::none, Op::none, k, 2 * next.right, s.right, 1.0, r.data(), k, next.data.data(), next.left, 0.0,
             merged.data(), k);
        s.right = next.left = k;
        next.data = std::move(merged);
    }
    for (int i = n - 1; i > center; --i) {
        Site &s = sites_[i], &prev = sites_[i - 1];
        const int cols = 2 * s.right;
        std::vector<cplx> m(std::size_t(cols) * s.left);  // A^H as (2 Dr) x Dl
        for (int l = 0; l < s.left; ++l)
            for (int c = 0; c < cols; ++c) m[c + std::size_t(cols) * l] = std::conj(s.data[l + std::size_t(s.left) * c]);
        const int k = qr(cols, s.left, m, r);
        std::vector<cplx> q(std::size_t(k) * cols);
        for (int c = 0; c < cols; ++c)
            for (int l = 0; l < k; ++l) q[l + std::size_t(k) * c] = std::conj(m[c + std::size_t(cols) * l]);
        std::vector<cplx> merged(std::size_t(2) * prev.left * k);
        gemm(Op::none, Op::adjoint, 2 * prev.left, k, s.left, 1.0, prev.data.data(), 2 * prev.left, r.data(), k, 0.0,
             merged.data(), 2 * prev.left);
        s.data = std::move(q);
        s.left = prev.right = k;
        prev.data = std::move(merged);
    }
    center_ = center;
}

std::vector<std::vector<cplx>> MpsState::left_environments() const {
    std::vector<std::vector<cplx>> e(atoms() + 1);
    e[0] = {1.0};
    for (int k = 0; k < atoms(); ++k) e[k + 1] = transfer_left(e[k], sites_[k], false);
    return e;
}

std::vector<std::vector<cplx>> MpsState::right_environments() const {
    std::vector<std::vector<cplx>> f(atoms() + 1);
    f[atoms()] = {1.0};
    for (int k = atoms() - 1; k >= 0; --k) f[k] = transfer_right(f[k + 1], sites_[k]);
    return f;
}

double MpsState::norm() const {
    std::vector<cplx> e = {1.0};
    for (const Site &s : sites_) e = transfer_left(e, s, false);
    return std::sqrt(std::max(e[0].real(), 0.0));
}

std::vector<double> MpsState::densities() const {
    const int n = atoms();
    const auto e = left_environments(), f = right_environments();
    const double norm2 = e[n][0].real();
    std::vector<double> out(n);
    for (int k = 0; k < n; ++k)
        out[chain_[k]] = close(transfer_left(e[k], sites_[k], true), f[k + 1], sites_[k].right) / norm2;
    return out;
}

std::vector<double> MpsState::correlations() const {
    const int n = atoms();
    const auto e = left_environments(), f = right_environments();
    const double norm2 = e[n][0].real();
    std::vector<double> out(std::size_t(n) * n);
    for (int j = 0; j < n; ++j) {
        std::vector<cplx> g = transfer_left(e[j], sites_[j], true);
        const int aj = chain_[j];
        out[aj + std::size_t(n) * aj] = close(g, f[j + 1], sites_[j].right) / norm2;
        for (int k = j + 1; k < n; ++k) {
            const int ak = chain_[k];
            const double value = close(transfer_left(g, sites_[k], true), f[k + 1], sites_[k].right) / norm2;
            out[aj + std::size_t(n) * ak] = out[ak + std::size_t(n) * aj] = value;
            if (k + 1 < n) g = transfer_left(g, sites_[k], false);
        }
    }
    return out;
}

std::vector<std::uint8_t> MpsState::sample(int shots, const std::function<double()> &uniform) const {
    if (shots < 0) throw std::invalid_argument("the number of shots must be >= 0");
    const int n = atoms();
    const auto f = right_environments();
    std::vector<std::uint8_t> out(std::size_t(shots) * n);
    std::vector<cplx> v, w, ws[2], t;
    for (int shot = 0; shot < shots; ++shot) {
        v.assign(1, 1.0);
        for (int k = 0; k < n; ++k) {
            const Site &s = sites_[k];
            const int dl = s.left, dr = s.right;
            w.resize(std::size_t(2) * dr);
            gemm(Op::none, Op::none, 1, 2 * dr, dl, 1.0, v.data(), 1, s.data.data(), dl, 0.0, w.data(), 1);
            double p[2];
            for (int b = 0; b < 2; ++b) {
                ws[b].resize(dr);
                for (int r = 0; r < dr; ++r) ws[b][r] = w[b + 2 * std::size_t(r)];
                t.resize(dr);
                gemm(Op::none, Op::none, 1, dr, dr, 1.0, ws[b].data(), 1, f[k + 1].data(), dr, 0.0, t.data(), 1);
                double sum = 0.0;
                for (int r = 0; r < dr; ++r) sum += (t[r] * std::conj(ws[b][r])).real();
                p[b] = std::max(sum, 0.0);
            }
            const double total = p[0] + p[1];
            const int bit = uniform() < p[0] / total ? 0 : 1;
            out[std::size_t(shot) * n + chain_[k]] = std::uint8_t(bit);
            const double scale = 1.0 / std::sqrt(p[bit]);
            v.resize(dr);
            for (int r = 0; r < dr; ++r) v[r] = ws[bit][r] * scale;
        }
    }
    return out;
}

std::vector<cplx> MpsState::to_statevector() const {
    const int n = atoms();
    if (n > 26) throw std::invalid_argument("to_statevector needs a register of at most 26 atoms");
    // psi[p + P r]: chain site k is bit k of p (site 0 least significant) after site k.
    std::vector<cplx> psi = {1.0}, next;
    std::size_t prefixes = 1;
    for (const Site &s : sites_) {
        next.resize(prefixes * 2 * s.right);
        gemm(Op::none, Op::none, int(prefixes), 2 * s.right, s.left, 1.0, psi.data(), int(prefixes), s.data.data(),
             s.left, 0.0, next.data(), int(prefixes));
        psi.swap(next);
        prefixes *= 2;
    }
    // Chain bit k is atom chain[k], which is bit n-1-chain[k] of the engine's index; two
    // tables of partial indices, for the low and high halves of the chain bits.
    const int low_bits = n / 2, high_bits = n - low_bits;
    std::vector<std::size_t> low(std::size_t(1) << low_bits, 0), high(std::size_t(1) << high_bits, 0);
    for (std::size_t x = 0; x < low.size(); ++x)
        for (int k = 0; k < low_bits; ++k)
            if (x >> k & 1) low[x] |= std::size_t(1) << (n - 1 - chain_[k]);
    for (std::size_t x = 0; x < high.size(); ++x)
        for (int k = 0; k < high_bits; ++k)
            if (x >> k & 1) high[x] |= std::size_t(1) << (n - 1 - chain_[low_bits + k]);
    std::vector<cplx> out(psi.size());
    const std::size_t mask = low.size() - 1;
    for (std::size_t p = 0; p < psi.size(); ++p) out[low[p & mask] | high[p >> low_bits]] = psi[p];
    return out;
}

}  // namespace analog::mps
