"""Unitaries of imported circuits, for comparing OpenQASM imports and round trips."""

import numpy as np

from norvane.quantum.ir.digital.conditional import ConditionalInstruction
from norvane.quantum.ir.digital.gate import Gate
from tests.reference.dense_reference import ReferenceSimulator


def unitary(circuit, **bindings):
    """The matrix of the circuit's unconditioned gates (qubit 0 most significant)."""
    model = ReferenceSimulator(circuit)
    columns = np.eye(1 << circuit.n_qubits, dtype=complex)
    for instruction in circuit.instructions:
        if isinstance(instruction, Gate) and not isinstance(instruction, ConditionalInstruction):
            columns = np.stack([model.apply_gate(c, instruction, **bindings) for c in columns.T], axis=1)
    return columns


def random_unitary(k, seed):
    """A random 2^k x 2^k unitary (QR of a complex Gaussian matrix, phases fixed)."""
    rng = np.random.default_rng(seed)
    q, r = np.linalg.qr(rng.normal(size=(1 << k, 1 << k)) + 1j * rng.normal(size=(1 << k, 1 << k)))
    return q * (np.diag(r) / np.abs(np.diag(r)))


def assert_equal_up_to_phase(a, b, atol=1e-9):
    a, b = np.asarray(a), np.asarray(b)
    assert a.shape == b.shape
    k = np.unravel_index(np.argmax(np.abs(b)), b.shape)
    phase = a[k] / b[k]
    assert abs(abs(phase) - 1) < atol, f"no global phase relates them: {phase}"
    np.testing.assert_allclose(a, phase * b, atol=atol)


def reversed_qubits(matrix):
    """The same operator with the qubit order reversed (little-endian <-> kit order)."""
    n = matrix.shape[0].bit_length() - 1
    axes = list(range(n))[::-1]
    t = matrix.reshape((2,) * (2 * n)).transpose(axes + [n + a for a in axes])
    return t.reshape(matrix.shape)


def outcome_distribution(circuit, **bindings):
    """Exact probability of every final classical bitstring, branching on each measurement
    outcome instead of sampling (for small circuits)."""
    from norvane.quantum.ir.digital.gate import H, S, Sdg
    from norvane.quantum.ir.digital.measurement import Measurement, MeasurementBasis

    model = ReferenceSimulator(circuit)
    n = circuit.n_qubits
    branches = [(1.0, model.init_state(), [0] * circuit.n_cbits)]
    for instruction in circuit.instructions:
        advanced = []
        for p, state, cbits in branches:
            if isinstance(instruction, ConditionalInstruction):
                if instruction.condition.evaluate(cbits):
                    state = model.apply_gate(state, instruction.instruction, **bindings)
                advanced.append((p, state, cbits))
            elif isinstance(instruction, Gate):
                advanced.append((p, model.apply_gate(state, instruction, **bindings), cbits))
            elif isinstance(instruction, Measurement):
                advanced += _measure(model, n, instruction, p, state, cbits, H, S, Sdg, MeasurementBasis)
        branches = [b for b in advanced if b[0] > 1e-14]
    distribution = {}
    for p, _, cbits in branches:
        key = "".join(map(str, cbits))
        distribution[key] = distribution.get(key, 0.0) + p
    return distribution


def _measure(model, n, m, p, state, cbits, H, S, Sdg, Basis):
    qubits = list(m.qubits)
    before = {Basis.X: [H], Basis.Y: [Sdg, H]}.get(m.basis, [])
    after = {Basis.X: [H], Basis.Y: [H, S]}.get(m.basis, [])
    for q in qubits:
        for gate in before:
            state = model.apply_gate(state, gate((q,)))
    tensor = state.reshape((2,) * n)
    out = []
    for outcome in range(1 << len(set(qubits))):
        values = {q: (outcome >> k) & 1 for k, q in enumerate(sorted(set(qubits)))}
        index = tuple(values.get(q, slice(None)) for q in range(n))
        projected = np.zeros_like(tensor)
        projected[index] = tensor[index]
        weight = float(np.sum(np.abs(projected) ** 2))
        if weight < 1e-14:
            continue
        new_state = (projected / np.sqrt(weight)).reshape(-1)
        for q in qubits:
            for gate in after:
                new_state = model.apply_gate(new_state, gate((q,)))
        new_bits = list(cbits)
        for q, b in zip(qubits, m.bits or qubits):
            new_bits[b] = values[q]
        out.append((p * weight, new_state, new_bits))
    return out


def assert_same_distribution(a, b, atol=1e-9):
    for key in set(a) | set(b):
        assert abs(a.get(key, 0.0) - b.get(key, 0.0)) < atol, (key, a, b)
