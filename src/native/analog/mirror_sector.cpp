#include "mirror_sector.hpp"

#include <algorithm>
#include <cmath>
#include <functional>

#include "hopping_kernel.hpp"

namespace analog {

namespace {

const double kSqrt2 = std::sqrt(2.0);
// Side of a stored block at most, in bits: 16 x 16 amplitudes, 4 KiB, a partner block per atom
// streamed through the caches (at 20 atoms, 8 x 8 and 32 x 32 measured no faster).
constexpr int kMaxSideBits = 4;
constexpr std::size_t kMaxBlockSize = std::size_t(1) << (2 * kMaxSideBits);
// Partner blocks that a block may read transposed, at most: two per bit of the block grid
// (full spaces have at most 40 atoms, so 20 pairs).
constexpr int kMaxFlipped = 2 * (20 - kMaxSideBits);
// Atoms a mirror must move: three pairs give the 2 x 2 blocks of side kGroup, which store 3/4
// of the space.
constexpr int kLeastMoved = 6;

// Side of the blocks for `pairs` pairs of mirrored atoms, in bits: at least two blocks a side,
// or the one block on the diagonal would store the whole space.
int side_bits_for(int pairs) { return std::min(kMaxSideBits, pairs - 1); }

// How far interactions and weights of mirrored atoms may differ, relative.
constexpr double kAgreement = 1e-12;
// Stored blocks per thread at least.
constexpr std::size_t kBlocksPerThread = 16;

using Isometry = std::function<Position(Position)>;

// The atom each atom lands on under `image` (within `tolerance` metres), or empty when one
// lands on none.
std::vector<int> permutation_under(const std::vector<Position> &atoms, const Isometry &image, double tolerance) {
    std::vector<int> result(atoms.size(), -1);
    for (std::size_t k = 0; k < atoms.size(); ++k) {
        const Position p = image(atoms[k]);
        for (std::size_t j = 0; j < atoms.size() && result[k] < 0; ++j)
            if (std::hypot(p.x - atoms[j].x, p.y - atoms[j].y) <= tolerance) result[k] = int(j);
        if (result[k] < 0) return {};
    }
    return result;
}

double pair_energy(const AtomSpace &space, int j, int k) {
    const Position a = space.positions()[j], b = space.positions()[k];
    const double r = std::hypot(a.x - b.x, a.y - b.y), r3 = r * r * r;
    return space.c6() / (r3 * r3);
}

bool agree(double a, double b, double scale) { return std::abs(a - b) <= kAgreement * scale; }

// Whether permutation `image` leaves H unchanged: every pair's interaction and every atom's
// local-detuning weight (the weighted sum of the state with that atom alone).
bool keeps_hamiltonian(const AtomSpace &space, const std::vector<double> &weighted, const std::vector<int> &image) {
    const int n = space.atoms();
    for (int j = 0; j < n; ++j)
        for (int k = j + 1; k < n; ++k) {
            const double v = pair_energy(space, j, k);
            if (!agree(v, pair_energy(space, image[j], image[k]), v)) return false;
        }
    if (weighted.empty()) return true;
    auto weight = [&](int k) { return weighted[std::size_t(1) << (n - 1 - k)]; };
    double largest = 0.0;
    for (int k = 0; k < n; ++k) largest = std::max(largest, std::abs(weight(k)));
    for (int k = 0; k < n; ++k)
        if (!agree(weight(k), weight(image[k]), largest)) return false;
    return true;
}

// The half turn about the register's centroid and its reflections in every line through the
// centroid that could be a mirror: the perpendicular bisector of a first atom off the centroid
// and each other atom, and the line through that atom.
std::vector<Isometry> candidate_mirrors(const std::vector<Position> &atoms) {
    Position centre{0.0, 0.0};
    for (const Position &p : atoms) centre.x += p.x / double(atoms.size()), centre.y += p.y / double(atoms.size());
    std::vector<Isometry> candidates{[centre](Position p) { return Position{2 * centre.x - p.x, 2 * centre.y - p.y}; }};
    auto reflection = [centre](double ux, double uy) {
        const double length = std::hypot(ux, uy);
        ux /= length, uy /= length;
        return [centre, ux, uy](Position p) {
            const double dx = p.x - centre.x, dy = p.y - centre.y, along = dx * ux + dy * uy;
            return Position{centre.x + 2 * along * ux - dx, centre.y + 2 * along * uy - dy};
        };
    };
    std::size_t first = 0;
    while (first < atoms.size() && atoms[first].x == centre.x && atoms[first].y == centre.y) ++first;
    if (first == atoms.size()) return candidates;
    const Position q = atoms[first];
    candidates.push_back(reflection(q.x - centre.x, q.y - centre.y));
    for (std::size_t j = 0; j < atoms.size(); ++j)
        if (j != first) candidates.push_back(reflection(-(atoms[j].y - q.y), atoms[j].x - q.x));
    return candidates;
}

}  // namespace

std::vector<int> find_mirror(const AtomSpace &space, const std::vector<double> &weighted) {
    if (!space.full() || space.atoms() < kLeastMoved) return {};
    std::vector<int> best;
    int fewest_fixed = space.atoms() - kLeastMoved + 1;
    for (const Isometry &mirror : candidate_mirrors(space.positions())) {
        const std::vector<int> image = permutation_under(space.positions(), mirror, 1e-6 * space.closest_distance());
        if (image.empty()) continue;
        int fixed = 0;
        bool involution = true;
        for (int k = 0; k < space.atoms(); ++k) fixed += image[k] == k, involution &= image[image[k]] == k;
        if (involution && fixed < fewest_fixed && keeps_hamiltonian(space, weighted, image)) {
            best = image;
            fewest_fixed = fixed;
        }
    }
    return best;
}

std::size_t MirrorSector::dim_of(const std::vector<int> &image) {
    int fixed = 0;
    for (std::size_t k = 0; k < image.size(); ++k) fixed += image[k] == int(k);
    const int pairs = (int(image.size()) - fixed) / 2, side_bits = side_bits_for(pairs);
    const std::size_t grid = std::size_t(1) << (pairs - side_bits);
    return (std::size_t(1) << fixed) * (grid * (grid + 1) / 2) << (2 * side_bits);
}

MirrorSector::MirrorSector(const AtomSpace &space, const std::vector<double> &weighted, const std::vector<int> &image) {
    const int n = space.atoms();
    std::vector<int> left, right, fixed;
    for (int k = 0; k < n; ++k) {
        if (image[k] == k)
            fixed.push_back(k);
        else if (image[k] > k)
            left.push_back(k), right.push_back(image[k]);
    }
    const int pairs = int(left.size());
    fixed_ = int(fixed.size());
    side_bits_ = side_bits_for(pairs);
    side_ = std::size_t(1) << side_bits_;
    grid_ = std::size_t(1) << (pairs - side_bits_);
    blocks_per_copy_ = grid_ * (grid_ + 1) / 2;
    block_size_ = side_ * side_;
    dim_ = (std::size_t(1) << fixed_) * blocks_per_copy_ * block_size_;

    // Bit j of a, b or c is atom left[j], right[j] or fixed[j]; atom k is bit n-1-k in full.
    auto bits_of = [n](const std::vector<int> &atoms) {
        std::vector<std::uint64_t> table(std::size_t(1) << atoms.size(), 0);
        for (std::size_t pattern = 1; pattern < table.size(); ++pattern) {
            int low = 0;
            while (!(pattern >> low & 1)) ++low;
            table[pattern] = table[pattern & (pattern - 1)] | std::uint64_t(1) << (n - 1 - atoms[low]);
        }
        return table;
    };
    left_bits_ = bits_of(left);
    right_bits_ = bits_of(right);
    fixed_bits_ = bits_of(fixed);
    for (std::size_t row = 0; row < grid_; ++row)
        for (std::size_t column = row; column < grid_; ++column) blocks_.emplace_back(row, column);

    interaction_.resize(dim_);
    excitations_.resize(dim_);
    if (!weighted.empty()) weighted_.resize(dim_);
    for (std::size_t i = 0; i < dim_; ++i) {
        const Place p = place(i);
        const std::uint64_t full =
            full_index(p.copy, p.row_block * side_ + p.row, p.column_block * side_ + p.column);
        interaction_[i] = space.interaction()[full];
        excitations_[i] = space.excitations()[full];
        if (!weighted.empty()) weighted_[i] = weighted[full];
    }
}

MirrorSector::Place MirrorSector::place(std::size_t i) const {
    const std::size_t per_copy = blocks_per_copy_ * block_size_, within = i % per_copy;
    const auto &[row_block, column_block] = blocks_[within / block_size_];
    const std::size_t element = within % block_size_;
    return {i / per_copy, row_block, column_block, element >> side_bits_, element & (side_ - 1)};
}

void MirrorSector::unfold(const cplx *sector, cplx *full) const {
    const double off_diagonal = 1.0 / kSqrt2;
    for_range(dim_, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            const Place p = place(i);
            const std::size_t a = p.row_block * side_ + p.row, b = p.column_block * side_ + p.column;
            if (p.row_block == p.column_block) {
                full[full_index(p.copy, a, b)] = sector[i];
            } else {
                full[full_index(p.copy, a, b)] = full[full_index(p.copy, b, a)] = off_diagonal * sector[i];
            }
        }
    });
}

