"""The node classes that the serialize module registers, and their registry names."""

from norvane.quantum.ir.digital import gate
from norvane.quantum.ir.digital.circuit import DigitalCircuit
from norvane.quantum.ir.digital.conditional import ClassicalCondition, ConditionalInstruction
from norvane.quantum.ir.digital.measurement import Measurement

FIXED_GATES = [getattr(gate, name) for name in (
    "H", "X", "Y", "Z", "S", "Sdg", "T", "Tdg", "SX", "SXdg", "CX", "CY", "CZ", "SWAP", "CCX", "CSWAP")]
PARAMETRIC_GATES = [getattr(gate, name) for name in (
    "RX", "RY", "RZ", "Phase", "U1", "U2", "U3", "U", "CRX", "CRY", "CRZ", "CPhase", "RXX", "RYY", "RZZ")]
REGISTERED = FIXED_GATES + PARAMETRIC_GATES + [
    gate.UnitaryGate, Measurement, ClassicalCondition, ConditionalInstruction, DigitalCircuit]


def type_name(cls) -> str:
    return f"{cls.__module__}.{cls.__qualname__}"
