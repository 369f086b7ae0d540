"""Measurements of the digital IR."""

from __future__ import annotations

from enum import Enum

from norvane.quantum.ir._node import Node, index_tuple

__all__ = ["Measurement", "MeasurementBasis"]


class MeasurementBasis(Enum):
    """The basis a measurement reads: X, Y or Z (the computational basis)."""

    X = "X"
    Y = "Y"
    Z = "Z"

    def __repr__(self):
        return f"MeasurementBasis.{self.name}"


class Measurement(Node):
    """Measure `qubits` in `basis`, writing outcomes to `bits` (by default bit q for qubit q)."""

    __slots__ = ("qubits", "bits", "basis")
    _fields = ("qubits", "bits", "basis")

    def __init__(self, qubits, bits=None, basis=MeasurementBasis.Z):
        self.qubits = index_tuple(qubits, "qubits", "Measurement")
        self.bits = None if bits is None else index_tuple(bits, "bits", "Measurement")
        self.basis = basis if isinstance(basis, MeasurementBasis) else MeasurementBasis(basis)
