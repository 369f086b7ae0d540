"""Statevector simulator benchmark: norvane against installed peers, side by side.

Run from the repository root: `python bench/bench_statevector.py` (add `--quick` for sizes up
to 20 qubits). Each measurement runs in a fresh subprocess so that thread settings, which some
peers read from the environment at import, apply. Results go to bench/results/statevector.md.
"""

import datetime
import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path[:0] = [HERE, ROOT]

from common import machine, measure_fastest_setting, measure_in_subprocess, report_worker  # noqa: E402

GATE_PASS_QUBITS = 5
# qsimcirq's gate fusion (max_fused_gate_size) is tried at each of these; the fastest counts.
QSIM_FUSION = (2, 3, 4)

PEERS = ["norvane", "qiskit-aer", "qulacs", "qsimcirq", "lightning", "reference"]


# ---------------------------------------------------------------- workers (one per process)

def worker_norvane(task, n, threads, shots):
    from circuits import dynamic, layered, to_norvane
    from norvane.quantum.simulator.digital import dense_sim

    dense_sim._set_max_threads(threads)
    if task == "statevector":
        sim = dense_sim.DigitalDenseSimulator(to_norvane(n, layered(n)))
        return lambda: sim.statevector()
    if task == "shots":
        sim = dense_sim.DigitalDenseSimulator(to_norvane(n, layered(n), measure_all=True), seed=1)
        return lambda: sim.run(shots)
    if task == "dynamic":
        sim = dense_sim.DigitalDenseSimulator(to_norvane(n, dynamic(n)), seed=1)
        return lambda: sim.run(shots)
    if task == "gate_pass":
        from norvane.quantum.ir.digital.circuit import DigitalCircuit
        from norvane.quantum.ir.digital.gate import RY

        # One rotation on each of the qubits above the cache-blocked ones: every gate is a full
        # pass over the state.
        sim = dense_sim.DigitalDenseSimulator(DigitalCircuit(n, [RY([q], [0.3]) for q in range(GATE_PASS_QUBITS)]))
        return lambda: sim.statevector()
    if task == "empty":  # allocating and returning the state alone, to subtract from gate_pass
        from norvane.quantum.ir.digital.circuit import DigitalCircuit

        sim = dense_sim.DigitalDenseSimulator(DigitalCircuit(n))
        return lambda: sim.statevector()
    raise KeyError(task)


def worker_reference(task, n, threads, shots):
    from circuits import dynamic, layered, to_norvane
    from tests.reference.dense_reference import ReferenceSimulator

    if task == "statevector":
        sim = ReferenceSimulator(to_norvane(n, layered(n)))
        return lambda: sim.statevector()
    if task == "shots":
        sim = ReferenceSimulator(to_norvane(n, layered(n), measure_all=True), seed=1)
        return lambda: sim.run(shots)
    if task == "dynamic":
        sim = ReferenceSimulator(to_norvane(n, dynamic(n)), seed=1)
        return lambda: sim.run(shots)
    raise KeyError(task)


def qiskit_circuit(n, ops, measure_all=False):
    from qiskit import ClassicalRegister, QuantumCircuit, QuantumRegister

    qr = QuantumRegister(n)
    cr = ClassicalRegister(n)
    qc = QuantumCircuit(qr, cr)
    for name, qubits, extra in ops:
        if name == "measure":
            qc.measure(qr[qubits], cr[extra])
        elif name == "x_if":
            with qc.if_test((cr[extra], 1)):
                qc.x(qr[qubits])
        elif extra is None:
            getattr(qc, name)(*qubits)
        else:
            getattr(qc, name)(extra, *qubits)
    if measure_all:
        qc.measure(qr, cr)
    return qc


def worker_qiskit_aer(task, n, threads, shots):
    from circuits import dynamic, layered
    from qiskit_aer import AerSimulator

    sim = AerSimulator(method="statevector", max_parallel_threads=threads)
    if task == "statevector":
        qc = qiskit_circuit(n, layered(n))
        qc.save_statevector()
        return lambda: sim.run(qc).result().get_statevector()
    if task == "shots":
        qc = qiskit_circuit(n, layered(n), measure_all=True)
        return lambda: sim.run(qc, shots=shots, memory=True).result().get_memory()
    if task == "dynamic":
        qc = qiskit_circuit(n, dynamic(n))
        return lambda: sim.run(qc, shots=shots, memory=True).result().get_memory()
    raise KeyError(task)


