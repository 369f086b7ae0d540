"""Max-cut of a random 3-regular graph with QAOA (p = 2), optimised by VQE with Adam.

Prints one line per optimiser iteration, then the final cost, the best cut found by sampling
the optimised circuit and its weight against the brute-force optimum.

The gradient is central differences with a step wide enough to rise above shot noise. The
parameter-shift rule does not apply here: every QAOA angle drives many gates, as 2*w*gamma and
2*beta, so the cost repeats with period pi in each angle and the shifts +-pi/2 see equal values.
"""

import itertools

import numpy as np

from norvane.quantum.optimizer.gradient import FiniteDiffGradient
from norvane.quantum.optimizer.qaoa import QAOAAnsatz
from norvane.quantum.optimizer.vqe import VQE
from norvane.quantum.simulator.digital.dense_sim import DigitalDenseSimulator

VERTICES, LAYERS, SHOTS, ITERATIONS, SEED = 10, 2, 1024, 60, 2


def random_regular_graph(n, degree, rng):
    """A simple `degree`-regular graph on n vertices: random pairings of vertex stubs until one
    has no loop and no repeated edge."""
    while True:
        stubs = rng.permutation(np.repeat(np.arange(n), degree))
        pairs = {tuple(sorted(map(int, p))) for p in stubs.reshape(-1, 2)}
        if len(pairs) == n * degree // 2 and all(i != j for i, j in pairs):
            return sorted(pairs)


def to_outcome_order(observable, n):
    """The QAOA observables put qubit k at bit k of the basis index (least significant first);
    VQE reads an outcome bitstring with qubit 0 most significant. Reverse the bit order."""
    return observable.reshape((2,) * n).transpose().ravel()


def cut_weight(edges, bitstring):
    return sum(w for i, j, w in edges if bitstring[i] != bitstring[j])


class ReportingVQE(VQE):
    """VQE that prints the cost of every point the optimiser moves to: the loops evaluate the
    cost once per iteration outside the gradient, and only those evaluations are reported."""

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.iteration = 0
        self.in_gradient = False

    def gradient(self, x, shots=None):
        self.in_gradient = True
        try:
            return super().gradient(x, shots)
        finally:
            self.in_gradient = False

    def cost(self, x, shots=None):
        value = super().cost(x, shots)
        if not self.in_gradient:
            angles = " ".join(f"{a:+.3f}" for a in x)
            print(f"iteration {self.iteration:3d}  cost {value:+8.4f}  angles {angles}", flush=True)
            self.iteration += 1
        return value


def main():
    rng = np.random.default_rng(SEED)
    edges = [(i, j, 1.0) for i, j in random_regular_graph(VERTICES, 3, rng)]
    print(f"graph: {VERTICES} vertices, 3-regular, edges {[(i, j) for i, j, _ in edges]}")

    ansatz = QAOAAnsatz(VERTICES, edges, p=LAYERS)
    spec = ansatz.param_map()
    observable = to_outcome_order(ansatz.max_cut_observable(), VERTICES)
    driver = ReportingVQE(ansatz.build(), spec, observable, shots=SHOTS,
                          gradient=FiniteDiffGradient(eps=0.1, method="central"), optimizer="adam")
    print(f"{ansatz}; parameters {spec.names}; {SHOTS} shots per evaluation")

    result = driver.run(spec.random(SEED), max_iter=ITERATIONS, lr=0.05)
    print(result, f"({result.n_evaluations} cost evaluations: {result.message})")
    print(f"final cost {result.optimal_value:+.4f} (the expected cut weight is its negative)")

    bindings = spec.bind(result.optimal_params)
    samples = DigitalDenseSimulator(ansatz.build().circuit, seed=SEED).run(4 * SHOTS, **bindings)
    best = max(samples.counts, key=lambda b: cut_weight(edges, b))
    optimum = max(cut_weight(edges, bits) for bits in itertools.product((0, 1), repeat=VERTICES))
    share = sum(c for b, c in samples.counts.items() if cut_weight(edges, b) == optimum) / samples.shots
    print(f"best cut found: {best} (vertex q on side bit q), weight {cut_weight(edges, best):g}")
    print(f"brute-force optimum: weight {optimum:g}; {share:.1%} of {samples.shots} samples reach it; "
          f"expected cut / optimum = {-result.optimal_value / optimum:.3f}")


if __name__ == "__main__":
    main()
