// Time-dependent variational principle by projector splitting: one symmetric second-order step
// is a sweep left to right and one right to left, each over half the step. Each bond is crossed
// in one of two ways, chosen at the start of the step and kept for both sweeps:
//   - two sites, where the bond can still grow (below max_bond_dim and below twice the outer
//     bonds of its sites): the block of both sites is evolved forward by the Lanczos
//     exponential and split by SVD with truncation;
//   - one site, where it cannot: the centre site is evolved forward, split off by QR (LQ going
//     left) and its bond matrix evolved backward by the bond's effective Hamiltonian. Nothing is
//     discarded, and the cost is about half that of a two-site update that would only grow and
//     truncate back.
// The forward pieces cover the chain: a site inside two two-site blocks is evolved backward
// once between them, a site inside none is evolved forward on its own.
#pragma once

#include <vector>

#include "environment.hpp"
#include "krylov.hpp"
#include "mps_state.hpp"
#include "rydberg_mpo.hpp"
#include "runtime/poll.hpp"

namespace analog::mps {

struct Truncation {
    int max_bond_dim = 256;
    // Singular values dropped, smallest first, while their squares sum to at most
    // precision^2 times the squared norm.
    double precision = 1e-6;
};

class Tdvp {
public:
    // `state` must have its centre at site 0 (an all-ground product state does).
    Tdvp(MpsState &state, const RydbergMpo &mpo, Truncation truncation, KrylovSettings krylov,
         runtime::Poller *poll);

    // One step of `dt` seconds under the MPO's current coefficients; the centre ends at site 0.
    void step(double dt);

    // Relative squared weight of every singular value dropped so far, summed.
    double discarded_weight() const { return discarded_; }
    long long krylov_vectors() const { return krylov_vectors_; }
    // Bond crossings by one-site updates at max_bond_dim below the bond's exact dimension: each
    // keeps the state in the capped manifold, an error the discarded weight does not count.
    long long capped_crossings() const { return capped_crossings_; }

private:
    void rebuild_right_environments();
    // Evolves sites (i, i+1) forward by tau and splits them, the centre going right or left.
    void update_pair(int i, double tau, bool rightward);
    // Evolves site i by exp(-i tau H_eff): forward for tau > 0, backward for tau < 0.
    void evolve_site(int i, double tau);
    // Moves the centre across bond (i, i+1), right from site i or left from site i + 1, by a
    // decomposition that keeps the bond, and evolves the bond matrix backward by tau.
    void move_center(int i, double tau, bool rightward);
    // Half a step: every bond crossed once, in the direction given.
    void sweep(double tau, bool rightward);
    void poll() {
        if (poll_) (*poll_)();
    }

    MpsState &state_;
    const RydbergMpo &mpo_;
    Truncation truncation_;
    KrylovSettings krylov_settings_;
    runtime::Poller *poll_;
    std::vector<std::vector<cplx>> left_, right_;  // environments of each site
    ContractionBuffers buffers_;
    EffectiveHamiltonian heff_;
    KrylovExponential krylov_;
    std::vector<cplx> theta_, bond_, product_;
    std::vector<char> two_site_;  // per bond, for the current step
    double discarded_ = 0.0;
    long long krylov_vectors_ = 0;
    long long capped_crossings_ = 0;
};

}  // namespace analog::mps
