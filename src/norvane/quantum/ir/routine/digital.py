"""A digital routine: a circuit together with the source it came from."""

from __future__ import annotations

from norvane.quantum.ir._node import Node
from norvane.quantum.ir.digital.circuit import DigitalCircuit

__all__ = ["DigitalRoutine"]


class DigitalRoutine(Node):
    __slots__ = ("source", "circuit")
    _fields = ("source", "circuit")

    def __init__(self, source=None, circuit=None):
        if not isinstance(circuit, DigitalCircuit):
            raise TypeError(f"DigitalRoutine needs a DigitalCircuit, got {type(circuit).__name__}")
        self.source = source
        self.circuit = circuit
