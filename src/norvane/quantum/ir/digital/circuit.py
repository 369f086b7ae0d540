"""Digital circuits: a qubit register, a classical register and an ordered instruction list."""

from __future__ import annotations

import operator

from norvane.quantum.ir._node import Node

__all__ = ["DigitalCircuit"]


def _register_size(value, what: str) -> int:
    if isinstance(value, bool):
        raise TypeError(f"DigitalCircuit: {what} must be an integer, got bool")
    try:
        size = operator.index(value)
    except TypeError:
        raise TypeError(
            f"DigitalCircuit: {what} must be an integer, got {type(value).__name__}"
        ) from None
    if size < 0:
        raise ValueError(f"DigitalCircuit: {what} must be >= 0, got {size}")
    return size


class DigitalCircuit(Node):
    """`n_cbits` defaults to `n_qubits`, so every measured qubit has a classical bit."""

    __slots__ = ("n_qubits", "instructions", "n_cbits", "name")
    _fields = ("n_qubits", "instructions", "n_cbits", "name")

    def __init__(self, n_qubits, instructions=(), n_cbits=None, name=None):
        self.n_qubits = _register_size(n_qubits, "n_qubits")
        self.instructions = tuple(instructions)
        self.n_cbits = self.n_qubits if n_cbits is None else _register_size(n_cbits, "n_cbits")
        self.name = name

