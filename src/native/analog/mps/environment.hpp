// Contractions of the state with the Hamiltonian's MPO: environments of the sites and the
// effective Hamiltonians of one and two sites that TDVP exponentiates.
//
// Layouts (column-major, bra indices belong to the conjugated state):
//   left environment of site i:  L[l_bra + D (a + w l_ket)]  (D = left bond, w = MPO channels)
//   right environment of site i: R[r_ket + D (b + w r_bra)]  (D = right bond)
// The bond contractions are single zgemm calls on (bond x channel) by bond matrices; the MPO
// is applied entry by entry from its sparse form, in contiguous runs over a bond index.
#pragma once

#include <vector>

#include "linalg.hpp"
#include "rydberg_mpo.hpp"

namespace analog::mps {

// Work arrays reused across calls, so that no call allocates once the bonds stop growing.
struct ContractionBuffers {
    std::vector<cplx> first, second;
};

// The left environment of site i + 1 from that of site i and the tensor A (dl x 2 x dr).
void extend_left(const std::vector<cplx> &left, const MpoSite &w, const cplx *a, int dl, int dr,
                 std::vector<cplx> &out, ContractionBuffers &buffers);
// The right environment of site i - 1 from that of site i and the tensor A (dl x 2 x dr).
void extend_right(const std::vector<cplx> &right, const MpoSite &w, const cplx *a, int dl, int dr,
                  std::vector<cplx> &out, ContractionBuffers &buffers);

// The effective Hamiltonian of one site (theta dl x 2 x dr) or two (theta dl x 2 x 2 x dr).
// `prepare` folds the MPO into the environments once per exponential: the left environment
// with the first site's operator, LW[(l', s', c), (l, s)], and on the right either the second
// site's operator with the right environment, RW[(c, s2, r), (s2', r')], or the right
// environment reordered, R'[(b, r), r']. Each application is then two zgemm calls.
class EffectiveHamiltonian {
public:
    void prepare_one_site(const std::vector<cplx> &left, const MpoSite &w, const std::vector<cplx> &right, int dl,
                          int dr);
    void prepare_two_site(const std::vector<cplx> &left, const MpoSite &w1, const MpoSite &w2,
                          const std::vector<cplx> &right, int dl, int dr);
    void apply(const cplx *theta, cplx *out);

private:
    int dl_ = 1, dr_ = 1, sites_ = 1, channels_ = 1;  // channels between LW and the right factor
    std::vector<cplx> left_, right_, middle_;
};

}  // namespace analog::mps
