#include "tdvp.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace analog::mps {

Tdvp::Tdvp(MpsState &state, const RydbergMpo &mpo, Truncation truncation, KrylovSettings krylov,
           runtime::Poller *poll)
    : state_(state), mpo_(mpo), truncation_(truncation), krylov_settings_(krylov), poll_(poll) {
    if (mpo.sites() != state.atoms()) throw std::invalid_argument("the MPO and the state differ in length");
    if (state.center() != 0) throw std::invalid_argument("TDVP starts from a state with its centre at site 0");
    const int n = state.atoms();
    left_.resize(n);
    right_.resize(n);
    if (n > 0) {
        left_[0] = {1.0};
        right_[n - 1] = {1.0};
    }
}

void Tdvp::rebuild_right_environments() {
    for (int i = state_.atoms() - 1; i > 0; --i) {
        const MpsState::Site &s = state_.site(i);
        extend_right(right_[i], mpo_.site(i), s.data.data(), s.left, s.right, right_[i - 1], buffers_);
    }
}

void Tdvp::update_pair(int i, double tau, bool rightward) {
    MpsState::Site &a = state_.site(i), &b = state_.site(i + 1);
    const int dl = a.left, dr = b.right;
    theta_.resize(std::size_t(4) * dl * dr);
    gemm(Op::none, Op::none, 2 * dl, 2 * dr, a.right, 1.0, a.data.data(), 2 * dl, b.data.data(), b.left, 0.0,
         theta_.data(), 2 * dl);
    const MpoSite &w1 = mpo_.site(i), &w2 = mpo_.site(i + 1);
    heff_.prepare_two_site(left_[i], w1, w2, right_[i + 1], dl, dr);
    krylov_vectors_ += krylov_.apply([&](const cplx *in, cplx *out) { heff_.apply(in, out); }, tau, theta_,
                                     krylov_settings_);

    Svd f = svd(2 * dl, 2 * dr, theta_);
    double total = 0.0;
    for (double s : f.s) total += s * s;
    // Keep k values: the dropped tail's squares sum to at most precision^2 of the total.
    int keep = f.rank;
    double tail = 0.0;
    const double allowed = truncation_.precision * truncation_.precision * total;
    while (keep > 1 && tail + f.s[keep - 1] * f.s[keep - 1] <= allowed) {
        --keep;
        tail += f.s[keep] * f.s[keep];
    }
    if (keep > truncation_.max_bond_dim) {
        keep = truncation_.max_bond_dim;
        tail = 0.0;
        for (int j = keep; j < f.rank; ++j) tail += f.s[j] * f.s[j];
    }
    if (total > 0.0) discarded_ += tail / total;
    // The kept values are rescaled to the norm before truncation.
    const double rescale = total > 0.0 ? std::sqrt(total / (total - tail)) : 1.0;

    // u: 2 dl x keep (first columns); vh: keep rows of its rank x 2 dr.
    a.right = b.left = keep;
    a.data.assign(f.u.begin(), f.u.begin() + std::size_t(2) * dl * keep);
    b.data.resize(std::size_t(keep) * 2 * dr);
    for (int c = 0; c < 2 * dr; ++c)
        for (int r = 0; r < keep; ++r) b.data[r + std::size_t(keep) * c] = f.vh[r + std::size_t(f.rank) * c];
    if (rightward) {
        for (int c = 0; c < 2 * dr; ++c)
            for (int r = 0; r < keep; ++r) b.data[r + std::size_t(keep) * c] *= f.s[r] * rescale;
        extend_left(left_[i], w1, a.data.data(), dl, keep, left_[i + 1], buffers_);
    } else {
        for (int c = 0; c < keep; ++c)
            for (int r = 0; r < 2 * dl; ++r) a.data[r + std::size_t(2) * dl * c] *= f.s[c] * rescale;
        extend_right(right_[i + 1], w2, b.data.data(), keep, dr, right_[i], buffers_);
    }
}

void Tdvp::evolve_site(int i, double tau) {
    MpsState::Site &s = state_.site(i);
    heff_.prepare_one_site(left_[i], mpo_.site(i), right_[i], s.left, s.right);
    krylov_vectors_ += krylov_.apply([&](const cplx *in, cplx *out) { heff_.apply(in, out); }, tau, s.data,
                                     krylov_settings_);
}

void Tdvp::move_center(int i, double tau, bool rightward) {
    MpsState::Site &a = state_.site(i), &b = state_.site(i + 1);
    const int d = a.right;
    int k;
    if (rightward) {
        // a = Q bond_ (k x d); the bond matrix sits between the environments of sites i + 1 and i.
        k = qr(2 * a.left, d, a.data, bond_);
        a.right = k;
        extend_left(left_[i], mpo_.site(i), a.data.data(), a.left, k, left_[i + 1], buffers_);
        heff_.prepare_zero_site(left_[i + 1], right_[i], k, d, mpo_.site(i).right);
    } else {
        // b = bond_ (d x k) Q.
        k = lq(d, 2 * b.right, b.data, bond_);
        b.left = k;
        extend_right(right_[i + 1], mpo_.site(i + 1), b.data.data(), k, b.right, right_[i], buffers_);
        heff_.prepare_zero_site(left_[i + 1], right_[i], d, k, mpo_.site(i).right);
    }
    krylov_vectors_ += krylov_.apply([&](const cplx *in, cplx *out) { heff_.apply(in, out); }, -tau, bond_,
                                     krylov_settings_);
    if (rightward) {
        product_.resize(std::size_t(k) * 2 * b.right);
        gemm(Op::none, Op::none, k, 2 * b.right, d, 1.0, bond_.data(), k, b.data.data(), d, 0.0, product_.data(), k);
        b.left = k;
        b.data.swap(product_);
    } else {
        product_.resize(std::size_t(2) * a.left * k);
        gemm(Op::none, Op::none, 2 * a.left, k, d, 1.0, a.data.data(), 2 * a.left, bond_.data(), d, 0.0,
             product_.data(), 2 * a.left);
        a.right = k;
        a.data.swap(product_);
    }
}

void Tdvp::sweep(double tau, bool rightward) {
    const int n = state_.atoms();
    // `covered`: the centre site was evolved forward within the two-site block just split.
    bool covered = false;
    for (int step = 0; step + 1 < n; ++step) {
        const int i = rightward ? step : n - 2 - step, center = rightward ? i : i + 1;
        poll();
        if (two_site_[i]) {
            if (covered) {
                evolve_site(center, -tau);
                poll();
            }
            update_pair(i, tau, rightward);
            covered = true;
        } else {
            if (!covered) {
                evolve_site(center, tau);
                poll();
            }
            move_center(i, tau, rightward);
            covered = false;
        }
    }
    if (!covered) {
        poll();
        evolve_site(rightward ? n - 1 : 0, tau);
    }
    state_.set_center(rightward ? n - 1 : 0);
}

void Tdvp::step(double dt) {
    const int n = state_.atoms();
    if (n == 0) return;
    rebuild_right_environments();
    if (n == 1) {
        poll();
        evolve_site(0, dt);
        return;
    }
    two_site_.resize(n - 1);
    for (int i = 0; i + 1 < n; ++i) {
        const MpsState::Site &a = state_.site(i), &b = state_.site(i + 1);
        const int exact = std::min(2 * a.left, 2 * b.right);  // the most the bond could ever need
        two_site_[i] = a.right < std::min(truncation_.max_bond_dim, exact);
        if (!two_site_[i] && a.right < exact) ++capped_crossings_;
    }
    sweep(0.5 * dt, true);
    sweep(0.5 * dt, false);
}

}  // namespace analog::mps
