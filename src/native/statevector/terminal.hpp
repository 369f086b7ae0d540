// Measurements that end a path of a circuit, drawn without collapsing states.
//
// When nothing but measurements follows a point of a circuit, each shot's outcomes there depend
// only on the state at that point and on the shot's draws. Measuring one after the other turns
// the measured qubits into their basis, collapses the state onto the outcomes so far, turns them
// back, and draws the next measurement's index from the cumulative distribution of that state,
// searched in index order. Each draw can be made on tables built once instead:
//
// - The collapsed state's distribution is the original one restricted to the indices that agree
//   with the outcomes so far. With the already measured qubits laid out as the most significant
//   bits (in measurement order) and the others after them in their own order, those indices form
//   one contiguous block of a permuted cumulative table, and the draw searches inside it.
// - A qubit measured in X or Y is turned back into an equal superposition after its collapse,
//   so in later draws it halves the mass of every set of indices it splits: the search walks
//   the index bits from the most significant, halving at such a qubit and searching the table
//   for the unmeasured qubits in between. A qubit measured again in the same basis keeps its
//   outcome (its basis change undoes the rotation back).
// - A table has the basis change of every qubit measured so far applied, and of the current
//   measurement's qubits; those of qubits measured later are left out where the search still
//   reads them (above the last newly measured qubit), as the measurement in turn sees them
//   unrotated. Elsewhere they change nothing the search reads, so steps share tables.
//
// Consecutive measurements whose new qubits are the most significant of the unmeasured ones share
// a layout (measuring qubits in order needs one table); each shot then costs a few binary searches
// instead of state copies. A qubit measured in two bases, or listed twice in one basis-changed
// measurement, is left to measuring in turn.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "gate.hpp"
#include "memory.hpp"
#include "shots.hpp"

namespace statevector {

class TerminalMeasurements {
public:
    // The measurements in order. Returns null when they are not drawn this way (see above) or
    // when the tables would take more than `budget` bytes.
    static std::unique_ptr<TerminalMeasurements> plan(int n_qubits, const std::vector<const MeasureOp *> &measurements,
                                                      std::uint64_t budget);

    // Builds the tables from the state at the first measurement. Returns false when a table's
    // outcome probabilities are undefined (zero or non-finite norm); the tables are then unusable.
    bool prepare(const cplx *psi);

    // `shots` shots, each from its draws_per_shot() variates in `uniforms` (one per
    // measurement, in order; shot after shot). keys[k]: the index bits of every qubit shot k
    // measured (the others zero).
    void draw(const double *uniforms, std::size_t shots, std::uint64_t *keys) const;

    // Uniform variates one shot draws: one per measurement.
    std::size_t draws_per_shot() const { return steps_.size(); }

    std::uint64_t bytes() const;

private:
    // A stretch of the index bits a draw walks, most significant first.
    struct Stretch {
        int halvings;   // qubits measured earlier in X or Y
        int free_bits;  // then unmeasured qubits, resolved by one search
    };
    struct Step {
        std::vector<int> new_qubits;   // measured here for the first time, most significant first
        std::vector<int> layout_bits;  // where each sits in the layout's index
        std::size_t layout = 0;
        std::vector<Stretch> walk;     // down to the last new qubit; empty when there is none
    };
    struct Layout {
        std::vector<int> order;     // qubits from the most significant bit of the table's index
        std::uint64_t rotated = 0;  // qubits (bit q) turned into their measurement basis
        Distribution cdf;
    };

    // One step of one shot drawn with variate u, `free_bits` qubits still unmeasured and the
    // outcomes so far `prefix`: the first index of the table block it lands in.
    static std::uint64_t locate(const Step &step, const Distribution &cdf, int free_bits, std::uint64_t prefix,
                                double u);

    int n_qubits_ = 0;
    std::vector<Step> steps_;
    std::vector<Layout> layouts_;
    std::vector<std::vector<const PreparedGate *>> into_basis_;  // per qubit, its basis change
};

}  // namespace statevector
