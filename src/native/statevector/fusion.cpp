#include "fusion.hpp"

#include <algorithm>
#include <optional>

namespace statevector {

namespace {

using Matrix = std::vector<cplx>;

// Row-major product a * b of two dim x dim matrices.
Matrix multiply(const Matrix &a, const Matrix &b, std::size_t dim) {
    Matrix out(dim * dim, cplx(0.0, 0.0));
    for (std::size_t r = 0; r < dim; ++r)
        for (std::size_t k = 0; k < dim; ++k)
            for (std::size_t c = 0; c < dim; ++c) out[r * dim + c] += a[r * dim + k] * b[k * dim + c];
    return out;
}

Matrix kron(const Matrix &a, const Matrix &b) {
    Matrix out(16);
    for (std::size_t r = 0; r < 4; ++r)
        for (std::size_t c = 0; c < 4; ++c) out[r * 4 + c] = a[(r >> 1) * 2 + (c >> 1)] * b[(r & 1) * 2 + (c & 1)];
    return out;
}

const Matrix kIdentity2 = {1.0, 0.0, 0.0, 1.0};

// A two-qubit matrix with its targets listed the other way round.
Matrix swap_targets(const Matrix &m) {
    auto flip = [](std::size_t i) { return ((i & 1) << 1) | (i >> 1); };
    Matrix out(16);
    for (std::size_t r = 0; r < 4; ++r)
        for (std::size_t c = 0; c < 4; ++c) out[flip(r) * 4 + flip(c)] = m[r * 4 + c];
    return out;
}

// Diagonal gates on up to this many qubits in all are merged into one pass.
constexpr std::size_t kDiagonalBlockQubits = 6;

struct Pending {
    std::vector<int> targets;
    Matrix matrix;            // for a diagonal block: its diagonal only
    bool dense = false;       // a dense two-qubit gate, which one-qubit gates may be folded into
    bool diagonal = false;    // a block of merged diagonal gates, open while it is the last gate
    bool multiplexed = false; // block diagonal in its first target: gates on its second may join
};

// The entry of a diagonal over `targets` (first most significant) at the basis state in which
// each qubit q of `values_of` has the bit values_of(q).
template <class Bit> std::size_t sub_index(const std::vector<int> &targets, const Bit &value_of) {
    std::size_t index = 0;
    for (int q : targets) index = (index << 1) | value_of(q);
    return index;
}

class Fuser {
public:
    Fuser(int n, int first_local, int max_high)
        : n_(n), first_local_(first_local), max_high_(max_high), held_(n), last_touch_(n, -1) {}

    void add(const PreparedGate &gate) {
        const std::vector<int> &t = gate.targets();
        if (t.size() == 1) {
            std::optional<Matrix> &h = held_[t[0]];
            h = h ? multiply(gate.matrix(), *h, 2) : gate.matrix();
        } else if (t.size() == 2 && is_dense(gate)) {
            Matrix m = multiply(gate.matrix(), kron(take(t[0]), take(t[1])), 4);
            if (!out_.empty() && out_.back().dense && same_pair(out_.back().targets, t)) {
                Pending &last = out_.back();
                last.matrix = multiply(last.targets == t ? m : swap_targets(m), last.matrix, 4);
            } else {
                emit({t, std::move(m), true});
            }
        } else if (is_cz(gate) && (holds_dense(t[0]) || holds_dense(t[1]))) {
            // Symmetric: either qubit may be the target that joins its held gate.
            add_multiplexed(holds_dense(t[1]) ? t : std::vector<int>{t[1], t[0]}, gate.matrix());
        } else if (t.size() >= 2 && gate.is_diagonal()) {
            add_diagonal(gate);
        } else if (t.size() == 2 && gate.n_controls() == 1) {
            add_multiplexed(t, gate.matrix());
        } else {
            // A diagonal gate held on a control commutes with the gate and stays held.
            for (std::size_t j = 0; j < t.size(); ++j)
                if (int(j) >= gate.n_controls() || !holds_diagonal(t[j])) flush(t[j]);
            emit({t, gate.matrix()});
        }
    }

    // A controlled gate on (control, target): the gate held on the target joins it (a
    // multiplexed gate: still one 2x2 matrix per amplitude pair, so the same arithmetic as the
    // held gate's pass alone).
    void add_multiplexed(const std::vector<int> &t, Matrix m) {
        if (held_[t[1]]) m = multiply(m, kron(kIdentity2, take(t[1])), 4);
        if (!holds_diagonal(t[0])) flush(t[0]);
        emit({t, std::move(m), false, false, true});
    }

