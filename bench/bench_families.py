"""Circuit families users run, against installed peers at their best settings.

Families (bench/circuits.py): a grid circuit of depth 100 measured one qubit at a time (as
OpenQASM files write measurements) in Z and in X (peers, which measure in Z only, get an H
before each), QAOA p=4 on a 3-regular graph, random grid circuits of depth 14, random CX
circuits of depth 20 (random rotations, CX on random pairs), the QFT, GHZ sampled 1,024 times,
and a new simulator per call (10 qubits, 100 gates, run(1024)), the way a variational loop uses
one; and the same circuit run on one simulator made once, to show what making a simulator costs
(qulacs has no simulator object: both rows reuse its built circuit and make a state per call).
Two small circuits (random CX on 6 qubits, per-qubit measurement on 8) show the cost of each
gate and each shot where the state is too small to matter.
Peers: qiskit-aer (gate fusion on, its default), qulacs (its circuit optimiser, block size 2),
qsimcirq (gate fusion up to 2, 3 and 4 qubits, the fastest kept; single precision) and
pennylane-lightning. Each measurement runs in its own process. Run from the repository root:
`python bench/bench_families.py [--quick]`; results go to bench/results/families.md.
"""

import datetime
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [HERE, os.path.dirname(HERE)]

from common import machine, measure_fastest_setting, measure_in_subprocess, report_worker  # noqa: E402

PEERS = ["norvane", "qiskit-aer", "qulacs", "qsimcirq", "lightning"]
SINGLE_PRECISION = {"qsimcirq"}
# qsimcirq's gate fusion (max_fused_gate_size) is tried at each of these; the fastest counts.
QSIM_FUSION = (2, 3, 4)
# Rounds of measurements per row: for the small loops, for rows of 24 qubits and more (whose
# peers take minutes), and for the rest.
ROUNDS_SMALL, ROUNDS_LARGE, ROUNDS = 3, 1, 2


def small_loop(name, n):
    """Whether a row times a loop of small calls (the simulator loops and the small circuits)."""
    return name.endswith(" simulator") or n <= 8


def fastest(a, b):
    """The faster of two (seconds, note) results; a failed or skipped one (seconds None) only
    when both are."""
    if a is None or a[0] is None:
        return b
    return b if b[0] is not None and b[0] < a[0] else a


def family(name, n, measures_in_x=False):
    """(ops, sampling): the family's gates on n qubits and how it is read out. A simulator that
    cannot measure in X (`measures_in_x` false) gets an H on the qubit before a Z measurement."""
    import numpy as np

    from circuits import ghz, grid_random, qaoa_3regular, qft, random_cx

    if name == "per-qubit measure":
        return grid_random(n, depth=100), ("each", 8192)
    if name == "per-qubit measure X":
        if measures_in_x:
            return grid_random(n, depth=100), ("each X", 8192)
        return grid_random(n, depth=100) + [("h", (q,), None) for q in range(n)], ("each", 8192)
    if name == "qaoa p=4":
        return qaoa_3regular(n), None
    if name == "grid depth 14":
        return grid_random(n), None
    if name == "random cx":
        return random_cx(n), None
    if name == "qft":
        return qft(n), None
    if name == "ghz":
        return ghz(n), ("all", 1024)
    if name in ("fresh simulator", "reused simulator"):
        rng = np.random.default_rng(3)
        ops = []
        while len(ops) < 100:
            ops.append((("rx", "ry", "rz")[rng.integers(3)], (int(rng.integers(n)),), float(rng.uniform(0, 6))))
            a, b = rng.choice(n, 2, replace=False)
            ops.append(("cx", (int(a), int(b)), None))
        return ops, ("all", 1024)
    raise ValueError(name)


# ---------------------------------------------------------------- workers (one per process)

def worker_norvane(name, n, threads):
    from circuits import to_norvane
    from norvane.quantum.simulator.digital import dense_sim

    dense_sim._set_max_threads(threads)
    ops, sampling = family(name, n, measures_in_x=True)
    if sampling is None:
        sim = dense_sim.DigitalDenseSimulator(to_norvane(n, ops))
        return sim.statevector
    how, shots = sampling
    circuit = to_norvane(n, ops, measure_all=how == "all", measure_each=how.startswith("each"),
                         basis=how[len("each "):] or "Z")
    if name == "fresh simulator":
        return lambda: dense_sim.DigitalDenseSimulator(circuit).run(shots)
    sim = dense_sim.DigitalDenseSimulator(circuit, seed=1)
    return lambda: sim.run(shots)


