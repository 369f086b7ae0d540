// A matrix-product state of a register: one tensor A[l, s, r] per atom along the chain
// (s = 0 ground, 1 Rydberg), stored column-major as l + Dl (s + 2 r). Every result is given in
// the caller's atom order; the chain order is an internal choice (see site_order.hpp).
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "linalg.hpp"

namespace analog::mps {

class MpsState {
public:
    struct Site {
        int left = 1, right = 1;  // bond dimensions
        std::vector<cplx> data;   // left * 2 * right amplitudes
    };

    // The all-ground product state; chain[i] is the atom at chain position i (a permutation).
    explicit MpsState(std::vector<int> chain);

    int atoms() const { return int(sites_.size()); }
    const std::vector<int> &chain() const { return chain_; }
    Site &site(int i) { return sites_[i]; }
    const Site &site(int i) const { return sites_[i]; }
    int max_bond_dim() const;

    // The orthogonality centre: sites before it are left-orthonormal, after it right-orthonormal.
    int center() const { return center_; }
    // Moves the centre to site `center` by QR decompositions.
    void canonicalize(int center);
    // Declares the centre after an algorithm that keeps the form itself (TDVP).
    void set_center(int center) { center_ = center; }

    double norm() const;
    // <n_k> per atom (caller's order), for the normalised state.
    std::vector<double> densities() const;
    // <n_j n_k> as an n x n row-major matrix (caller's order; the diagonal holds <n_k>).
    std::vector<double> correlations() const;
    // `shots` bit strings drawn exactly from |psi|^2, one sweep along the chain per shot:
    // row-major shots x n bytes (0 or 1) in the caller's atom order. `uniform` returns draws
    // in [0, 1), one per atom per shot in chain order, shot after shot; an atom is ground when
    // its draw is below its conditional ground probability.
    std::vector<std::uint8_t> sample(int shots, const std::function<double()> &uniform) const;
    // The amplitudes in the exact engine's basis (atom 0 the most significant bit); n <= 26.
    std::vector<cplx> to_statevector() const;

private:
    // Norm environments: left[k] (Dl_k x Dl_k, bra index first) holds sites before k,
    // right[k] (Dl_k x Dl_k for the bond left of k, ket index first) sites from k on;
    // right has n + 1 entries, right[n] = [1].
    std::vector<std::vector<cplx>> left_environments() const;
    std::vector<std::vector<cplx>> right_environments() const;

    std::vector<Site> sites_;
    std::vector<int> chain_;
    int center_ = 0;
};

}  // namespace analog::mps
