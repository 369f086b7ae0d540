"""Noisy digital benchmark: QAOA max-cut circuits (p = 2 on seeded 3-regular graphs) under
depolarizing noise after every gate (one-qubit channel of 0.001 on each target, two-qubit
channel of 0.01 after every RZZ) with readout errors (p01 0.01, p10 0.03), against Qiskit Aer
and qsimcirq with the same model.

Rows: 1,024 noisy shots on 16 qubits (ours: one trajectory per shot; Aer: its automatic
method; qsimcirq: its trajectories) and the exact density matrix of 10 qubits (ours:
`density_matrix`; Aer: its density-matrix method, readout errors left out since they act on
samples). Shot rows must agree on the expected cut within 5 sigma, density matrices to 1e-9.
cirq writes depolarizing noise as p/3 per Pauli (p/15 per two-qubit Pauli): its p is 3/4
(15/16) of ours. Times: best of 3 after a warm-up, from the circuit (with its parameters bound)
to the result. Results: bench/results/noise.md.
"""

import datetime
import os
import sys
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from bench_qaoa import regular_graph  # noqa: E402
from common import machine  # noqa: E402

from norvane.quantum import noise  # noqa: E402
from norvane.quantum.ir.digital.gate import RZZ  # noqa: E402
from norvane.quantum.optimizer.qaoa import QAOAAnsatz  # noqa: E402
from norvane.quantum.simulator.digital.dense_sim import DigitalDenseSimulator  # noqa: E402

ONE, TWO, P01, P10 = 0.001, 0.01, 0.01, 0.03
SHOTS, LAYERS, SEED = 1024, 2, 5
ANGLES = np.array([0.4, 0.7, 0.8, 0.3])  # gamma_1, beta_1, gamma_2, beta_2
RESULTS = os.path.join(HERE, "results", "noise.md")


def problem(n):
    edges = regular_graph(n, 3, SEED)
    ansatz = QAOAAnsatz(n, edges, p=LAYERS)
    return edges, ansatz.build().circuit, ansatz.param_map().bind(ANGLES)


def our_model(readout=True):
    model = noise.NoiseModel()
    model.add(noise.depolarizing(ONE))
    model.add(noise.depolarizing(TWO, 2), gates=[RZZ])
    if readout:
        model.add_readout(noise.readout_error(P01, P10))
    return model


def expected_cut(edges, counts, qubit_zero_first=True):
    n = len(next(iter(counts)))
    total = 0.0
    for bits, c in counts.items():
        b = bits if qubit_zero_first else bits[::-1]
        total += c * sum(w for i, j, w in edges if b[i] != b[j])
    return total / sum(counts.values())


def ours_shots(n):
    edges, circuit, bindings = problem(n)
    simulator = DigitalDenseSimulator(circuit, seed=1, noise=our_model())
    return lambda: expected_cut(edges, simulator.run(SHOTS, **bindings).counts)


def ours_density(n):
    _, circuit, bindings = problem(n)
    simulator = DigitalDenseSimulator(circuit, noise=our_model(readout=False))
    return lambda: simulator.density_matrix(**bindings)


def qiskit_circuit(n, edges, measure):
    from qiskit import QuantumCircuit

    circuit = QuantumCircuit(n)
    circuit.h(range(n))
    for layer in range(LAYERS):
        for i, j, w in edges:
            circuit.rzz(2 * w * ANGLES[2 * layer], i, j)
        circuit.rx(2 * ANGLES[2 * layer + 1], range(n))
    if measure:
        circuit.measure_all()
    return circuit


def aer_model(readout=True):
    from qiskit_aer.noise import NoiseModel, ReadoutError, depolarizing_error

    model = NoiseModel()
    model.add_all_qubit_quantum_error(depolarizing_error(ONE, 1), ["h", "rx"])
    model.add_all_qubit_quantum_error(depolarizing_error(TWO, 2).compose(
        depolarizing_error(ONE, 1).tensor(depolarizing_error(ONE, 1))), ["rzz"])
    if readout:
        model.add_all_qubit_readout_error(ReadoutError([[1 - P01, P01], [P10, 1 - P10]]))
    return model


def aer_shots(n):
    from qiskit_aer import AerSimulator

    edges, _, _ = problem(n)
    simulator = AerSimulator(noise_model=aer_model(), seed_simulator=1)
    circuit = qiskit_circuit(n, edges, True)
    return lambda: expected_cut(edges, simulator.run(circuit, shots=SHOTS).result().get_counts(),
                                qubit_zero_first=False)


