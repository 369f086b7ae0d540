"""Picklable costs, circuits and gates for the parallel tests (importable by worker processes)."""

import os
from pathlib import Path

import numpy as np

from norvane.quantum.ir.digital import gate
from norvane.quantum.ir.digital.circuit import DigitalCircuit
from norvane.quantum.ir.digital.measurement import Measurement
from norvane.quantum.ir.scalar import Variable
from norvane.quantum.optimizer.vqe import VQE


def smooth_cost(x):
    """A deterministic cost: sum of k * sin(x_k) + x_0 * x_1."""
    x = np.asarray(x, dtype=float)
    return float(np.sum(np.arange(1, len(x) + 1) * np.sin(x)) + x[0] * x[1])


def failing_cost(x):
    if x[1] > 0.5:
        raise ArithmeticError(f"no cost at {x[1]:.2f}")
    return 0.0


def sweep_circuit(n_qubits=4):
    """Every qubit rotated by RY(t_k), then CXs and a full measurement: outcomes depend on
    the bindings and on the draws."""
    angles = [Variable(f"t{k}") for k in range(n_qubits)]
    instructions = [gate.RY((k,), (angles[k],)) for k in range(n_qubits)]
    instructions += [gate.CX((k, k + 1)) for k in range(n_qubits - 1)]
    return DigitalCircuit(n_qubits, instructions + [Measurement(tuple(range(n_qubits)))])


def marked_circuit(k, n_qubits=6):
    """A circuit whose only outcome is k in binary: shows the position of its result."""
    flips = [gate.X((q,)) for q in range(n_qubits) if (k >> (n_qubits - 1 - q)) & 1]
    return DigitalCircuit(n_qubits, flips + [Measurement(tuple(range(n_qubits)))])


def exit_process():
    os._exit(3)


class ExitOnce:
    """A CustomGate matrix that ends its process the first time any process asks for it
    (a marker file remembers), and is X afterwards."""

    def __init__(self, marker: Path):
        self.marker = marker

    def __call__(self):
        if not self.marker.exists():
            self.marker.touch()
            os._exit(4)
        return np.array([[0, 1], [1, 0]], dtype=complex)


def circuit_with_custom(matrix_fn, n_qubits=2):
    return DigitalCircuit(n_qubits, [gate.H((1,)), gate.CustomGate((0,), matrix_fn), Measurement((0, 1))])


class SquareCostVQE(VQE):
    """A VQE whose cost is |x|^2 after the sampled evaluation (which it counts): a deterministic
    cost through an overriding method."""

    def cost(self, x, shots=None):
        super().cost(x, shots)
        return float(np.sum(np.square(x)))