def worker_qiskit_aer(name, n, threads):
    from qiskit import ClassicalRegister, QuantumCircuit, QuantumRegister
    from qiskit_aer import AerSimulator

    ops, sampling = family(name, n)
    qr, cr = QuantumRegister(n), ClassicalRegister(n)
    qc = QuantumCircuit(qr, cr)
    for gate, qubits, angle in ops:
        getattr(qc, gate)(*(() if angle is None else (angle,)), *qubits)
    sim = AerSimulator(method="statevector", max_parallel_threads=threads)
    if sampling is None:
        qc.save_statevector()
        return lambda: sim.run(qc).result().get_statevector()
    how, shots = sampling
    if how == "each":
        for q in range(n):
            qc.measure(qr[q], cr[q])
    else:
        qc.measure(qr, cr)
    if name == "fresh simulator":
        return lambda: AerSimulator(method="statevector", max_parallel_threads=threads).run(
            qc, shots=shots, memory=True).result().get_memory()
    return lambda: sim.run(qc, shots=shots, memory=True).result().get_memory()


def worker_qulacs(name, n, threads):
    import numpy as np
    from qulacs import QuantumCircuit, QuantumState, gate as qgate
    from qulacs.circuit import QuantumCircuitOptimizer

    ops, sampling = family(name, n)
    circuit = QuantumCircuit(n)
    for kind, qubits, angle in ops:
        q = [n - 1 - x for x in qubits]  # qulacs qubit 0 is the least significant bit
        if kind in ("rx", "ry", "rz"):
            # qulacs rotates by exp(+i angle/2 P): the angle is negated for the same gate.
            getattr(circuit, f"add_{kind.upper()}_gate")(q[0], -angle)
        elif kind == "h":
            circuit.add_H_gate(q[0])
        elif kind == "x":
            circuit.add_X_gate(q[0])
        elif kind == "cx":
            circuit.add_CNOT_gate(q[0], q[1])
        elif kind == "cz":
            circuit.add_CZ_gate(q[0], q[1])
        elif kind == "rzz":
            circuit.add_multi_Pauli_rotation_gate(q, [3, 3], -angle)
        elif kind == "cp":
            phase = qgate.DenseMatrix(q[1], np.diag([1, np.exp(1j * angle)]))
            phase.add_control_qubit(q[0], 1)
            circuit.add_gate(phase)
    QuantumCircuitOptimizer().optimize(circuit, 2)

    def final_state():
        state = QuantumState(n)
        circuit.update_quantum_state(state)
        return state

    if sampling is None:
        return lambda: final_state().get_vector()
    shots = sampling[1]
    return lambda: final_state().sampling(shots, 1)


def worker_qsimcirq(name, n, threads, fusion=4):
    import cirq
    import numpy as np
    import qsimcirq

    ops, sampling = family(name, n)
    qubits = cirq.LineQubit.range(n)
    make = {
        "rx": lambda t: cirq.rx(t), "ry": lambda t: cirq.ry(t), "rz": lambda t: cirq.rz(t),
        "h": lambda t: cirq.H, "x": lambda t: cirq.X, "cx": lambda t: cirq.CNOT, "cz": lambda t: cirq.CZ,
        "rzz": lambda t: cirq.ZZPowGate(exponent=t / np.pi, global_shift=-0.5),
        "cp": lambda t: cirq.CZPowGate(exponent=t / np.pi),
    }
    circuit = cirq.Circuit(make[kind](angle).on(*(qubits[q] for q in qs)) for kind, qs, angle in ops)
    options = qsimcirq.QSimOptions(cpu_threads=threads, max_fused_gate_size=fusion)
    sim = qsimcirq.QSimSimulator(options)
    if sampling is None:
        return lambda: sim.simulate(circuit).final_state_vector
    how, shots = sampling
    if how == "each":
        circuit += [cirq.measure(q, key=f"c{k}") for k, q in enumerate(qubits)]
    else:
        circuit += cirq.measure(*qubits, key="m")
    if name == "fresh simulator":
        return lambda: qsimcirq.QSimSimulator(options).run(circuit, repetitions=shots)
    return lambda: sim.run(circuit, repetitions=shots)


def worker_lightning(name, n, threads):
    import pennylane as qml

    ops, sampling = family(name, n)
    make = {"rx": qml.RX, "ry": qml.RY, "rz": qml.RZ, "rzz": qml.IsingZZ, "cp": qml.ControlledPhaseShift}
    fixed = {"h": qml.Hadamard, "x": qml.PauliX, "cx": qml.CNOT, "cz": qml.CZ}

    def body():
        for kind, qs, angle in ops:
            if kind in fixed:
                fixed[kind](wires=list(qs))
            else:
                make[kind](angle, wires=list(qs))

    def qnode():
        dev = qml.device("lightning.qubit", wires=n)
        if sampling is None:
            return qml.qnode(dev)(lambda: (body(), qml.state())[1])
        return qml.set_shots(qml.qnode(dev)(lambda: (body(), qml.sample(wires=range(n)))[1]), sampling[1])

    if name == "fresh simulator":
        return lambda: qnode()()
    return qnode()


