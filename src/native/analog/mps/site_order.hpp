// The order of atoms along the tensor chain: a snake through rows, so that atoms that interact
// strongly sit close together in the chain and the bonds cut few strong interactions.
#pragma once

#include <vector>

#include "../space.hpp"

namespace analog::mps {

// chain[i] = the atom (caller's index) at chain position i. Atoms are grouped into rows of
// nearly equal coordinate (within half the closest distance of the row's first atom), rows
// taken in increasing coordinate and each row run in the direction opposite to the previous.
// Rows run along x or along y, whichever gives the shorter rows (fewer atoms cut by a bond).
std::vector<int> snake_order(const std::vector<Position> &atoms);

}  // namespace analog::mps