def aer_density(n):
    from qiskit_aer import AerSimulator

    edges, _, _ = problem(n)
    simulator = AerSimulator(method="density_matrix", noise_model=aer_model(readout=False))
    circuit = qiskit_circuit(n, edges, False)
    circuit.save_density_matrix()

    def run():
        rho = np.asarray(simulator.run(circuit).result().data()["density_matrix"])
        # Aer puts qubit 0 at the least significant bit: reverse the qubit order of rows and columns.
        axes = list(range(n - 1, -1, -1)) + list(range(2 * n - 1, n - 1, -1))
        return rho.reshape((2,) * 2 * n).transpose(axes).reshape(2**n, 2**n)

    return run


def qsim_shots(n):
    import cirq
    import qsimcirq

    edges, _, _ = problem(n)
    qubits = cirq.LineQubit.range(n)
    one, two = cirq.depolarize(0.75 * ONE), cirq.depolarize(15 / 16 * TWO, n_qubits=2)
    ops = [[cirq.H(q), one(q)] for q in qubits]
    for layer in range(LAYERS):
        for i, j, w in edges:
            a, b = qubits[i], qubits[j]
            ops.append([cirq.ZZPowGate(exponent=2 * w * ANGLES[2 * layer] / np.pi, global_shift=-0.5)(a, b),
                        two(a, b), one(a), one(b)])
        ops.append([[cirq.rx(2 * ANGLES[2 * layer + 1])(q), one(q)] for q in qubits])
    # Readout errors as bit flips before measurement: p01 and p10 differ, so an asymmetric
    # channel (amplitude-damping-like flips) is needed; cirq has none that matches exactly,
    # so qsimcirq runs without readout errors and its row says so.
    ops.append(cirq.measure(*qubits, key="m"))
    circuit = cirq.Circuit(ops)
    simulator = qsimcirq.QSimSimulator(qsimcirq.QSimOptions(cpu_threads=os.cpu_count()), seed=1)

    def run():
        bits = simulator.run(circuit, repetitions=SHOTS).measurements["m"]
        counts = {}
        for row in bits:
            key = "".join(map(str, row))
            counts[key] = counts.get(key, 0) + 1
        return expected_cut(edges, counts)

    return run


def best(make, repeats=3):
    run = make()
    value = run()  # warm-up
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        value = run()
        times.append(time.perf_counter() - start)
    return min(times), value


def main():
    lines = []
    n = 16
    ours_time, ours_cut = best(lambda: ours_shots(n))
    sigma = 5 * np.sqrt(2) * 1.5 * np.sqrt(len(problem(n)[0]) / SHOTS)  # a cut's spread is below its edge count
    row = [f"QAOA {n} qubits, {SHOTS} noisy shots", f"{ours_time:.3f} s (cut {ours_cut:.2f})"]
    for name, make, note in [("Aer", aer_shots, ""), ("qsimcirq", qsim_shots, ", no readout errors")]:
        try:
            seconds, cut = best(lambda: make(n))
        except ImportError:
            row.append("not installed")
            continue
        agrees = abs(cut - ours_cut) <= sigma or note
        row.append(f"{seconds:.3f} s ({seconds / ours_time:.1f}x; cut {cut:.2f}{note})"
                   + ("" if agrees else " DISAGREES"))
    lines.append("| " + " | ".join(row) + " |")
    print(lines[-1], flush=True)
    n = 10
    ours_time, rho = best(lambda: ours_density(n))
    row = [f"QAOA {n} qubits, exact density matrix", f"{ours_time:.3f} s"]
    try:
        seconds, theirs = best(lambda: aer_density(n))
        difference = np.abs(theirs - rho).max()
        row.append(f"{seconds:.3f} s ({seconds / ours_time:.1f}x; max abs difference {difference:.1e})")
    except ImportError:
        row.append("not installed")
    row.append("")
    lines.append("| " + " | ".join(row) + " |")
    print(lines[-1], flush=True)
    with open(RESULTS, "w", encoding="utf-8") as out:
        out.write("# Noisy digital benchmark\n\n")
        out.write(f"Machine: {machine()}. Date: {datetime.date.today().isoformat()}.\n\n")
        out.write(__doc__.split("\n\n", 1)[0].replace("\n", " ") + " Ratios: peer time / ours.\n\n")
        out.write("| case | norvane | Qiskit Aer | qsimcirq |\n|---|---|---|---|\n")
        out.write("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
