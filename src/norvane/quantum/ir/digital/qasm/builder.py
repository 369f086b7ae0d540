"""Builds a `DigitalCircuit` from the statements of an OpenQASM program, whichever version.

Registers are flattened in declaration order: the first declared qubit register takes kit
qubits 0.., the next one follows, and the same for classical bits. User gate definitions are
expanded into kit gates at each call. A register condition `c == n` reads the register's bit
0 as the least significant bit of n, so the kit condition lists the register's bits from the
last down to the first (its first listed bit is the most significant).

`reset` is kept exact without a reset instruction: a qubit that nothing has touched yet is
already |0>, so its reset adds nothing; a qubit whose last operation was a measurement into
a bit that still holds the outcome is |bit>, so its reset is an X conditioned on that bit.
A reset of a qubit in any other state is refused.
"""

from __future__ import annotations

from typing import Mapping, Sequence

from norvane.quantum.ir.digital.circuit import DigitalCircuit
from norvane.quantum.ir.digital.conditional import ClassicalCondition, ConditionalInstruction
from norvane.quantum.ir.digital.gate import X
from norvane.quantum.ir.digital.measurement import Measurement
from norvane.quantum.ir.digital.qasm.errors import QasmError
from norvane.quantum.ir.digital.qasm.expr import Expr, Value, evaluate
from norvane.quantum.ir.digital.qasm.stdgates import StdGate

__all__ = ["CircuitBuilder", "GateDef", "GateCall", "Position", "DEFAULT_MAX_OPERATIONS"]

# Bounds the work of one import: gate definitions can nest to expand exponentially and
# registers can be declared huge, and neither may hang the reader or exhaust memory.
DEFAULT_MAX_OPERATIONS = 4_000_000

Position = tuple[int, int]


class GateCall:
    """One call inside a gate body: the gate (resolved when the body is defined), parameter
    expressions over the body's parameters, and indices into the body's qubit arguments."""

    __slots__ = ("gate", "params", "qubits", "position")

    def __init__(self, gate, params: Sequence[Expr], qubits: Sequence[int], position: Position):
        self.gate = gate
        self.params = tuple(params)
        self.qubits = tuple(qubits)
        self.position = position


class GateDef:
    """A user gate: named parameters and qubit arguments, and the calls of its body."""

    __slots__ = ("name", "param_names", "n_qubits", "body", "size")

    def __init__(self, name: str, param_names: Sequence[str], n_qubits: int,
                 body: Sequence[GateCall]):
        self.name = name
        self.param_names = tuple(param_names)
        self.n_qubits = n_qubits
        self.body = tuple(body)
        self.size = sum(call.gate.size for call in self.body)

    @property
    def n_params(self) -> int:
        return len(self.param_names)


def _fail(message: str, position: Position) -> QasmError:
    return QasmError(message, *position)


