"""QAOA max-cut benchmark: one VQE run end to end, norvane against installed peers.

The work, identical for every row: a seeded 3-regular graph on 12 vertices, the QAOA circuit
with p = 2, a sampled max-cut cost of 1,024 shots per evaluation, and 20 Adam iterations with
the parameter-shift gradient (1 + 20 * (2 * 4 + 1) = 181 cost evaluations of fresh circuits).
norvane runs its own VQE driver; each peer supplies the sampled cost of one parameter vector
and shares one NumPy driver (the same shift rule and Adam steps). Peers that are not installed
are skipped. Run from the repository root: `python bench/bench_qaoa.py`; the table goes to
bench/results/qaoa.md.
"""

import datetime
import os
import sys
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path[:0] = [ROOT]

from common import machine  # noqa: E402
from tests.reference.vqe_reference import adam  # noqa: E402

VERTICES, LAYERS, SHOTS, ITERATIONS, SEED, REPEATS = 12, 2, 1024, 20, 5, 3


def regular_graph(n, degree, seed):
    rng = np.random.default_rng(seed)
    while True:
        stubs = rng.permutation(np.repeat(np.arange(n), degree))
        pairs = {tuple(sorted(map(int, p))) for p in stubs.reshape(-1, 2)}
        if len(pairs) == n * degree // 2 and all(i != j for i, j in pairs):
            return [(i, j, 1.0) for i, j in sorted(pairs)]


EDGES = regular_graph(VERTICES, 3, SEED)


def max_cut_diagonal(qubit_zero_first):
    """Negated cut weight of every basis index; qubit 0 most or least significant."""
    index = np.arange(2**VERTICES)
    bit = lambda q: (index >> (VERTICES - 1 - q if qubit_zero_first else q)) & 1
    return -sum(w * (bit(i) != bit(j)) for i, j, w in EDGES).astype(np.float64)


def shift_rule(f, x, shift=np.pi / 2):
    grad = np.zeros(len(x))
    for i in range(len(x)):
        xp, xm = x.copy(), x.copy()
        xp[i] += shift
        xm[i] -= shift
        grad[i] = (f(xp) - f(xm)) / (2 * np.sin(shift))
    return grad


def peer_run(cost):
    """The shared driver: the cost supplied by a peer, the shift rule and Adam."""
    x0 = np.random.default_rng(SEED).uniform(0, 2 * np.pi, 2 * LAYERS)
    evaluations = [0]

    def counted(x):
        evaluations[0] += 1
        return cost(x)

    history, _, _, _ = adam(counted, lambda x: shift_rule(counted, x), x0, ITERATIONS)
    return history[-1][1], evaluations[0]


# ---------------------------------------------------------------- one setup per row

def run_norvane(iterations=ITERATIONS):
    from norvane.quantum.optimizer.qaoa import QAOAAnsatz
    from norvane.quantum.optimizer.vqe import VQE

    ansatz = QAOAAnsatz(VERTICES, EDGES, p=LAYERS)
    spec = ansatz.param_map()
    # The ansatz's observable puts qubit k at bit k; VQE reads outcomes with qubit 0 first.
    observable = ansatz.max_cut_observable().reshape((2,) * VERTICES).transpose().ravel()
    driver = VQE(ansatz.build(), spec, observable, shots=SHOTS, optimizer="adam")
    x0 = np.random.default_rng(SEED).uniform(0, 2 * np.pi, 2 * LAYERS)
    result = driver.run(x0, max_iter=iterations)
    return result.optimal_value, result.n_evaluations


REFERENCE_ITERATIONS = 1


def run_norvane_with_reference_simulator():
    """norvane's driver with the literal NumPy simulator (tests/reference) in every cost
    evaluation, for REFERENCE_ITERATIONS iterations: its time per evaluation is what counts."""
    import types

    from norvane.quantum.simulator.digital.dense_sim import SimulationResult
    from tests.reference.dense_reference import ReferenceSimulator

    class LiteralSimulator(ReferenceSimulator):
        def run(self, shots=1024, **kwargs):
            counts, memory = super().run(shots, **kwargs)
            return SimulationResult(counts, shots, self.circuit.n_qubits, self.circuit.n_cbits, memory)

    name = "norvane.quantum.simulator.digital.dense_sim"
    shim = types.ModuleType(name)
    shim.DigitalDenseSimulator = LiteralSimulator
    saved = sys.modules[name]
    sys.modules[name] = shim  # VQE imports the simulator at every cost evaluation
    try:
        return run_norvane(REFERENCE_ITERATIONS)
    finally:
        sys.modules[name] = saved


