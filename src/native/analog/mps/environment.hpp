// Contractions of the state with the Hamiltonian's MPO: environments of the sites and the
// effective Hamiltonians of one and two sites that TDVP exponentiates.
//
// Layouts (column-major, bra indices belong to the conjugated state):
//   left environment of site i:  L[l_bra + D (a + w l_ket)]  (D = left bond, w = MPO channels)
//   right environment of site i: R[r_ket + D (b + w r_bra)]  (D = right bond)
// The bond contractions are zgemm calls on (bond x channel) by bond matrices; the MPO is
// applied entry by entry from its sparse form, in contiguous runs over a bond index.
#pragma once

#include <array>
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
// dl x 2 x dr) or of two (theta dl x 2 x 2 x dr). A site's operator is folded into the
// environment beside it once per preparation (the first site into the left environment, the
// second into the right one): per physical component (s_out, s_in) and channel b of the bond
// on its far side, sum_a L_a W[a, s_out, s_in, b]. An application is then two stages of
// products over the channels of the bond between the folded environments: left (one zgemm
// per channel and component), right (one zgemm per component over all channels at once).
// The channel of the left environment that holds nothing yet (0) and that of the right
// environment that holds the completed terms (the last) are identities, since the state is in
// canonical form about the sites: they enter as multiples of the identity, not multiplied.
// About 8 w D^3 operations per two-site application and 4 w D^3 per one-site one; folding
// costs w^2 D^2 per component and site, once per preparation.
//
// `prepare_*` keeps references to the environments: they must stay unchanged while `apply`
// is used. Large products are split into blocks fixed by the sizes alone, run on a team of
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

    // A site's operator folded into an environment, per physical component c = s_out + 2 s_in:
    // env[c] in the environment's layout with the far bond's channels (their range with a part
    // from the environment's other channels: [first[c], last[c])), and scalar[c][b], the
    // multiple of the identity that the environment's identity channel brings to channel b.
    struct Folded {
        static constexpr int component(int s_out, int s_in) { return s_out + 2 * s_in; }
        int channels = 0;  // of the far bond
        std::array<std::vector<cplx>, 4> env, scalar;
        std::array<int, 4> first{}, last{};
    };

private:
    void fold_left(const MpoSite &w);
    void fold_right(const MpoSite &w);
    // x_ = the left environment's channels applied to theta (a bond).
    void apply_left(const cplx *theta);
    // x_ = the folded left environment applied to theta, `columns` beyond (l, s1).
    void apply_folded_left(const cplx *theta, int columns);
    // out = x_ (rows x dr per channel) contracted with the right environment.
    void apply_right(int rows, cplx *out);
    // out = x_ contracted with the folded right environment (two sites).
    void apply_folded_right(cplx *out);

    int dl_ = 1, dr_ = 1, sites_ = 1, wl_ = 1, wr_ = 1;  // wl_, wr_: channels of the environments
    const cplx *left_ = nullptr, *right_ = nullptr;
    Folded left_fold_, right_fold_;
    std::vector<cplx> x_;
    runtime::Team team_;
};

}  // namespace analog::mps
