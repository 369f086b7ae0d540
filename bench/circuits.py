"""Benchmark circuits, described once as plain gate lists and built for each simulator."""

import numpy as np


def layered(n, depth=20, seed=1234):
    """One-qubit rotations on every qubit, then a CX (even layers) or CZ (odd layers) ladder.

    Returns a list of (name, qubits, angle) with qubit 0 the first qubit of every framework.
    """
    rng = np.random.default_rng(seed)
    ops = []
    for layer in range(depth):
        for q in range(n):
            ops.append((("rx", "ry", "rz")[rng.integers(3)], (q,), float(rng.uniform(0, 2 * np.pi))))
        entangler = "cx" if layer % 2 == 0 else "cz"
        ops.extend((entangler, (q, q + 1), None) for q in range(n - 1))
    return ops


def dynamic(n, depth=4, seed=99):
    """Layers of rotations and CX, each followed by a mid-circuit measurement of one qubit whose
    bit conditions an X on its neighbour. Items: gates as in `layered`, plus ("measure", q, bit)
    and ("cx_if", q, bit) meaning X on q when classical bit `bit` is 1."""
    rng = np.random.default_rng(seed)
    ops = []
    for layer in range(depth):
        for q in range(n):
            ops.append((("rx", "ry")[rng.integers(2)], (q,), float(rng.uniform(0, 2 * np.pi))))
        ops.extend(("cx", (q, q + 1), None) for q in range(n - 1))
        q = layer % n
        ops.append(("measure", q, layer))
        ops.append(("x_if", (q + 1) % n, layer))
    return ops


def to_norvane(n, ops, measure_all=False, n_cbits=None):
    from norvane.quantum.ir.digital import gate as g
    from norvane.quantum.ir.digital.circuit import DigitalCircuit
    from norvane.quantum.ir.digital.conditional import ClassicalCondition, ConditionalInstruction
    from norvane.quantum.ir.digital.measurement import Measurement

    classes = {"rx": g.RX, "ry": g.RY, "rz": g.RZ, "cx": g.CX, "cz": g.CZ}
    instructions = []
    for name, qubits, extra in ops:
        if name == "measure":
            instructions.append(Measurement([qubits], [extra]))
        elif name == "x_if":
            instructions.append(ConditionalInstruction(g.X([qubits]), ClassicalCondition([extra], 1)))
        elif extra is None:
            instructions.append(classes[name](qubits))
        else:
            instructions.append(classes[name](qubits, [extra]))
    if measure_all:
        instructions.append(Measurement(list(range(n))))
    return DigitalCircuit(n, instructions, n_cbits)
