// Contractions of the state with the Hamiltonian's MPO: environments of the sites and the
// effective Hamiltonians of one and two sites that TDVP exponentiates.
//
// Layouts (column-major, bra indices belong to the conjugated state):
//   left environment of site i:  L[l_bra + D (a + w l_ket)]  (D = left bond, w = MPO channels)
//   right environment of site i: R[r_ket + D (b + w r_bra)]  (D = right bond)
// The bond contractions are zgemm calls on (bond x channel) by bond matrices; the MPO is
// applied entry by entry from its sparse form, in contiguous runs over a bond index.
#pragma once

#include <vector>

#include "linalg.hpp"
#include "rydberg_mpo.hpp"
#include "runtime/team.hpp"

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

// The effective Hamiltonian of a bond (theta dl x dr, between the left environment of the
// site after the bond and the right environment of the site before it), of one site (theta
// dl x 2 x dr) or of two (theta dl x 2 x 2 x dr), applied in stages on tensors whose MPO channel is the slowest index: the left environment
// channel by channel (zgemm), each site's operator, the right environment (one zgemm). A
// site's operator splits into its pass-through part, the entries that are a multiple of the
// identity on the atom (one zgemm over the channels for all bond and physical indices at
// once), and the few other entries, applied one by one in runs over the left bond. The
// channel of the left environment that holds nothing yet (0) and that of the right
// environment that holds the completed terms (the last) are identities, since the state is
// in canonical form about the sites: they are not multiplied. About 8 w D^3 + 8 w^2 D^2
// operations per two-site application, against 16 w D^3 for operators folded into the
// environments.
//
// `prepare_*` keeps references to the environments: they must stay unchanged while `apply`
// is used. Large applications are split into blocks fixed by the sizes alone, run on a team of
// up to runtime::max_threads() threads kept while the object lives: every output element is
// computed the same way for any thread count.
class EffectiveHamiltonian {
public:
    // `channels`: the MPO channels of the bond, shared by both environments.
    void prepare_zero_site(const std::vector<cplx> &left, const std::vector<cplx> &right, int dl, int dr,
                           int channels);
    void prepare_one_site(const std::vector<cplx> &left, const MpoSite &w, const std::vector<cplx> &right, int dl,
                          int dr);
    void prepare_two_site(const std::vector<cplx> &left, const MpoSite &w1, const MpoSite &w2,
                          const std::vector<cplx> &right, int dl, int dr);
    void apply(const cplx *theta, cplx *out);

    // A site's operator as a pass-through matrix over the channels, T[a + wl b] (the
    // coefficient of the identity in W[a, ., ., b]), and the entries left over. Of T, the
    // output channels that copy one input (source[b], -1 for none) are kept apart from the
    // block of the others: outputs [first_out, first_out + outs) from inputs
    // [first_in, first_in + ins), block[a + ins b].
    struct SplitSite {
        int left = 1, right = 1;
        std::vector<int> source;
        int first_in = 0, first_out = 0, ins = 0, outs = 0;
        std::vector<cplx> block;
        std::vector<MpoEntry> rest;
    };

private:
    int dl_ = 1, dr_ = 1, sites_ = 1, wl_ = 1, wr_ = 1;  // wl_, wr_: channels of the environments
    const cplx *left_ = nullptr, *right_ = nullptr;
    SplitSite first_, second_;
    std::vector<cplx> x_, y_, z_;
    runtime::Team team_;
};

}  // namespace analog::mps
