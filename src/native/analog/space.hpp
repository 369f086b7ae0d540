// The state space of a register's atoms and the time-independent parts of its Hamiltonian.
//
// Atom k (the k-th filled site) is bit n-1-k of a basis index: the first atom is the most
// significant bit, 0 its ground state and 1 its Rydberg state. Without a blockade radius the
// space holds all 2^n states in index order; with one it holds, in ascending index order,
// only the states with no two Rydberg atoms closer than the radius.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <vector>

namespace analog {

struct Position {
    double x, y;
};

// A space too large for this machine's memory, detected before its arrays are allocated.
class SpaceTooLarge : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Work vectors of one amplitude each that an evolution may hold at once (integrator stages,
// the state, frame phases and hopping sums): the unit of the memory estimate.
constexpr std::uint64_t kWorkVectors = 18;

// Checks a register before anything is built from it: c6 positive and finite, the blockade
// radius finite and >= 0 (metres), every position finite (metres) and no two atoms at one
// place. Returns the distance of the two closest atoms (infinite with fewer than two);
// std::invalid_argument otherwise, naming the atoms in filled-site order.
double check_register(const std::vector<Position> &atoms, double c6, double blockade_radius);

class AtomSpace {
public:
    // Positions in metres, c6 in rad m^6/s. Throws std::invalid_argument for positions that
    // are not finite, coincident atoms or bad constants, and SpaceTooLarge when the evolution
    // would not fit in the memory available.
    AtomSpace(std::vector<Position> atoms, double c6, double blockade_radius);

    int atoms() const { return n_; }
    const std::vector<Position> &positions() const { return positions_; }
    double blockade_radius() const { return blockade_radius_; }
    std::size_t dim() const { return dim_; }
    double c6() const { return c6_; }
    // The distance of the two closest atoms (infinite with fewer than two atoms).
    double closest_distance() const { return closest_distance_; }
    // The largest van der Waals energy of a basis state, and of two atoms that may both be
    // Rydberg atoms (rad/s).
    double max_interaction() const { return max_interaction_; }
    double strongest_pair() const { return strongest_pair_; }
    bool full() const { return basis_.empty(); }
    // Basis index i as a bit pattern (first atom most significant).
    std::uint64_t state(std::size_t i) const { return basis_.empty() ? std::uint64_t(i) : basis_[i]; }
    // The basis index of bit pattern `pattern`, which must be a state of the space.
    std::size_t index_of(std::uint64_t pattern) const;

    // Per basis state: the van der Waals energy of its Rydberg pairs and its Rydberg count.
    const std::vector<double> &interaction() const { return interaction_; }
    const std::vector<double> &excitations() const { return excitations_; }
    // Per basis state: the sum of `weights[k]` over its Rydberg atoms k.
    std::vector<double> weighted_excitations(const std::vector<double> &weights) const;

    // Subspaces only, as compressed rows: the states reached from state i by exciting one
    // more atom (raise) or de-exciting one (lower), at [offsets[i], offsets[i + 1]).
    const std::vector<std::uint32_t> &raise_offsets() const { return raise_offsets_; }
    const std::vector<std::uint32_t> &raise_targets() const { return raise_targets_; }
    const std::vector<std::uint32_t> &lower_offsets() const { return lower_offsets_; }
    const std::vector<std::uint32_t> &lower_targets() const { return lower_targets_; }

private:
    void build_full(const std::vector<std::vector<double>> &pair_energy);
    void build_subspace(const std::vector<std::vector<double>> &pair_energy,
                        const std::vector<std::uint64_t> &conflicts);
    void build_hopping(const std::vector<std::uint64_t> &conflicts);

    int n_ = 0;
    std::vector<Position> positions_;
    std::size_t dim_ = 1;
    double c6_, blockade_radius_, closest_distance_, max_interaction_ = 0.0, strongest_pair_ = 0.0;
    std::vector<std::uint64_t> basis_;
    std::vector<double> interaction_, excitations_;
    std::vector<std::uint32_t> raise_offsets_, raise_targets_, lower_offsets_, lower_targets_;
};

// Bytes an evolution on a space of `dim` states of n atoms needs (state vectors and tables).
std::uint64_t evolution_bytes(std::uint64_t dim, int n_atoms, bool subspace);

// Throws SpaceTooLarge unless `vectors` work vectors on `space` fit in the memory available now
// (its tables are already held).
void check_work_vectors_fit(const AtomSpace &space, std::uint64_t vectors = kWorkVectors);

}  // namespace analog
