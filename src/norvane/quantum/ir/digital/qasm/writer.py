"""OpenQASM 2.0 and 3.0 text of a `DigitalCircuit`.

The qubits form one register `q`. The classical bits are cut into consecutive registers so
that every condition reads exactly one whole register (a condition on bits (3, 2) == 2 becomes
`if (c1 == 2)` on a register c1 holding bits 2 and 3); a single register `c` when nothing is
conditioned. X- and Y-basis measurements are written as the basis change, a Z measurement and
the change back, which leaves the state the kit's measurement leaves. Kit gates are written
under their names in the kit's gate table, with the table's `gate` definition where the
version's standard library lacks them; a one-qubit matrix gate becomes `u3` (global phase
dropped), a controlled one-qubit matrix one controlled-U3 with its phase, and larger matrix
gates are decomposed into CX and one-qubit gates.
"""

from __future__ import annotations

import math
import re
from decimal import Decimal

import numpy as np

from norvane.quantum.ir.digital import gate as g
from norvane.quantum.ir.digital.circuit import DigitalCircuit
from norvane.quantum.ir.digital.conditional import ClassicalCondition, ConditionalInstruction
from norvane.quantum.ir.digital.gate_table import BY_CLASS
from norvane.quantum.ir.digital.measurement import Measurement, MeasurementBasis
from norvane.quantum.ir.digital.qasm.errors import QasmError
from norvane.quantum.ir.digital.qasm.synthesis import one_qubit_angles, synthesize
from norvane.quantum.ir.scalar import (
    Add, AssignedVariable, Div, Literal, Max, Min, Mul, Negative, Scalar, Variable,
)

__all__ = ["write"]

_IDENTIFIER = re.compile(r"[A-Za-z_][A-Za-z0-9_]*\Z")
_REGISTER_NAME = re.compile(r"(q|c[0-9]*)\Z")
_RESERVED = {
    "pi", "tau", "euler", "U", "CX", "gate", "qreg", "creg", "qubit", "bit", "measure", "reset",
    "barrier", "if", "else", "input", "output", "float", "int", "angle", "include", "opaque",
    "OPENQASM", "for", "while", "let", "const", "def", "return", "sin", "cos", "tan", "exp",
    "ln", "sqrt",
}


def _decimal_text(value: Decimal) -> str:
    if not value.is_finite():
        raise QasmError(f"parameter {value} is not a finite number")
    sign, digits, exponent = value.as_tuple()
    magnitude = len(digits) + exponent - 1
    if -6 <= magnitude <= 20:
        text = format(abs(value), "f")
    else:
        mantissa = "".join(map(str, digits)).rstrip("0") or "0"
        text = f"{mantissa[0]}.{mantissa[1:] or '0'}e{magnitude}"
    return f"(-{text})" if sign else text


