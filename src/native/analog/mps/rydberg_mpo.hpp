// The Rydberg Hamiltonian as a matrix-product operator over the chain of atoms:
//
//   H(t) = sum_k [Omega/2 e^{i phi} |g><r|_k + h.c.] prod_{j near k} (1 - n_j)
//          - sum_k (Delta + w_k Delta_loc) n_k + sum_{j<k, not near} C6 / r_jk^6 n_j n_k
//
// with "near" meaning closer than the blockade radius (none without one). The constrained
// flips keep an evolution that starts in the blockade-free subspace inside it, as the exact
// engine's subspace does; pairs that are near never both hold a Rydberg atom there, so their
// interaction is left out.
//
// Bond channels: 0 is "nothing placed yet" (identity so far), the last is "term complete";
// between them the interaction channels (an orthonormal basis of the left factor of the
// interaction matrix cut at that bond, from its SVD, keeping singular values above 1e-8 of the
// largest: every pair is included, the matrix to that relative accuracy, some 2 rad/s for
// atoms 5.5 um apart, far below any drive) and one channel per constrained flip whose atoms straddle the bond. The structure is
// built once; set_drive only rescales the entries that carry Omega e^{i phi}, Delta and
// Delta_loc.
#pragma once

#include <array>
#include <vector>

#include "../space.hpp"
#include "linalg.hpp"

namespace analog::mps {

// One nonzero of a site's operator W[a, s_out, s_in, b] (a left channel, b right channel).
struct MpoEntry {
    int a, b, s_out, s_in;
    cplx value;
};

struct MpoSite {
    int left = 1, right = 1;  // channel counts of the bonds on either side
    std::vector<MpoEntry> entries;
};

class RydbergMpo {
public:
    // Atoms in chain order (metres), c6 in rad m^6/s, blockade radius in metres (0: none),
    // local-detuning weights in chain order (empty: all zero).
    RydbergMpo(const std::vector<Position> &atoms, double c6, double blockade_radius,
               const std::vector<double> &weights);

    // Sets the time-dependent coefficients: Omega (rad/s), phi (rad), Delta, Delta_loc (rad/s).
    void set_drive(double amplitude, double phase, double detuning, double local_detuning);

    int sites() const { return int(sites_.size()); }
    const MpoSite &site(int i) const { return sites_[i]; }
    int max_channels() const;

private:
    // Which coefficient multiplies a term: none (static), Omega/2 e^{i phi} (|g><r|), its
    // conjugate (|r><g|), Delta or Delta_loc.
    enum Part { fixed = -1, lower = 0, raise = 1, detuning = 2, local = 3 };
    struct Term {
        int a, b, s_out, s_in;
        cplx value;
        Part part;
    };
    void add(int site, int a, int b, int s_out, int s_in, cplx value, Part part);
    void add_identity(int site, int a, int b, cplx value);

    std::vector<std::vector<Term>> terms_;
    std::vector<MpoSite> sites_;
};

}  // namespace analog::mps
