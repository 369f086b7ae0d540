// Two-site time-dependent variational principle: one symmetric second-order step is a sweep
// left to right and one right to left, each over half the step. Every two-site block is
// evolved forward by the Lanczos exponential, split by SVD with truncation, and the site it
// hands the centre to is evolved backward by the one-site effective Hamiltonian, except at
// the chain's ends.
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

private:
    void rebuild_right_environments();
    // Evolves sites (i, i+1) forward by tau and splits them, the centre going right or left.
    void update_pair(int i, double tau, bool rightward);
    // Evolves site i by exp(+i tau H_eff), the backward half of a projector-splitting step.
    void evolve_back(int i, double tau);
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
    std::vector<cplx> theta_;
    double discarded_ = 0.0;
    long long krylov_vectors_ = 0;
};

}  // namespace analog::mps