class _Writer:
    def __init__(self, circuit: DigitalCircuit, version: int):
        if not isinstance(circuit, DigitalCircuit):
            raise TypeError(f"expected a DigitalCircuit, got {type(circuit).__name__}")
        self.circuit = circuit
        self.version = version
        self.inputs: list[str] = []
        self.definitions: dict[str, str] = {}
        self.body: list[str] = []
        self.registers = self._classical_registers()

    # -- registers ------------------------------------------------------------------------

    def _condition_range(self, condition: ClassicalCondition) -> tuple[int, int]:
        bits = list(condition.clbits)
        if not bits or len(set(bits)) != len(bits) or min(bits) < 0 \
                or max(bits) >= self.circuit.n_cbits or max(bits) - min(bits) + 1 != len(bits):
            raise QasmError(f"condition on bits {condition.clbits} cannot be written: OpenQASM "
                            "conditions read one register of consecutive classical bits")
        return min(bits), max(bits) + 1

    def _classical_registers(self) -> list[tuple[str, int, int]]:
        """(name, first bit, size) of each classical register, in bit order."""
        ranges = {self._condition_range(i.condition) for i in self.circuit.instructions
                  if isinstance(i, ConditionalInstruction)}
        if self.version == 3:   # OpenQASM 3 conditions can read a single bit of any register
            ranges = {r for r in ranges if r[1] - r[0] > 1}
        cuts = sorted({0, self.circuit.n_cbits} | {edge for r in ranges for edge in r})
        segments = [(a, b) for a, b in zip(cuts, cuts[1:]) if b > a]
        for start, stop in ranges:
            if (start, stop) not in segments:
                raise QasmError(f"conditions on overlapping bit ranges (one on bits {start} to "
                                f"{stop - 1}) cannot all be written as register conditions")
        if len(segments) == 1:
            return [("c", 0, self.circuit.n_cbits)]
        return [(f"c{k}", a, b - a) for k, (a, b) in enumerate(segments)]

    def _bit(self, bit: int) -> str:
        if not 0 <= bit < self.circuit.n_cbits:
            raise QasmError(f"classical bit {bit} is outside the circuit's {self.circuit.n_cbits} bit(s)")
        for name, first, size in self.registers:
            if first <= bit < first + size:
                return f"{name}[{bit - first}]"
        raise AssertionError("registers cover every bit")

    def _qubit(self, qubit: int) -> str:
        if not 0 <= qubit < self.circuit.n_qubits:
            raise QasmError(f"qubit {qubit} is outside the circuit's {self.circuit.n_qubits} qubit(s)")
        return f"q[{qubit}]"

    # -- parameters -----------------------------------------------------------------------

    def _variable(self, name) -> str:
        if self.version == 2:
            raise QasmError(f"symbolic parameter {name!r} cannot be written in OpenQASM 2.0; "
                            "bind it first or write OpenQASM 3.0")
        if not isinstance(name, str) or not _IDENTIFIER.match(name) or name in _RESERVED \
                or _REGISTER_NAME.match(name):
            raise QasmError(f"parameter name {name!r} is not a usable OpenQASM identifier")
        if name not in self.inputs:
            self.inputs.append(name)
        return name

    def _scalar(self, s: Scalar) -> str:
        if isinstance(s, Literal) or isinstance(s, AssignedVariable):
            return _decimal_text(s.value)
        if isinstance(s, Variable):
            return self._variable(s.name)
        if isinstance(s, Negative):
            return f"(-{self._scalar(s.expr)})"
        if isinstance(s, (Add, Mul, Div)):
            symbol = {Add: "+", Mul: "*", Div: "/"}[type(s)]
            return f"({self._scalar(s.lhs)} {symbol} {self._scalar(s.rhs)})"
        if isinstance(s, (Min, Max)):
            try:
                return self._number(s.evaluate({}))
            except ValueError:
                raise QasmError(f"{s.print_node()} of symbolic parameters has no OpenQASM "
                                "form") from None
        raise QasmError(f"parameter {s!r} has no OpenQASM form")

    @staticmethod
    def _number(value: float) -> str:
        return _decimal_text(Decimal(repr(float(value))))

    # -- instructions ---------------------------------------------------------------------

    def _call(self, name: str, params: list[str], qubits) -> str:
        args = ", ".join(self._qubit(q) for q in qubits)
        return f"{name}({', '.join(params)}) {args};" if params else f"{name} {args};"

    def _gate_lines(self, gate: g.Gate) -> list[str]:
        if not isinstance(gate, g.Gate):
            raise QasmError(f"{gate!r} is not a gate and cannot be written")
        if len(set(gate.targets)) != len(gate.targets):
            raise QasmError(f"{gate.print_node()} lists a qubit twice: {gate.targets}")
        spec = BY_CLASS.get(type(gate))
        if spec is not None:
            spelling = spec.qasm(self.version)
            if spelling.definition is not None:
                self.definitions[spelling.name] = spelling.definition
            params = [self._scalar(p) for p in gate.params] if isinstance(gate, g.ParametricGate) else []
            return [self._call(spelling.name, params, gate.targets)]
        matrix = np.asarray(gate.matrix(), dtype=np.complex128)
        side = 1 << len(gate.targets)
        if matrix.shape != (side, side) or not np.allclose(matrix.conj().T @ matrix, np.eye(side),
                                                           atol=1e-9):
            raise QasmError(f"{gate.print_node()} on {gate.targets} does not have a unitary "
                            f"{side}x{side} matrix")
        controlled = self._controlled_one_qubit(matrix, gate.targets)
        if controlled is not None:
            return controlled
        lines = []
        for name, angles, local in synthesize(matrix):
            qubits = [gate.targets[k] for k in local]
            lines.append(self._call(name, [self._number(a) for a in angles], qubits))
        return lines

    def _controlled_one_qubit(self, matrix: np.ndarray, targets) -> list[str] | None:
        """A two-qubit matrix diag(I, V) as one controlled-U3 with the phase of V."""
        if matrix.shape != (4, 4) or not np.allclose(matrix[:2, :], np.eye(4)[:2, :], atol=1e-12) \
                or not np.allclose(matrix[2:, :2], 0.0, atol=1e-12):
            return None
        *angles, alpha = (self._number(a) for a in one_qubit_angles(matrix[2:, 2:]))
        if self.version == 3:
            return [self._call("cu", [*angles, alpha], targets)]
        return [self._call("cu3", angles, targets), self._call("p", [alpha], targets[:1])]

    def _condition(self, condition: ClassicalCondition) -> str:
        start, stop = self._condition_range(condition)
        if self.version == 3 and stop - start == 1:
            return f"if ({self._bit(start)} {condition.operator} {condition.value})"
        (name,) = [r[0] for r in self.registers if r[1] == start]
        # The condition lists bits most significant first; a register reads bit 0 lowest.
        value = 0
        for position, bit in enumerate(condition.clbits):
            if (condition.value >> (len(condition.clbits) - 1 - position)) & 1:
                value |= 1 << (bit - start)
        if condition.value >> len(condition.clbits):
            value = condition.value  # wider than the register: keep it, so it never matches
        if condition.operator != "==":
            if self.version == 2:
                raise QasmError(f"condition operator {condition.operator!r} cannot be written "
                                "in OpenQASM 2.0, which compares with == only")
            if list(condition.clbits) != list(range(stop - 1, start - 1, -1)):
                raise QasmError("an order comparison must list its register's bits from the "
                                "highest to the lowest")
        return f"if ({name} {condition.operator} {value})"

    def _measurement(self, m: Measurement) -> list[str]:
        bits = m.bits if m.bits else m.qubits
        if len(bits) < len(m.qubits):
            raise QasmError(f"measurement of qubits {m.qubits} into fewer bits {bits} cannot "
                            "be written: OpenQASM measures each qubit into a bit")
        if m.basis is not MeasurementBasis.Z and len(set(m.qubits)) != len(m.qubits):
            raise QasmError(f"{m.basis.value}-basis measurement lists a qubit twice")
        before = {MeasurementBasis.X: ["h"], MeasurementBasis.Y: ["sdg", "h"]}.get(m.basis, [])
        after = {MeasurementBasis.X: ["h"], MeasurementBasis.Y: ["h", "s"]}.get(m.basis, [])
        lines = [self._call(n, [], [q]) for q in m.qubits for n in before]
        for q, b in zip(m.qubits, bits):
            if self.version == 2:
                lines.append(f"measure {self._qubit(q)} -> {self._bit(b)};")
            else:
                lines.append(f"{self._bit(b)} = measure {self._qubit(q)};")
        lines += [self._call(n, [], [q]) for q in m.qubits for n in after]
        return lines

    def _instruction(self, instruction) -> list[str]:
        if isinstance(instruction, ConditionalInstruction):
            prefix = self._condition(instruction.condition)
            return [f"{prefix} {line}" for line in self._gate_lines(instruction.instruction)]
        if isinstance(instruction, Measurement):
            return self._measurement(instruction)
        if isinstance(instruction, g.Gate):
            return self._gate_lines(instruction)
        raise QasmError(f"instruction {instruction!r} has no OpenQASM form")

    def text(self) -> str:
        for index, instruction in enumerate(self.circuit.instructions):
            try:
                self.body += self._instruction(instruction)
            except QasmError as error:
                raise QasmError(f"instruction {index}: {error.message}") from None
        if self.version == 2:
            head = ["OPENQASM 2.0;", 'include "qelib1.inc";']
            declarations = ([f"qreg q[{self.circuit.n_qubits}];"] if self.circuit.n_qubits else [])
            declarations += [f"creg {name}[{size}];" for name, _, size in self.registers if size]
        else:
            head = ["OPENQASM 3.0;", 'include "stdgates.inc";']
            declarations = [f"input float {name};" for name in self.inputs]
            declarations += ([f"qubit[{self.circuit.n_qubits}] q;"] if self.circuit.n_qubits else [])
            declarations += [f"bit[{size}] {name};" for name, _, size in self.registers if size]
        return "\n".join(head + list(self.definitions.values()) + declarations + self.body) + "\n"


def write(circuit: DigitalCircuit, version: int) -> str:
    return _Writer(circuit, version).text()