// The product on one stored block, as SchrodingerSystem::apply on the full space: each group of
// four amplitudes sums its partners in registers. A partner block below the diagonal is read
// from its stored mirror image, transposed. Partners on the other side of the diagonal are
// summed first and scaled by the ratio of the two blocks' factors (one ratio per block). A block
// on the diagonal computes the amplitudes on and above the diagonal and copies them below.
// Returns the block's share of the measured value.
template <class Finish>
double MirrorSector::block_product(std::size_t block, const double *y, const Finish &finish) const {
    const std::size_t copy = block / blocks_per_copy_;
    const auto [row_block, column_block] = blocks_[block % blocks_per_copy_];
    const bool diagonal = row_block == column_block;
    const std::size_t base = block * block_size_;

    // Partner blocks, scaled or not, by direction (up: the partner is the raised state). One
    // below the diagonal is transposed from its stored mirror image into `flipped` first: read
    // in place, each group's four amplitudes would come from four cache lines.
    Streams direct, scaled_direct;
    double flipped[kMaxFlipped][2 * kMaxBlockSize];
    int flips = 0;
    auto add_partner = [&](std::size_t partner_copy, std::size_t row, std::size_t column, bool down) {
        const bool flip = row > column;
        if (flip) std::swap(row, column);
        const bool scaled = diagonal != (row == column);
        const double *start = y + 2 * (partner_copy * blocks_per_copy_ + block_id(row, column)) * block_size_;
        if (flip) {
            double *transposed = flipped[flips++];
            for (std::size_t r = 0; r < side_; ++r)
                for (std::size_t c = 0; c < side_; ++c) {
                    transposed[2 * (r * side_ + c)] = start[2 * (c * side_ + r)];
                    transposed[2 * (r * side_ + c) + 1] = start[2 * (c * side_ + r) + 1];
                }
            start = transposed;
        }
        (scaled ? scaled_direct : direct).add(start, down);
    };
    for (std::size_t m = 1; m < grid_; m <<= 1) {
        add_partner(copy, row_block ^ m, column_block, row_block & m);
        add_partner(copy, row_block, column_block ^ m, column_block & m);
    }
    for (std::size_t m = 1; m < (std::size_t(1) << fixed_); m <<= 1)
        add_partner(copy ^ m, row_block, column_block, copy & m);
    // A block above the diagonal holds sqrt(2) psi, one on it psi.
    const double ratio = diagonal ? 1.0 / kSqrt2 : kSqrt2;
    const bool any_scaled = !scaled_direct.empty();

    const double *here = y + 2 * base;
    double total = 0.0;
    for (std::size_t row = 0; row < side_; ++row)
        for (std::size_t column = diagonal ? row & ~(kGroup - 1) : 0; column < side_; column += kGroup) {
            const std::size_t offset = 2 * (row * side_ + column);
            double up[2 * kGroup] = {}, down[2 * kGroup] = {};
            if (any_scaled) {
                scaled_direct.add_to(up, down, offset);
                for (std::size_t q = 0; q < 2 * kGroup; ++q) up[q] *= ratio, down[q] *= ratio;
            }
            direct.add_to(up, down, offset);
            for (std::size_t m = 1; m < side_; m <<= 1)
                add_group((row & m) ? down : up, here + 2 * ((row ^ m) * side_ + column));
            for (std::size_t m = kGroup; m < side_; m <<= 1)
                add_group((column & m) ? down : up, here + 2 * (row * side_ + (column ^ m)));
            add_in_group(up, down, here + offset);
            for (std::size_t q = 0; q < kGroup; ++q) {
                if (diagonal && column + q < row) continue;
                const double share = finish(base + row * side_ + column + q, up + 2 * q, down + 2 * q);
                total += diagonal && column + q > row ? 2 * share : share;
            }
        }
    if (diagonal) {
        double *out = finish.out + 2 * base;
        for (std::size_t row = 1; row < side_; ++row)
            for (std::size_t column = 0; column < row; ++column) {
                out[2 * (row * side_ + column)] = out[2 * (column * side_ + row)];
                out[2 * (row * side_ + column) + 1] = out[2 * (column * side_ + row) + 1];
            }
    }
    return total;
}

