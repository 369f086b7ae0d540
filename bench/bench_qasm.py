"""OpenQASM 2.0 reading and writing speed on two generated programs, beside qiskit's reader
(a Rust parser building qiskit circuits) when it is installed. Writes bench/results/qasm.md."""

import datetime
import math
import os

from common import best_seconds, machine

from norvane.quantum.ir.digital.qasm import dumps, loads

HERE = os.path.dirname(os.path.abspath(__file__))
HEAD = 'OPENQASM 2.0;\ninclude "qelib1.inc";\n'


def qft(n, repeats):
    """`repeats` quantum Fourier transforms on n qubits, then a measurement of the register."""
    lines = [f"qreg q[{n}];", f"creg c[{n}];"]
    for _ in range(repeats):
        for j in range(n):
            lines.append(f"h q[{j}];")
            lines += [f"cu1(pi/{2 ** (k - j)}) q[{k}], q[{j}];" for k in range(j + 1, n)]
    lines.append("measure q -> c;")
    return HEAD + "\n".join(lines) + "\n"


def layered(n, layers):
    """Layers of a user gate with parameters (expanded at every call) and rotations."""
    lines = [f"qreg q[{n}];", "gate ent(a, b) x, y { ry(a) x; cx x, y; rz(b/2 - a) y; }"]
    for layer in range(layers):
        lines += [f"u3({0.1 * layer:.3f}, pi/4, -pi/8) q[{q}];" for q in range(n)]
        lines += [f"ent({0.01 * q:.2f}, sin({layer})) q[{q}], q[{(q + 1) % n}];" for q in range(n)]
    return HEAD + "\n".join(lines) + "\n"


def main():
    try:
        from qiskit import qasm2 as peer
    except ImportError:
        peer = None
    rows = []
    for name, text in [("qft 16 qubits x 60", qft(16, 60)), ("layered 20 qubits x 300", layered(20, 300))]:
        circuit = loads(text)
        ours = best_seconds(lambda: loads(text), 3)
        written = best_seconds(lambda: dumps(circuit), 3)
        theirs = best_seconds(lambda: peer.loads(text, custom_instructions=peer.LEGACY_CUSTOM_INSTRUCTIONS), 3) \
            if peer else math.nan
        n = len(circuit.instructions)
        rows.append(f"| {name} | {n} | {ours * 1e3:.0f} | {n / ours:,.0f} | {written * 1e3:.0f} | "
                    f"{theirs * 1e3:.0f} | {theirs / ours:.2f}x |")
        print(rows[-1], flush=True)
    table = "\n".join([
        "# OpenQASM 2.0 reading and writing", "",
        f"Machine: {machine()}  ",
        f"Date: {datetime.date.today()}  ",
        "Best of 3 runs each; the peer is qiskit's OpenQASM 2 reader (its `qasm2.loads`).", "",
        "| program | kit instructions | loads ms | instr/s | dumps ms | peer loads ms | speed vs peer |",
        "|---|---:|---:|---:|---:|---:|---:|",
        *rows, ""])
    os.makedirs(os.path.join(HERE, "results"), exist_ok=True)
    with open(os.path.join(HERE, "results", "qasm.md"), "w") as f:
        f.write(table)


if __name__ == "__main__":
    main()