class CircuitBuilder:
    """Collects registers, gate definitions and instructions; `circuit()` gives the result."""

    def __init__(self, builtins: Mapping[str, StdGate], library: Mapping[str, StdGate],
                 library_file: str, max_operations: int = DEFAULT_MAX_OPERATIONS):
        self.gates: dict[str, StdGate | GateDef] = dict(builtins)
        self._library = library
        self._library_file = library_file
        self._user_gates: set[str] = set()
        self.qregs: dict[str, tuple[int, int]] = {}   # name -> (first kit qubit, size)
        self.cregs: dict[str, tuple[int, int]] = {}
        self.n_qubits = 0
        self.n_cbits = 0
        self.instructions: list = []
        self._budget = max_operations
        # Qubits touched so far: the bit holding a qubit's state (measured last), or None.
        self._touched: dict[int, int | None] = {}

    # -- declarations ---------------------------------------------------------------------

    def _spend(self, amount: int, position: Position) -> None:
        self._budget -= amount
        if self._budget < 0:
            raise _fail("the program expands to too many operations", position)

    def _declare(self, registers: dict, first: int, name: str, size: int,
                 position: Position) -> int:
        """Record register `name` of `size` bits from `first`; return the next free index."""
        if name in self.qregs or name in self.cregs:
            raise _fail(f"{name!r} is already declared", position)
        if size <= 0:
            raise _fail(f"register {name!r} needs a positive size, got {size}", position)
        self._spend(size, position)
        registers[name] = (first, size)
        return first + size

    def add_qreg(self, name: str, size: int, position: Position) -> None:
        self.n_qubits = self._declare(self.qregs, self.n_qubits, name, size, position)

    def add_creg(self, name: str, size: int, position: Position) -> None:
        self.n_cbits = self._declare(self.cregs, self.n_cbits, name, size, position)

    def define_gate(self, definition: GateDef, position: Position) -> None:
        if definition.name in self._user_gates:
            raise _fail(f"gate {definition.name!r} is already defined", position)
        # A user definition may replace a standard gate of the same name.
        self._user_gates.add(definition.name)
        self.gates[definition.name] = definition

    def include_library(self) -> None:
        """Make the standard gates callable, keeping user gates of the same names."""
        for name, gate in self._library.items():
            if name not in self._user_gates:
                self.gates[name] = gate

    def lookup_gate(self, name: str, position: Position) -> StdGate | GateDef:
        gate = self.gates.get(name)
        if gate is None:
            hint = ""
            if name in self._library:
                hint = f" (include \"{self._library_file}\" for the standard gates)"
            raise _fail(f"unknown gate {name!r}{hint}", position)
        return gate

    # -- operands -------------------------------------------------------------------------

    @staticmethod
    def _bits(registers, kind: str, name: str, index: int | None,
              position: Position) -> list[int]:
        if name not in registers:
            raise _fail(f"unknown {kind} register {name!r}", position)
        first, size = registers[name]
        if index is None:
            return list(range(first, first + size))
        if not -size <= index < size:
            raise _fail(f"index {index} is out of range for {kind} register {name!r} of size {size}",
                        position)
        return [first + (index % size)]

    def qubits(self, name: str, index: int | None, position: Position) -> list[int]:
        """The kit qubits of `name[index]`, or of the whole register when index is None."""
        return self._bits(self.qregs, "qubit", name, index, position)

    def clbits(self, name: str, index: int | None, position: Position) -> list[int]:
        return self._bits(self.cregs, "classical", name, index, position)

    def register_condition(self, name: str, value: int, operator: str,
                           position: Position) -> ClassicalCondition:
        """`name <operator> value`, the register read with its bit 0 least significant."""
        bits = self.clbits(name, None, position)
        return self.bits_condition(bits, value, operator, position)

    @staticmethod
    def bits_condition(bits: list[int], value: int, operator: str,
                       position: Position) -> ClassicalCondition:
        """`bits <operator> value` with bits[0] the least significant bit of the value."""
        if value < 0:
            raise _fail(f"a condition compares with a non-negative integer, got {value}", position)
        return ClassicalCondition(tuple(reversed(bits)), value, operator)

    # -- instructions ---------------------------------------------------------------------

    @staticmethod
    def broadcast(operands: Sequence[list[int]], position: Position) -> list[tuple[int, ...]]:
        """One qubit tuple per application: whole registers pair up element by element."""
        sizes = {len(op) for op in operands if len(op) != 1}
        if not sizes:
            return [tuple(op[0] for op in operands)]
        if len(sizes) > 1:
            raise _fail(f"registers of different sizes {sorted(sizes)} in one statement", position)
        count = sizes.pop()
        return [tuple(op[0] if len(op) == 1 else op[i] for op in operands) for i in range(count)]

    def apply_gate(self, name: str, params: Sequence[Value], operands: Sequence[list[int]],
                   position: Position, condition: ClassicalCondition | None = None) -> None:
        gate = self.lookup_gate(name, position)
        if len(params) != gate.n_params:
            raise _fail(f"gate {name!r} takes {gate.n_params} parameter(s), got {len(params)}",
                        position)
        if len(operands) != gate.n_qubits:
            raise _fail(f"gate {name!r} acts on {gate.n_qubits} qubit(s), got {len(operands)}",
                        position)
        applications = self.broadcast(operands, position)
        self._spend(len(applications) * max(gate.size, 1), position)
        for qubits in applications:
            if len(set(qubits)) != len(qubits):
                raise _fail(f"gate {name!r} is given the same qubit twice", position)
            self._emit(gate, list(params), list(qubits), position, condition)

    def _emit(self, gate, params: list, qubits: list[int], position: Position,
              condition: ClassicalCondition | None) -> None:
        if isinstance(gate, GateDef):
            env = dict(zip(gate.param_names, params))
            for call in gate.body:
                values = [evaluate(p, env) for p in call.params]
                self._emit(call.gate, values, [qubits[i] for i in call.qubits], call.position,
                           condition)
            return
        try:
            made = gate.emit(params, qubits)
        except ValueError as error:
            raise _fail(str(error), position) from None
        if condition is not None:
            made = [ConditionalInstruction(instruction=m, condition=condition) for m in made]
        self.instructions.extend(made)
        for q in qubits:
            self._touched[q] = None

    def measure(self, qubits: list[int], bits: list[int], position: Position) -> None:
        if len(qubits) != len(bits):
            raise _fail(f"measure pairs {len(qubits)} qubit(s) with {len(bits)} bit(s)", position)
        self._spend(len(qubits), position)
        self.instructions.append(Measurement(qubits=tuple(qubits), bits=tuple(bits)))
        overwritten = set(bits)
        for q, held in self._touched.items():
            if held in overwritten:
                self._touched[q] = None
        for q, b in zip(qubits, bits):
            self._touched[q] = b

    def reset(self, qubits: list[int], position: Position) -> None:
        self._spend(len(qubits), position)
        for q in qubits:
            if q not in self._touched:
                continue   # still |0>
            held = self._touched[q]
            if held is None:
                raise _fail(f"reset of qubit {q} is not supported: only a qubit that is untouched "
                            "or was just measured can be reset exactly", position)
            self.instructions.append(ConditionalInstruction(
                instruction=X((q,)), condition=ClassicalCondition((held,), 1)))
            del self._touched[q]

    def circuit(self, name: str | None = None) -> DigitalCircuit:
        return DigitalCircuit(self.n_qubits, tuple(self.instructions), n_cbits=self.n_cbits,
                              name=name)