def pennylane_cost(device_name):
    import pennylane as qml

    device = qml.device(device_name, wires=VERTICES)

    def circuit(x):
        for q in range(VERTICES):
            qml.Hadamard(q)
        for layer in range(LAYERS):
            for i, j, w in EDGES:
                qml.IsingZZ(2 * w * x[2 * layer], wires=[i, j])
            for q in range(VERTICES):
                qml.RX(2 * x[2 * layer + 1], wires=q)
        return qml.probs(wires=range(VERTICES))  # estimated from the shots; wire 0 first

    qnode = qml.set_shots(qml.QNode(circuit, device, diff_method=None), shots=SHOTS)
    observable = max_cut_diagonal(qubit_zero_first=True)
    return lambda x: float(np.asarray(qnode(x)) @ observable)


def qiskit_aer_cost():
    from qiskit import QuantumCircuit
    from qiskit.circuit import ParameterVector
    from qiskit_aer.primitives import SamplerV2

    angles = ParameterVector("x", 2 * LAYERS)
    circuit = QuantumCircuit(VERTICES)
    circuit.h(range(VERTICES))
    for layer in range(LAYERS):
        for i, j, w in EDGES:
            circuit.rzz(2 * w * angles[2 * layer], i, j)
        circuit.rx(2 * angles[2 * layer + 1], range(VERTICES))
    circuit.measure_all()
    sampler = SamplerV2(default_shots=SHOTS)
    observable = max_cut_diagonal(qubit_zero_first=False)  # the rightmost character is qubit 0

    def cost(x):
        counts = sampler.run([(circuit, x)]).result()[0].data.meas.get_counts()
        return sum(observable[int(bits, 2)] * c for bits, c in counts.items()) / SHOTS

    return cost


ROWS = [
    ("norvane VQE (native driver)", lambda: run_norvane),
    (f"norvane VQE, literal NumPy simulator ({REFERENCE_ITERATIONS} iteration only)",
     lambda: run_norvane_with_reference_simulator),
    ("PennyLane default.qubit", lambda: lambda: peer_run(pennylane_cost("default.qubit"))),
    ("PennyLane lightning.qubit", lambda: lambda: peer_run(pennylane_cost("lightning.qubit"))),
    ("Qiskit Aer SamplerV2", lambda: lambda: peer_run(qiskit_aer_cost())),
]


def measure(make, repeats):
    run = make()
    if repeats > 1:
        run()  # warm-up: imports, compilation, caches
    times, outcome = [], None
    for _ in range(repeats):
        start = time.perf_counter()
        outcome = run()
        times.append(time.perf_counter() - start)
    return min(times), outcome


def main():
    rows = []
    for name, make in ROWS:
        try:
            seconds, (final_cost, evaluations) = measure(make, 1 if "literal" in name else REPEATS)
        except ImportError as error:
            print(f"{name}: skipped ({error})")
            continue
        rows.append((name, seconds, evaluations, final_cost))
        print(f"{name}: {seconds:.3f} s, {evaluations} evaluations", flush=True)
    ours = rows[0][1]
    ours_per_evaluation = ours / rows[0][2]
    header = ["implementation", "seconds (best of 3)", "cost evaluations", "ms per evaluation",
              "time per evaluation / norvane", "final cost"]
    lines = ["| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
    for name, seconds, evaluations, final_cost in rows:
        per_evaluation = seconds / evaluations
        lines.append(f"| {name} | {seconds:.3f} | {evaluations} | {1000 * per_evaluation:.2f} | "
                     f"{per_evaluation / ours_per_evaluation:.2f} | {final_cost:+.3f} |")
    text = "\n".join([
        "# QAOA max-cut, one VQE run end to end",
        "",
        f"{VERTICES} vertices (3-regular, seed {SEED}), p = {LAYERS}, {SHOTS} shots per cost evaluation, "
        f"{ITERATIONS} Adam iterations with the parameter-shift gradient.",
        "",
        f"Machine: {machine()}; "
        f"date {datetime.date.today().isoformat()}.",
        "",
        *lines,
        "",
        "The final costs differ by shot noise only: the shift rule sees the QAOA cost, which repeats with",
        "period pi in every angle, as flat, so every driver takes steps of shot noise.",
        "",
    ])
    print(text)
    with open(os.path.join(HERE, "results", "qaoa.md"), "w") as out:
        out.write(text)


if __name__ == "__main__":
    main()