double MirrorSector::apply_lab_measured(const cplx *y_c, double scale, cplx *out_c, const Coefficients &c) {
    // H's diagonal once per set of detunings (a Lanczos exponential's every product), by the
    // expression StateOutput would evaluate per product.
    if (diagonal_.empty() || c.detuning != diagonal_detuning_ || c.local != diagonal_local_) {
        diagonal_.resize(dim_);
        diagonal_detuning_ = c.detuning;
        diagonal_local_ = c.local;
        for_range(dim_, [&](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i) {
                double d = 1.0 * interaction_[i] - c.detuning * excitations_[i];
                if (!weighted_.empty()) d -= c.local * weighted_[i];
                diagonal_[i] = d;
            }
        });
    }
    const double *y = reinterpret_cast<const double *>(y_c);
    const StateOutput finish{y,
                             interaction_.data(),
                             excitations_.data(),
                             weighted_.empty() ? nullptr : weighted_.data(),
                             nullptr,
                             diagonal_.data(),
                             reinterpret_cast<double *>(out_c),
                             c.coupling.real(),
                             c.coupling.imag(),
                             1.0,
                             c.detuning,
                             c.local,
                             0.0,
                             scale,
                             true};
    // One sum per stored block, added in order: the same for any number of threads.
    const std::size_t blocks = dim_ / block_size_;
    std::vector<double> partial(blocks);
    runtime::parallel_for(blocks, kBlocksPerThread, [&](std::size_t first, std::size_t last) {
        for (std::size_t b = first; b < last; ++b) partial[b] = block_product(b, y, finish);
    });
    double total = 0.0;
    for (double p : partial) total += p;
    return scale * total;
}

}  // namespace analog