def worker_qulacs(task, n, threads, shots):
    from circuits import layered
    from qulacs import QuantumCircuit, QuantumState

    if task not in ("statevector", "shots"):
        raise KeyError(task)
    circuit = QuantumCircuit(n)
    for name, qubits, angle in layered(n):
        q = [n - 1 - x for x in qubits]  # qulacs qubit 0 is the least significant bit
        if name == "rx":
            circuit.add_RX_gate(q[0], angle)
        elif name == "ry":
            circuit.add_RY_gate(q[0], angle)
        elif name == "rz":
            circuit.add_RZ_gate(q[0], angle)
        elif name == "cx":
            circuit.add_CNOT_gate(q[0], q[1])
        else:
            circuit.add_CZ_gate(q[0], q[1])

    def statevector():
        state = QuantumState(n)
        circuit.update_quantum_state(state)
        return state.get_vector()

    def sample():
        state = QuantumState(n)
        circuit.update_quantum_state(state)
        return state.sampling(shots, 1)

    return statevector if task == "statevector" else sample


def worker_qsimcirq(task, n, threads, shots, fusion=2):
    import cirq
    import qsimcirq
    from circuits import layered

    if task not in ("statevector", "shots"):
        raise KeyError(task)
    qubits = cirq.LineQubit.range(n)
    gates = {"rx": cirq.rx, "ry": cirq.ry, "rz": cirq.rz}
    ops = []
    for name, qs, angle in layered(n):
        if name in gates:
            ops.append(gates[name](angle).on(qubits[qs[0]]))
        else:
            ops.append((cirq.CNOT if name == "cx" else cirq.CZ).on(qubits[qs[0]], qubits[qs[1]]))
    sim = qsimcirq.QSimSimulator(qsimcirq.QSimOptions(cpu_threads=threads, max_fused_gate_size=fusion))
    if task == "statevector":
        circuit = cirq.Circuit(ops)
        return lambda: sim.simulate(circuit).final_state_vector
    circuit = cirq.Circuit(ops + [cirq.measure(*qubits, key="m")])
    return lambda: sim.run(circuit, repetitions=shots)


def worker_lightning(task, n, threads, shots):
    import pennylane as qml
    from circuits import layered

    if task not in ("statevector", "shots"):
        raise KeyError(task)
    ops = layered(n)

    def body():
        for name, qs, angle in ops:
            if name == "rx":
                qml.RX(angle, wires=qs[0])
            elif name == "ry":
                qml.RY(angle, wires=qs[0])
            elif name == "rz":
                qml.RZ(angle, wires=qs[0])
            elif name == "cx":
                qml.CNOT(wires=list(qs))
            else:
                qml.CZ(wires=list(qs))

    dev = qml.device("lightning.qubit", wires=n)
    if task == "statevector":
        @qml.qnode(dev)
        def state():
            body()
            return qml.state()
        return state

    @qml.set_shots(shots)
    @qml.qnode(dev)
    def sample():
        body()
        return qml.sample(wires=range(n))
    return sample


WORKERS = {
    "norvane": worker_norvane, "reference": worker_reference, "qiskit-aer": worker_qiskit_aer,
    "qulacs": worker_qulacs, "qsimcirq": worker_qsimcirq, "lightning": worker_lightning,
}


def worker_main(peer, task, n, threads, shots, *setting):
    repeats = 1 if n >= 22 or peer == "reference" else 3
    report_worker(lambda: WORKERS[peer](task, n, threads, shots, *setting), repeats)


# ---------------------------------------------------------------- driver

def measure(peer, task, n, threads, shots=0):
    if peer == "qsimcirq":
        return measure_fastest_setting(__file__, (peer, task, n, threads, shots), threads, QSIM_FUSION, "fusion")
    return measure_in_subprocess(__file__, (peer, task, n, threads, shots), threads)


