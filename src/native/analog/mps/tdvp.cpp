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

void Tdvp::evolve_back(int i, double tau) {
    MpsState::Site &s = state_.site(i);
    const int dl = s.left, dr = s.right;
    heff_.prepare_one_site(left_[i], mpo_.site(i), right_[i], dl, dr);
    krylov_vectors_ += krylov_.apply([&](const cplx *in, cplx *out) { heff_.apply(in, out); }, -tau, s.data,
                                     krylov_settings_);
}

void Tdvp::step(double dt) {
    const int n = state_.atoms();
    if (n == 0) return;
    const double half = 0.5 * dt;
    rebuild_right_environments();
    if (n == 1) {
        poll();
        evolve_back(0, -dt);  // a forward one-site step of the whole dt
        return;
    }
    for (int i = 0; i + 1 < n; ++i) {
        poll();
        update_pair(i, half, true);
        if (i + 2 < n) {
            poll();
            evolve_back(i + 1, half);
        }
    }
    state_.set_center(n - 1);
    for (int i = n - 2; i >= 0; --i) {
        poll();
        update_pair(i, half, false);
        if (i > 0) {
            poll();
            evolve_back(i, half);
        }
    }
    state_.set_center(0);
}

}  // namespace analog::mps