WORKERS = {"norvane": worker_norvane, "qiskit-aer": worker_qiskit_aer, "qulacs": worker_qulacs,
           "qsimcirq": worker_qsimcirq, "lightning": worker_lightning}


# ---------------------------------------------------------------- driver

def main():
    quick = "--quick" in sys.argv
    cases = [("per-qubit measure", 16), ("per-qubit measure", 20), ("per-qubit measure X", 16), ("qaoa p=4", 20),
             ("qaoa p=4", 22), ("grid depth 14", 20), ("grid depth 14", 24), ("random cx", 20), ("random cx", 22),
             ("qft", 20), ("qft", 22), ("ghz", 24), ("fresh simulator", 10),
             ("reused simulator", 10), ("random cx", 6), ("per-qubit measure", 8)]
    if quick:
        cases = [(name, min(n, 20)) for name, n in cases if n <= 20]
    table = [(threads, name, n) for threads in sorted({1, os.cpu_count() or 1}) for name, n in cases]
    results = {row: {} for row in table}

    def rounds(name, n):
        return ROUNDS_SMALL if small_loop(name, n) else ROUNDS_LARGE if n >= 24 else ROUNDS

    # Round after round over the whole table, peers taking turns in each row, each in a new
    # process and keeping its fastest: a slow stretch of this shared host then meets every peer
    # of a row alike, and the rounds of a row lie minutes apart.
    for round_number in range(max(ROUNDS_SMALL, ROUNDS_LARGE, ROUNDS)):
        for row in table:
            threads, name, n = row
            if round_number >= rounds(name, n):
                continue
            repeats = 3 if n >= 22 else (20 if small_loop(name, n) else 5)
            for peer in PEERS:
                args = (peer, name, n, threads, repeats)
                if peer == "qsimcirq":
                    got = measure_fastest_setting(__file__, args, threads, QSIM_FUSION, "fusion")
                else:
                    got = measure_in_subprocess(__file__, args, threads)
                results[row][peer] = fastest(results[row].get(peer), got)
            print(f"round {round_number + 1}: {name} n={n} threads={threads}", results[row], flush=True)
    write_report([(f"{name} n={n} threads={threads}", results[(threads, name, n)]) for threads, name, n in table])


def write_report(rows):
    path = os.path.join(HERE, "results", "families.md")
    with open(path, "w") as f:
        f.write("# Circuit families\n\n")
        f.write(f"Machine: {machine()}. Date: {datetime.date.today().isoformat()}.\n")
        f.write("Best of 5 runs (3 at 22 qubits and more, 20 for the fresh- and reused-simulator loops and the "
                f"small circuits) in each process; the table is measured {ROUNDS} times over "
                f"({ROUNDS_SMALL} for the small loops, {ROUNDS_LARGE} at 24 qubits), one round after the other, "
                "peers taking turns in each row in new processes, each keeping its fastest; "
                "ratios are peer "
                "time / norvane time (above 1: norvane is faster). "
                f"Single precision: {', '.join(sorted(SINGLE_PRECISION))}; every other column computes in double.\n\n")
        f.write("| case | " + " | ".join(PEERS) + " |\n|---|" + "---|" * len(PEERS) + "\n")
        for label, results in rows:
            ours = results["norvane"][0]
            cells = []
            for peer in PEERS:
                seconds, note = results[peer]
                if seconds is None:
                    cells.append(note or "-")
                elif peer == "norvane" or not ours:
                    cells.append(f"{seconds * 1e3:.2f} ms")
                else:
                    setting = f", {note}" if note else ""
                    cells.append(f"{seconds * 1e3:.2f} ms ({seconds / ours:.2f}x{setting})")
            f.write(f"| {label} | " + " | ".join(cells) + " |\n")
    print(f"written {path}")


if __name__ == "__main__":
    if len(sys.argv) > 1 and sys.argv[1] == "--worker":
        peer, name, n, threads, repeats = sys.argv[2], sys.argv[3], int(sys.argv[4]), int(sys.argv[5]), int(sys.argv[6])
        setting = [int(a) for a in sys.argv[7:]]
        report_worker(lambda: WORKERS[peer](name, n, threads, *setting), repeats)
    else:
        main()