def copy_bandwidth(n):
    import numpy as np

    a = np.ones(2**n, dtype=complex)
    b = np.empty_like(a)
    np.copyto(b, a)
    best = min(_timed(lambda: np.copyto(b, a)) for _ in range(5))
    return 2 * a.nbytes / best


def _timed(fn):
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


def main():
    quick = "--quick" in sys.argv
    cores = os.cpu_count() or 1
    sizes = [12, 16, 20] if quick else [12, 16, 20, 24]
    rows = []

    def row(label, cases):
        results = {}
        for peer, task, n, threads, shots in cases:
            if peer == "reference" and (n > 12 or (task != "statevector" and shots > 1024)):
                continue
            seconds, note = measure(peer, task, n, threads, shots)
            results[peer] = (seconds, note)
        rows.append((label, results))
        ours = results.get("norvane", (None, None))[0]
        cells = []
        for peer, (seconds, note) in results.items():
            if seconds is None:
                cells.append(f"{peer}: {note}")
            else:
                ratio = f" ({seconds / ours:.2f}x{', ' + note if note else ''})" if ours and peer != "norvane" else ""
                cells.append(f"{peer}: {seconds * 1e3:.1f} ms{ratio}")
        print(f"{label:34s} " + " | ".join(cells), flush=True)

    for threads in sorted({1, cores}):
        for n in sizes:
            row(f"statevector n={n} threads={threads}", [(p, "statevector", n, threads, 0) for p in PEERS])
    for shots in (1024, 100_000):
        for n in sizes:
            row(f"run shots={shots} n={n} threads={cores}", [(p, "shots", n, cores, shots) for p in PEERS])
    row(f"dynamic shots=1024 n=12 threads={cores}", [(p, "dynamic", 12, cores, 1024) for p in ("norvane", "qiskit-aer", "reference")])

    n = 20 if quick else 24
    seconds, _ = measure("norvane", "gate_pass", n, 1, 0)
    empty, _ = measure("norvane", "empty", n, 1, 0)
    per_gate = (seconds - empty) / GATE_PASS_QUBITS
    bandwidth = copy_bandwidth(n)
    bound = 2 * 16 * 2**n / bandwidth
    gate_line = (f"one-qubit gate pass, n={n}, 1 thread: {per_gate * 1e3:.1f} ms per gate; memory copy bound "
                 f"{bound * 1e3:.1f} ms ({bandwidth / 1e9:.1f} GB/s); ratio {per_gate / bound:.2f}")
    print(gate_line)
    write_report(rows, gate_line)


def write_report(rows, gate_line):
    path = os.path.join(HERE, "results", "statevector.md")
    with open(path, "w") as f:
        f.write("# Statevector benchmark\n\n")
        f.write(f"Machine: {machine()}. Date: {datetime.date.today().isoformat()}.\n")
        f.write("Times are the best of 3 runs (1 run at 24 qubits and for the reference model); ratios are "
                "peer time / norvane time (above 1: norvane is faster). Circuits: bench/circuits.py.\n\n")
        peers = [p for p in PEERS if any(p in r for _, r in rows)]
        f.write("| case | " + " | ".join(peers) + " |\n|---|" + "---|" * len(peers) + "\n")
        for label, results in rows:
            ours = results.get("norvane", (None,))[0]
            cells = []
            for p in peers:
                seconds, note = results.get(p, (None, "-"))
                if seconds is None:
                    cells.append(note or "-")
                elif p == "norvane":
                    cells.append(f"{seconds * 1e3:.1f} ms")
                else:
                    setting = f", {note}" if note else ""
                    cells.append(f"{seconds * 1e3:.1f} ms ({seconds / ours:.2f}x{setting})")
            f.write(f"| {label} | " + " | ".join(cells) + " |\n")
        f.write(f"\n{gate_line}\n")
    print(f"written {path}")


if __name__ == "__main__":
    if len(sys.argv) > 1 and sys.argv[1] == "--worker":
        worker_main(sys.argv[2], sys.argv[3], int(sys.argv[4]), int(sys.argv[5]), int(sys.argv[6]),
                    *map(int, sys.argv[7:]))
    else:
        main()