    std::vector<PreparedGate> finish() {
        for (int q = 0; q < n_; ++q) flush(q);
        std::vector<PreparedGate> gates;
        gates.reserve(out_.size());
        for (Pending &p : out_) {
            if (p.diagonal) p.matrix = diagonal_matrix(p.matrix);
            gates.emplace_back(n_, std::move(p.targets), std::move(p.matrix));
        }
        return gates;
    }

private:
    // Diagonal gates commute with each other and with every gate on other qubits, so a run of
    // them, with the one-qubit gates held on other qubits moved before it, becomes one pass.
    void add_diagonal(const PreparedGate &gate) {
        const std::vector<int> &t = gate.targets();
        const std::size_t dim = std::size_t(1) << t.size();
        Matrix d(dim);
        for (std::size_t r = 0; r < dim; ++r) d[r] = gate.matrix()[r * dim + r];
        // A diagonal one-qubit gate held on a target joins the diagonal instead of a pass of its own.
        for (std::size_t j = 0; j < t.size(); ++j) {
            if (!holds_diagonal(t[j])) continue;
            std::optional<Matrix> &h = held_[t[j]];
            for (std::size_t r = 0; r < dim; ++r) d[r] *= (*h)[(r >> (t.size() - 1 - j)) & 1 ? 3 : 0];
            h.reset();
        }
        Pending *block = open_block();
        for (int q : t) {
            if (block && !std::count(block->targets.begin(), block->targets.end(), q))
                flush_before_block(q);
            else
                flush(q);
            block = open_block();
        }
        std::vector<int> merged = block ? block->targets : std::vector<int>();
        for (int q : t)
            if (!std::count(merged.begin(), merged.end(), q)) merged.push_back(q);
        const auto high = std::count_if(merged.begin(), merged.end(), [&](int q) { return q < first_local_; });
        if (!block || merged.size() > kDiagonalBlockQubits || high > max_high_ || local(t) != local(block->targets)) {
            emit({t, std::move(d), false, true});
            return;
        }
        Matrix product(std::size_t(1) << merged.size());
        for (std::size_t i = 0; i < product.size(); ++i) {
            auto bit = [&](int q) {
                const std::size_t at = std::size_t(std::find(merged.begin(), merged.end(), q) - merged.begin());
                return (i >> (merged.size() - 1 - at)) & 1;
            };
            product[i] = d[sub_index(t, bit)] * block->matrix[sub_index(block->targets, bit)];
        }
        block->targets = std::move(merged);
        block->matrix = std::move(product);
        for (int q : t) last_touch_[q] = int(out_.size()) - 1;
    }

    bool local(const std::vector<int> &targets) const {
        return std::all_of(targets.begin(), targets.end(), [&](int q) { return q >= first_local_; });
    }

    Pending *open_block() { return !out_.empty() && out_.back().diagonal ? &out_.back() : nullptr; }

    // Flushes the held gate of q, which the open diagonal block does not touch, to just before
    // that block (where it commutes), keeping the block open.
    void flush_before_block(int q) {
        if (!held_[q]) return;
        if (foldable(q)) {
            flush(q);
            return;
        }
        Pending block = std::move(out_.back());
        out_.pop_back();
        emit({{q}, take(q)});
        emit(std::move(block));
    }

    static Matrix diagonal_matrix(const Matrix &d) {
        Matrix m(d.size() * d.size(), cplx(0.0, 0.0));
        for (std::size_t r = 0; r < d.size(); ++r) m[r * d.size() + r] = d[r];
        return m;
    }

    bool holds_diagonal(int q) const { return held_[q] && (*held_[q])[1] == 0.0 && (*held_[q])[2] == 0.0; }
    bool holds_dense(int q) const { return held_[q] && !holds_diagonal(q); }

    // CZ: its real +-1 diagonal keeps the form (real, or real diagonal) of a gate that joins it.
    // Other diagonal gates stay in merged diagonal passes, which a joined gate would break up.
    static bool is_cz(const PreparedGate &gate) {
        const Matrix &m = gate.matrix();
        return gate.targets().size() == 2 && gate.is_diagonal() && m[0] == 1.0 && m[5] == 1.0 && m[10] == 1.0 &&
               m[15] == -1.0;
    }

    // Folding one-qubit gates into a diagonal or controlled gate as a dense 4x4 gate would cost
    // about two one-qubit passes of arithmetic; they join controlled gates and CZ as multiplexed
    // gates instead (add_multiplexed).
    static bool is_dense(const PreparedGate &gate) { return !gate.is_diagonal() && gate.n_controls() == 0; }

    static bool same_pair(const std::vector<int> &a, const std::vector<int> &b) {
        return (a[0] == b[0] && a[1] == b[1]) || (a[0] == b[1] && a[1] == b[0]);
    }

    Matrix take(int q) {
        std::optional<Matrix> h = std::move(held_[q]);
        held_[q].reset();
        return h ? *h : kIdentity2;
    }

    void emit(Pending gate) {
        for (int q : gate.targets) last_touch_[q] = int(out_.size());
        out_.push_back(std::move(gate));
    }

    // Applies the held gate of q: folded into the last gate on q where it can be, or as a gate
    // of its own.
    void flush(int q) {
        if (!held_[q]) return;
        const bool fold = foldable(q);
        Matrix h = take(q);
        if (fold) {
            Pending &p = out_[last_touch_[q]];
            p.matrix = multiply(p.targets[0] == q ? kron(h, kIdentity2) : kron(kIdentity2, h), p.matrix, 4);
        } else {
            emit({{q}, std::move(h)});
        }
    }

    // Whether the gate held on q can be folded into the last gate on q (nothing after it touches
    // q, so they commute there): a dense two-qubit gate, or a multiplexed one that stays
    // multiplexed (q its second target, or its first with a diagonal gate held).
    bool foldable(int q) const {
        const int last = last_touch_[q];
        if (last < 0 || !held_[q]) return false;
        const Pending &p = out_[last];
        return p.dense || (p.multiplexed && (p.targets[1] == q || holds_diagonal(q)));
    }

    int n_, first_local_, max_high_;
    std::vector<std::optional<Matrix>> held_;
    std::vector<int> last_touch_;
    std::vector<Pending> out_;
};

}  // namespace

std::vector<PreparedGate> fuse(int n_qubits, const std::vector<const PreparedGate *> &gates, int first_local,
                               int max_high) {
    Fuser fuser(n_qubits, first_local, max_high);
    for (const PreparedGate *g : gates) fuser.add(*g);
    return fuser.finish();
}

}  // namespace statevector
