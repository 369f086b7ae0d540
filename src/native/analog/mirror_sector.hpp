// The mirror-symmetric sector of a register's full space.
//
// When a reflection or a half turn maps the register onto itself, leaving every pair's
// interaction and every atom's local-detuning weight as it was, H commutes with the permutation
// of the atoms it makes, and an evolution from all-ground never leaves the states that the
// permutation leaves unchanged. Those take about half the amplitudes of the full space, and the
// product with H on them about half the work.
//
// Layout. The permutation pairs atoms l_j <-> r_j (j < h) and fixes atoms f_0 .. f_{k-1}. A basis
// state is (c, a, b): c the bits of the fixed atoms, a those of l_0 .. l_{h-1}, b those of
// r_0 .. r_{h-1}; the permutation swaps a and b. For each c, psi(c, a, b) is a symmetric 2^h x 2^h
// matrix, stored by square blocks of side 2^s on and above the diagonal, each row by row. A
// block above the diagonal stands for itself and its mirror image and holds sqrt(2) psi; a block
// on the diagonal holds psi, all of it (kept symmetric). So plain sums over the stored
// amplitudes give the full state's norms and inner products, as the Lanczos propagator needs.
#pragma once

#include <memory>
#include <vector>

#include "schrodinger.hpp"

namespace analog {

// The permutation of the atoms (atom k to image[k]) made by the register's mirror with the
// fewest fixed atoms, or empty when the space is not the full space or no mirror moves at least
// six atoms. A mirror must leave every pair's interaction and every atom's local-detuning
// weight (from `weighted`, as for SchrodingerSystem) as it was, within 1e-12 relative.
std::vector<int> find_mirror(const AtomSpace &space, const std::vector<double> &weighted);

class MirrorSector final : public LanczosOperator {
public:
    // The sector of `space` (the full space) under `image`, a permutation from find_mirror.
    MirrorSector(const AtomSpace &space, const std::vector<double> &weighted, const std::vector<int> &image);

    // Amplitudes the sector of a mirror `image` stores.
    static std::size_t dim_of(const std::vector<int> &image);

    // Stored amplitudes; index 0 is the all-ground state.
    std::size_t dim() const override { return dim_; }
    double apply_lab_measured(const cplx *y, double scale, cplx *out, const Coefficients &c) override;
    // Writes the full-space state of sector vector `sector` to `full` (space.dim() amplitudes).
    void unfold(const cplx *sector, cplx *full) const;

private:
    struct Place {
        std::size_t copy, row_block, column_block, row, column;
    };
    Place place(std::size_t i) const;
    // The full-space index of state (c, a, b).
    std::uint64_t full_index(std::size_t c, std::size_t a, std::size_t b) const {
        return fixed_bits_[c] | left_bits_[a] | right_bits_[b];
    }
    // The index of stored block (row_block, column_block), row_block <= column_block: rows of
    // grid_, grid_ - 1, ... blocks before it.
    std::size_t block_id(std::size_t row_block, std::size_t column_block) const {
        return row_block * (2 * grid_ - row_block + 1) / 2 + (column_block - row_block);
    }
    template <class Finish>
    double block_product(std::size_t block, const double *y, const Finish &finish) const;

    int fixed_ = 0, side_bits_ = 0;
    std::size_t side_ = 0, grid_ = 0, blocks_per_copy_ = 0, block_size_ = 0, dim_ = 0;
    std::vector<std::uint64_t> left_bits_, right_bits_, fixed_bits_;  // full-index bits of a, b and c
    std::vector<std::pair<std::size_t, std::size_t>> blocks_;          // (row block, column block) by id
    std::vector<double> interaction_, excitations_, weighted_;        // per stored amplitude
    std::vector<double> diagonal_;  // H's diagonal at the detunings below
    double diagonal_detuning_ = 0.0, diagonal_local_ = 0.0;
};

}  // namespace analog
