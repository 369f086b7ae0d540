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
