#include "space.hpp"

#include <algorithm>
#include <cmath>
#include <sstream>

#include "runtime/memory.hpp"

namespace analog {

namespace {

// Largest register whose full space is considered at all: 2^40 states need terabytes.
constexpr int kMaxFullAtoms = 40;
// Masks are 64-bit words.
constexpr int kMaxAtoms = 63;

// Bytes an evolution may take now; 16 GiB when the platform does not tell.
std::uint64_t memory_limit() {
    std::uint64_t bytes = runtime::memory_budget_bytes();
    return bytes ? bytes : (std::uint64_t(16) << 30);
}

[[noreturn]] void too_large(int n, const char *count_text, std::uint64_t limit) {
    std::ostringstream message;
    message << "a register of " << n << " atoms has " << count_text
            << " basis states; evolving it needs more than the " << (limit >> 20)
            << " MiB of memory available (a blockade radius shrinks the space)";
    throw SpaceTooLarge(message.str());
}

// Depth-first walk over the blockade-free states in ascending index order: atom k is decided
// after atoms 0..k-1, ground before Rydberg. visit(state, energy) gets each complete state.
template <class Visit>
void walk_free_states(int n, const std::vector<std::uint64_t> &conflicts,
                      const std::vector<std::vector<double>> &pair_energy, Visit &&visit) {
    struct Frame {
        int atom;
        std::uint64_t state;
        double energy;
    };
    std::vector<Frame> stack{{0, 0, 0.0}};
    while (!stack.empty()) {
        Frame f = stack.back();
        stack.pop_back();
        if (f.atom == n) {
            if (!visit(f.state, f.energy)) return;
            continue;
        }
        const int bit = n - 1 - f.atom;
        if ((f.state & conflicts[f.atom]) == 0) {  // pushed first, visited second
            double energy = f.energy;
            for (int j = 0; j < f.atom; ++j)
                if (f.state >> (n - 1 - j) & 1) energy += pair_energy[j][f.atom];
            stack.push_back({f.atom + 1, f.state | (std::uint64_t(1) << bit), energy});
        }
        stack.push_back({f.atom + 1, f.state, f.energy});
    }
}

}  // namespace

std::uint64_t evolution_bytes(std::uint64_t dim, int n_atoms, bool subspace) {
    std::uint64_t per_state = 16 * kWorkVectors + 2 * 8 + 8;  // vectors, diagonals, weights
    if (subspace) per_state += 8 + 8 + 4 * std::uint64_t(n_atoms);  // basis, offsets, hopping
    return dim * per_state;
}

void check_work_vectors_fit(const AtomSpace &space, std::uint64_t vectors) {
    const std::uint64_t bytes = std::uint64_t(space.dim()) * 16 * vectors, limit = memory_limit();
    if (bytes <= limit) return;
    std::ostringstream message;
    message << "evolving " << space.dim() << " basis states needs " << (bytes >> 20)
            << " MiB of work vectors, more than the " << (limit >> 20) << " MiB of memory available now";
    throw SpaceTooLarge(message.str());
}

double check_register(const std::vector<Position> &atoms, double c6, double blockade_radius) {
    if (!(std::isfinite(c6) && c6 > 0)) throw std::invalid_argument("c6 must be a positive finite number (rad m^6/s)");
    if (!(std::isfinite(blockade_radius) && blockade_radius >= 0))
        throw std::invalid_argument("blockade_radius must be a finite number of metres >= 0");
    const std::size_t n = atoms.size();
    for (std::size_t k = 0; k < n; ++k)
        if (!(std::isfinite(atoms[k].x) && std::isfinite(atoms[k].y))) {
            std::ostringstream message;
            message << "atom " << k << " (counting filled sites only) is at (" << atoms[k].x << ", " << atoms[k].y
                    << "); positions must be finite numbers of metres";
            throw std::invalid_argument(message.str());
        }
    double closest = HUGE_VAL;
    for (std::size_t j = 0; j < n; ++j)
        for (std::size_t k = j + 1; k < n; ++k) {
            const double r = std::hypot(atoms[j].x - atoms[k].x, atoms[j].y - atoms[k].y);
            if (!(r > 0)) {
                std::ostringstream message;
                message << "filled sites " << j << " and " << k
                        << " (counting filled sites only) are at the same position";
                throw std::invalid_argument(message.str());
            }
            closest = std::min(closest, r);
        }
    return closest;
}

AtomSpace::AtomSpace(std::vector<Position> atoms, double c6, double blockade_radius)
    : n_(int(atoms.size())), positions_(atoms), c6_(c6), blockade_radius_(blockade_radius),
      closest_distance_(check_register(atoms, c6, blockade_radius)) {
    const std::uint64_t limit = memory_limit();
    if (n_ > kMaxAtoms || (blockade_radius == 0 && n_ > kMaxFullAtoms)) too_large(n_, "too many", limit);

    std::vector<std::vector<double>> pair_energy(n_, std::vector<double>(n_, 0.0));
    std::vector<std::uint64_t> conflicts(n_, 0);
    for (int j = 0; j < n_; ++j)
        for (int k = j + 1; k < n_; ++k) {
            double r = std::hypot(atoms[j].x - atoms[k].x, atoms[j].y - atoms[k].y);
            double r3 = r * r * r;
            pair_energy[j][k] = pair_energy[k][j] = c6 / (r3 * r3);
            if (r < blockade_radius) {
                conflicts[j] |= std::uint64_t(1) << (n_ - 1 - k);
                conflicts[k] |= std::uint64_t(1) << (n_ - 1 - j);
            } else {
                strongest_pair_ = std::max(strongest_pair_, pair_energy[j][k]);
            }
        }

    if (blockade_radius == 0) {
        dim_ = std::size_t(1) << n_;
        if (evolution_bytes(dim_, n_, false) > limit) too_large(n_, std::to_string(dim_).c_str(), limit);
        build_full(pair_energy);
    } else {
        build_subspace(pair_energy, conflicts);
        build_hopping(conflicts);
    }
    for (double energy : interaction_) max_interaction_ = std::max(max_interaction_, energy);
}

void AtomSpace::build_full(const std::vector<std::vector<double>> &pair_energy) {
    interaction_.assign(dim_, 0.0);
    excitations_.assign(dim_, 0.0);
    // A state's energy is that of the state without its lowest Rydberg atom plus that atom's
    // pairs with the others.
    for (std::size_t b = 1; b < dim_; ++b) {
        int low = 0;
        while (!(b >> low & 1)) ++low;
        const int atom = n_ - 1 - low;
        std::size_t rest = b & (b - 1);
        double energy = interaction_[rest];
        for (int bit = low + 1; bit < n_; ++bit)
            if (rest >> bit & 1) energy += pair_energy[atom][n_ - 1 - bit];
        interaction_[b] = energy;
        excitations_[b] = excitations_[rest] + 1.0;
    }
}

void AtomSpace::build_subspace(const std::vector<std::vector<double>> &pair_energy,
                               const std::vector<std::uint64_t> &conflicts) {
    // Count first, stopping as soon as the space cannot fit, then allocate once. Hopping
    // tables index states and their entries (at most n per state) with 32 bits.
    const std::uint64_t limit = memory_limit();
    const std::uint64_t cap = std::min(limit / evolution_bytes(1, n_, true),
                                       (std::uint64_t(1) << 32) / std::uint64_t(n_ + 1) - 1);
    std::uint64_t count = 0;
    walk_free_states(n_, conflicts, pair_energy, [&](std::uint64_t, double) { return ++count <= cap; });
    if (count > cap) too_large(n_, ("more than " + std::to_string(cap)).c_str(), limit);
    dim_ = std::size_t(count);
    basis_.reserve(dim_);
    interaction_.reserve(dim_);
    excitations_.reserve(dim_);
    walk_free_states(n_, conflicts, pair_energy, [&](std::uint64_t state, double energy) {
        basis_.push_back(state);
        interaction_.push_back(energy);
        std::uint64_t s = state;
        int ones = 0;
        for (; s; s &= s - 1) ++ones;
        excitations_.push_back(double(ones));
        return true;
    });
}

void AtomSpace::build_hopping(const std::vector<std::uint64_t> &conflicts) {
    // Raising atom k in state s is allowed when k is in its ground state and no Rydberg atom
    // blocks it; the target's index comes from the sorted basis. Lowering is the transpose.
    raise_offsets_.assign(dim_ + 1, 0);
    std::vector<std::uint32_t> lower_counts(dim_, 0);
    for (std::size_t i = 0; i < dim_; ++i) {
        std::uint64_t s = basis_[i];
        std::uint32_t raised = 0;
        for (int k = 0; k < n_; ++k) {
            std::uint64_t m = std::uint64_t(1) << (n_ - 1 - k);
            if (!(s & m) && !(s & conflicts[k])) {
                auto j = std::size_t(std::lower_bound(basis_.begin(), basis_.end(), s | m) - basis_.begin());
                raise_targets_.push_back(std::uint32_t(j));
                ++lower_counts[j];
                ++raised;
            }
        }
        raise_offsets_[i + 1] = raise_offsets_[i] + raised;
    }
    lower_offsets_.assign(dim_ + 1, 0);
    for (std::size_t j = 0; j < dim_; ++j) lower_offsets_[j + 1] = lower_offsets_[j] + lower_counts[j];
    lower_targets_.resize(raise_targets_.size());
    std::vector<std::uint32_t> fill(lower_offsets_.begin(), lower_offsets_.end() - 1);
    for (std::size_t i = 0; i < dim_; ++i)
        for (std::uint32_t e = raise_offsets_[i]; e < raise_offsets_[i + 1]; ++e)
            lower_targets_[fill[raise_targets_[e]]++] = std::uint32_t(i);
}

std::size_t AtomSpace::index_of(std::uint64_t pattern) const {
    if (basis_.empty()) return std::size_t(pattern);
    return std::size_t(std::lower_bound(basis_.begin(), basis_.end(), pattern) - basis_.begin());
}

std::vector<double> AtomSpace::weighted_excitations(const std::vector<double> &weights) const {
    if (weights.size() != std::size_t(n_)) throw std::invalid_argument("one local-detuning weight per atom is needed");
    for (int k = 0; k < n_; ++k)
        if (!std::isfinite(weights[k])) {
            std::ostringstream message;
            message << "the local-detuning weight of atom " << k << " (counting filled sites only) is " << weights[k]
                    << "; weights must be finite numbers";
            throw std::invalid_argument(message.str());
        }
    std::vector<double> result(dim_, 0.0);
    for (std::size_t i = 0; i < dim_; ++i) {
        std::uint64_t s = state(i);
        double sum = 0.0;
        for (int k = 0; k < n_; ++k)
            if (s >> (n_ - 1 - k) & 1) sum += weights[k];
        result[i] = sum;
    }
    return result;
}

}  // namespace analog
