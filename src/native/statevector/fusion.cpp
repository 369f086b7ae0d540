#include "fusion.hpp"

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

struct Pending {
    std::vector<int> targets;
    Matrix matrix;
    bool dense = false;  // a dense two-qubit gate, which one-qubit gates may be folded into
};

class Fuser {
public:
    explicit Fuser(int n) : n_(n), held_(n), last_touch_(n, -1) {}

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
        } else {
            for (int q : t) flush(q);
            emit({t, gate.matrix()});
        }
    }

    std::vector<PreparedGate> finish() {
        for (int q = 0; q < n_; ++q) flush(q);
        std::vector<PreparedGate> gates;
        gates.reserve(out_.size());
        for (Pending &p : out_) gates.emplace_back(n_, std::move(p.targets), std::move(p.matrix));
        return gates;
    }

private:
    // Folding one-qubit gates into a diagonal or controlled gate would make it a dense 4x4
    // gate, which costs about two one-qubit passes of arithmetic: no gain unless the state is
    // far beyond the caches. Such gates are kept as they are.
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

    // Applies the held gate of q: folded into the last two-qubit gate on q (nothing after it
    // touches q, so it commutes there), or as a gate of its own.
    void flush(int q) {
        if (!held_[q]) return;
        Matrix h = take(q);
        const int last = last_touch_[q];
        if (last >= 0 && out_[last].targets.size() == 2 && out_[last].dense) {
            Pending &p = out_[last];
            p.matrix = multiply(p.targets[0] == q ? kron(h, kIdentity2) : kron(kIdentity2, h), p.matrix, 4);
        } else {
            emit({{q}, std::move(h)});
        }
    }

    int n_;
    std::vector<std::optional<Matrix>> held_;
    std::vector<int> last_touch_;
    std::vector<Pending> out_;
};

}  // namespace

std::vector<PreparedGate> fuse(int n_qubits, const std::vector<const PreparedGate *> &gates) {
    Fuser fuser(n_qubits);
    for (const PreparedGate *g : gates) fuser.add(*g);
    return fuser.finish();
}

}  // namespace statevector
