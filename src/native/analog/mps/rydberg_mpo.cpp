#include "rydberg_mpo.hpp"

#include <algorithm>
#include <cmath>

namespace analog::mps {

namespace {

// Singular values of the interaction cuts kept: above this fraction of the largest of all cuts.
constexpr double kInteractionTolerance = 1e-8;

}  // namespace

void RydbergMpo::add(int site, int a, int b, int s_out, int s_in, cplx value, Part part) {
    terms_[site].push_back({a, b, s_out, s_in, value, part});
}

void RydbergMpo::add_identity(int site, int a, int b, cplx value) {
    add(site, a, b, 0, 0, value, fixed);
    add(site, a, b, 1, 1, value, fixed);
}

RydbergMpo::RydbergMpo(const std::vector<Position> &atoms, double c6, double blockade_radius,
                       const std::vector<double> &weights) {
    const int n = int(atoms.size());
    terms_.resize(n);
    sites_.resize(n);
    if (n == 0) return;

    // Pair energies of pairs that may both be Rydberg atoms, and the near neighbours of each atom.
    std::vector<double> v(std::size_t(n) * n, 0.0);
    std::vector<std::vector<int>> near(n);
    for (int j = 0; j < n; ++j)
        for (int k = j + 1; k < n; ++k) {
            const double r = std::hypot(atoms[j].x - atoms[k].x, atoms[j].y - atoms[k].y);
            if (r < blockade_radius) {
                near[j].push_back(k);
                near[k].push_back(j);
            } else {
                const double r3 = r * r * r;
                v[j + std::size_t(n) * k] = v[k + std::size_t(n) * j] = c6 / (r3 * r3);
            }
        }

    // Interaction channels of bond b (after site b): an orthonormal basis u[b] ((b+1) x r_b) of
    // the columns of V[0..b, b+1..n-1]. The columns of the next cut lie in this span, so the
    // channels of bond b+1 are linear maps of those of bond b.
    std::vector<std::vector<cplx>> u(std::max(n - 1, 0));
    std::vector<Svd> cuts(std::max(n - 1, 0));
    double largest = 0.0;
    for (int b = 0; b + 1 < n; ++b) {
        const int rows = b + 1, cols = n - 1 - b;
        std::vector<cplx> m(std::size_t(rows) * cols);
        for (int k = 0; k < cols; ++k)
            for (int j = 0; j < rows; ++j) m[j + std::size_t(rows) * k] = v[j + std::size_t(n) * (b + 1 + k)];
        cuts[b] = svd(rows, cols, m);
        if (!cuts[b].s.empty()) largest = std::max(largest, cuts[b].s[0]);
    }
    std::vector<int> rank(std::max(n - 1, 0), 0);
    for (int b = 0; b + 1 < n; ++b) {
        while (rank[b] < cuts[b].rank && cuts[b].s[rank[b]] > kInteractionTolerance * largest) ++rank[b];
        u[b].assign(cuts[b].u.begin(), cuts[b].u.begin() + std::size_t(b + 1) * rank[b]);
    }

    // Constrained flips with near neighbours: a channel over the chain span of the atom and its
    // neighbours.
    std::vector<int> lo(n), hi(n);
    std::vector<std::vector<int>> flips_on(std::max(n - 1, 0));  // atoms whose channel crosses bond b
    for (int k = 0; k < n; ++k) {
        lo[k] = hi[k] = k;
        for (int j : near[k]) lo[k] = std::min(lo[k], j), hi[k] = std::max(hi[k], j);
        for (int b = lo[k]; b < hi[k]; ++b) flips_on[b].push_back(k);
    }

    // Channel counts per bond, bond b at index b + 1; the boundaries hold one channel.
    std::vector<int> width(n + 1, 1);
    for (int b = 0; b + 1 < n; ++b) width[b + 1] = 2 + rank[b] + int(flips_on[b].size());
    auto done = [&](int bond) { return width[bond + 1] - 1; };  // bond -1 has none; never asked
    auto flip_channel = [&](int bond, int k) {
        const auto &list = flips_on[bond];
        return 1 + rank[bond] + int(std::find(list.begin(), list.end(), k) - list.begin());
    };

    for (int i = 0; i < n; ++i) {
        sites_[i].left = width[i];
        sites_[i].right = width[i + 1];
        if (i + 1 < n) add_identity(i, 0, 0, 1.0);
        if (i > 0) add_identity(i, done(i - 1), done(i), 1.0);
        // Terms complete on this site alone.
        const int end = done(i);
        add(i, 0, end, 1, 1, -1.0, detuning);
        if (!weights.empty() && weights[i] != 0.0) add(i, 0, end, 1, 1, -weights[i], local);
        if (near[i].empty()) {
            add(i, 0, end, 0, 1, 1.0, lower);
            add(i, 0, end, 1, 0, 1.0, raise);
        }
        // Interactions: open a channel, carry it on, close it.
        if (i + 1 < n)
            for (int beta = 0; beta < rank[i]; ++beta) add(i, 0, 1 + beta, 1, 1, u[i][i + std::size_t(i + 1) * beta], fixed);
        if (i > 0) {
            const int rows = i;  // u[i - 1] is i x rank[i - 1]
            const std::vector<cplx> &prev = u[i - 1];
            for (int alpha = 0; alpha < rank[i - 1]; ++alpha) {
                const cplx *pa = prev.data() + std::size_t(rows) * alpha;
                if (i + 1 < n)
                    for (int beta = 0; beta < rank[i]; ++beta) {
                        const cplx *ub = u[i].data() + std::size_t(i + 1) * beta;
                        cplx t = 0.0;
                        for (int j = 0; j < rows; ++j) t += std::conj(pa[j]) * ub[j];
                        add_identity(i, 1 + alpha, 1 + beta, t);
                    }
                cplx c = 0.0;
                for (int j = 0; j < rows; ++j) c += std::conj(pa[j]) * v[j + std::size_t(n) * i];
                add(i, 1 + alpha, end, 1, 1, c, fixed);
            }
        }
    }
    // Constrained flips: the flip on atom k, projectors onto ground on its near neighbours and
    // identities between them.
    for (int k = 0; k < n; ++k) {
        if (near[k].empty()) continue;
        for (int i = lo[k]; i <= hi[k]; ++i) {
            const int a = i == lo[k] ? 0 : flip_channel(i - 1, k);
            const int b = i == hi[k] ? done(i) : flip_channel(i, k);
            if (i == k) {
                add(i, a, b, 0, 1, 1.0, lower);
                add(i, a, b, 1, 0, 1.0, raise);
            } else if (std::find(near[k].begin(), near[k].end(), i) != near[k].end()) {
                add(i, a, b, 0, 0, 1.0, fixed);
            } else {
                add_identity(i, a, b, 1.0);
            }
        }
    }
    set_drive(0.0, 0.0, 0.0, 0.0);
}

void RydbergMpo::set_drive(double amplitude, double phase, double detuning_value, double local_value) {
    const cplx half = 0.5 * amplitude * cplx(std::cos(phase), std::sin(phase));
    const cplx coefficient[4] = {half, std::conj(half), detuning_value, local_value};
    std::vector<cplx> dense;
    for (std::size_t i = 0; i < sites_.size(); ++i) {
        MpoSite &site = sites_[i];
        const int wl = site.left, wr = site.right;
        dense.assign(std::size_t(4) * wl * wr, cplx(0.0));
        auto at = [&](int a, int b, int s_out, int s_in) -> cplx & {
            return dense[a + std::size_t(wl) * (s_out + 2 * (s_in + 2 * std::size_t(b)))];
        };
        for (const Term &t : terms_[i]) at(t.a, t.b, t.s_out, t.s_in) += t.part == fixed ? t.value : t.value * coefficient[t.part];
        site.entries.clear();
        for (int b = 0; b < wr; ++b)
            for (int s_in = 0; s_in < 2; ++s_in)
                for (int s_out = 0; s_out < 2; ++s_out)
                    for (int a = 0; a < wl; ++a) {
                        const cplx value = at(a, b, s_out, s_in);
                        if (value != 0.0) site.entries.push_back({a, b, s_out, s_in, value});
                    }
    }
}

int RydbergMpo::max_channels() const {
    int most = 1;
    for (const MpoSite &s : sites_) most = std::max(most, s.right);
    return most;
}

}  // namespace analog::mps
