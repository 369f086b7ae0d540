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


def to_norvane(n, ops, measure_all=False, n_cbits=None, measure_each=False, basis="Z"):
    from norvane.quantum.ir.digital import gate as g
    from norvane.quantum.ir.digital.circuit import DigitalCircuit
    from norvane.quantum.ir.digital.conditional import ClassicalCondition, ConditionalInstruction
    from norvane.quantum.ir.digital.measurement import Measurement

    classes = {"rx": g.RX, "ry": g.RY, "rz": g.RZ, "cx": g.CX, "cz": g.CZ, "h": g.H, "x": g.X, "rzz": g.RZZ,
               "cp": g.CPhase}
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
    if measure_each:  # one instruction per qubit, as OpenQASM files write them
        instructions.extend(Measurement([q], [q], basis) for q in range(n))
    return DigitalCircuit(n, instructions, n_cbits)


# ------------------------------------------------------------------- families of real circuits
# Gate names used below, beyond those of `layered`: "h", "x", "rzz" (exp(-i t/2 Z(x)Z)) and
# "cp" (controlled phase diag(1, 1, 1, e^{it})).


def qft(n):
    """The quantum Fourier transform on |0...0> after an X on every other qubit (so the state
    is not trivial), with the final qubit-reversing swaps left out."""
    ops = [("x", (q,), None) for q in range(0, n, 2)]
    for target in range(n):
        ops.append(("h", (target,), None))
        for k, control in enumerate(range(target + 1, n), start=2):
            ops.append(("cp", (control, target), float(2 * np.pi / 2**k)))
    return ops


def ghz(n):
    """H on qubit 0 and a CX chain: (|0...0> + |1...1>)/sqrt(2)."""
    return [("h", (0,), None)] + [("cx", (q, q + 1), None) for q in range(n - 1)]


def qaoa_3regular(n, p=4, seed=7):
    """QAOA max-cut layers on a random 3-regular graph (n even): H on all, then p rounds of
    RZZ(2 gamma) on every edge and RX(2 beta) on every qubit."""
    rng = np.random.default_rng(seed)
    while True:  # pairing model: retry until the pairing is a simple graph
        stubs = rng.permutation(np.repeat(np.arange(n), 3))
        edges = {tuple(sorted(map(int, stubs[k:k + 2]))) for k in range(0, 3 * n, 2)}
        if len(edges) == 3 * n // 2 and all(a != b for a, b in edges):
            break
    ops = [("h", (q,), None) for q in range(n)]
    for layer in range(p):
        gamma, beta = 0.4 + 0.1 * layer, 0.7 - 0.1 * layer
        ops.extend(("rzz", edge, 2 * gamma) for edge in sorted(edges))
        ops.extend(("rx", (q,), 2 * beta) for q in range(n))
    return ops


def random_cx(n, depth=20, seed=9):
    """Random two-qubit-gate circuits as public benchmark suites write them: each layer a random
    gate from {H, RX, RY, RZ} (random angles) on every qubit, then CX, in a random direction, on
    the pairs of a random matching of all qubits."""
    rng = np.random.default_rng(seed)
    ops = []
    for _ in range(depth):
        for q in range(n):
            kind = ("h", "rx", "ry", "rz")[rng.integers(4)]
            ops.append((kind, (q,), None if kind == "h" else float(rng.uniform(0, 2 * np.pi))))
        order = rng.permutation(n)
        ops.extend(("cx", (int(order[k]), int(order[k + 1])), None) for k in range(0, n - 1, 2))
    return ops


def grid_random(n, depth=14, seed=5):
    """Random circuits on a near-square grid: each cycle a random rotation from {RX, RY} by
    pi/2 or RZ by pi/4 on every qubit, then CZ on one of four coupler patterns."""
    rng = np.random.default_rng(seed)
    cols = int(np.ceil(np.sqrt(n)))
    couplers = [[], [], [], []]
    for q in range(n):
        r, c = divmod(q, cols)
        if c + 1 < cols and q + 1 < n:
            couplers[(c % 2) + 0].append((q, q + 1))
        if q + cols < n:
            couplers[(r % 2) + 2].append((q, q + cols))
    ops = []
    for cycle in range(depth):
        for q in range(n):
            kind = ("rx", "ry", "rz")[rng.integers(3)]
            ops.append((kind, (q,), float(np.pi / 4 if kind == "rz" else np.pi / 2)))
        ops.extend(("cz", pair, None) for pair in couplers[cycle % 4])
    return ops
