// Measurements that end a path of a circuit, drawn without collapsing states.
//
// When nothing but Z-basis measurements follows a point of a circuit, each shot's outcomes there
// depend only on the state at that point and on the shot's draws. Measuring one after the other
// collapses the state onto the outcomes so far and draws the next measurement's index from the
// cumulative distribution of the collapsed state, searched in index order. The collapsed state's
// distribution is the original one restricted to the indices that agree with the outcomes so far,
// so the search can run on the original distribution instead: with the already measured qubits
// laid out as the most significant bits (in measurement order) and the others after them in
// their own order, those indices form one contiguous block of a permuted cumulative table, and
// the draw is a binary search inside that block. Consecutive measurements whose new qubits are
// the most significant of the unmeasured ones share a layout (measuring qubits in order needs
// one table); each shot then costs a few binary searches instead of state copies.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "gate.hpp"

namespace statevector {

class TerminalMeasurements {
public:
    // The measured qubits of each measurement in order. Returns null when the tables would take
    // more than `budget` bytes.
    static std::unique_ptr<TerminalMeasurements> plan(int n_qubits, const std::vector<std::vector<int>> &measured,
                                                      std::uint64_t budget);

    // Builds the tables from the state at the first measurement. Returns false, building
    // nothing, when the state's outcome probabilities are undefined (zero or non-finite norm).
    bool prepare(const cplx *psi);

    // One shot: one uniform variate per measurement, in order. Returns the index bits of every
    // measured qubit (the others zero).
    std::uint64_t draw(const std::function<double()> &uniform) const;

    std::uint64_t bytes() const;

private:
    struct Step {
        std::vector<int> new_qubits;   // measured here for the first time, most significant first
        std::vector<int> layout_bits;  // where each sits in the layout's index
        std::size_t layout;
    };
    struct Layout {
        std::vector<int> order;  // qubits from the most significant bit of the table's index
        std::vector<double> cdf;
    };

    int n_qubits_ = 0;
    std::vector<Step> steps_;
    std::vector<Layout> layouts_;
};

}  // namespace statevector
