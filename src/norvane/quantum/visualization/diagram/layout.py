"""Places every instruction of a circuit in a column of the drawing.

Wires are numbered qubits first (0 .. n_qubits-1), then one wire per classical bit. An
instruction reserves every wire from its first to its last drawn wire, also those its
vertical line only crosses, so no line of one instruction crosses a mark of another in the
same column. Instructions are first given levels, each one past the levels of the
instructions before it that act on the same qubits or classical bits; the instructions of a
level then share as few columns as their reserved wires allow, in circuit order. So the order
of the instructions acting on each wire is kept, and an instruction whose line only crosses a
wire does not push later ones on that wire to the right.

A measurement of several qubits is drawn as one part per qubit, in the order it lists them
(measurements of distinct qubits commute), each with a double line to the bit it writes.
A classically conditioned gate has a double line from the gate down to the bits its
condition reads, a mark on each of them (filled for a bit that must read 1, hollow for 0
when the operator is ==) and the condition written under the last one, as in `c[2]==1`.
"""

from __future__ import annotations

from dataclasses import dataclass

from norvane.quantum.ir.digital.circuit import DigitalCircuit
from norvane.quantum.ir.digital.conditional import ConditionalInstruction
from norvane.quantum.ir.digital.measurement import Measurement, MeasurementBasis
from norvane.quantum.visualization.diagram.labels import (
    BIT, BIT_ONE, BIT_ZERO, BOX, METER, RESULT, gate_glyphs,
)

__all__ = ["Glyph", "Item", "Layout", "layout", "condition_text"]

_METER_TEXT = {MeasurementBasis.Z: "M", MeasurementBasis.X: "Mx", MeasurementBasis.Y: "My"}


@dataclass(frozen=True)
class Glyph:
    """A mark on one wire: a kind from `labels` (BOX, DOT, ...) and, for boxes, its text."""

    wire: int
    kind: str
    text: str = ""


@dataclass(frozen=True)
class Item:
    """One placed instruction (or one measured qubit of a measurement).

    `index` is the instruction's position in the circuit and `part` the position of the
    qubit in a measurement's list (0 otherwise). The item reserves wires `top` to `bottom`.
    `link` is the single vertical line between two qubit wires, `classical_link` the double
    line from a qubit wire down to a classical one; `note` is written under `bottom`.
    """

    index: int
    part: int
    column: int
    top: int
    bottom: int
    glyphs: tuple[Glyph, ...]
    link: tuple[int, int] | None = None
    classical_link: tuple[int, int] | None = None
    note: str | None = None


@dataclass(frozen=True)
class Layout:
    """The drawing's wires (`wire_names`: q0.., then c0..) and its columns of `Item`s."""

    n_qubits: int
    n_cbits: int
    columns: tuple[tuple[Item, ...], ...]

    @property
    def wire_names(self) -> list[str]:
        return [f"q{q}" for q in range(self.n_qubits)] + [f"c{c}" for c in range(self.n_cbits)]

    @property
    def n_wires(self) -> int:
        return self.n_qubits + self.n_cbits


def _bit_list(bits) -> str:
    """Bits in their listed order; runs of three or more consecutive bits as first..last."""
    parts, i = [], 0
    while i < len(bits):
        j = i
        step = bits[i + 1] - bits[i] if i + 1 < len(bits) else 0
        if step in (1, -1):
            while j + 1 < len(bits) and bits[j + 1] - bits[j] == step:
                j += 1
        if j - i >= 2:
            parts.append(f"{bits[i]}..{bits[j]}")
            i = j + 1
        else:
            parts.append(str(bits[i]))
            i += 1
    return ",".join(parts)


def condition_text(condition) -> str:
    """`c[2]==1`; several bits are listed most significant first: `c[2..0]==5`."""
    return f"c[{_bit_list(condition.clbits)}]{condition.operator}{condition.value}"


class _Builder:
    def __init__(self, circuit: DigitalCircuit, precision: int):
        self.n_qubits = circuit.n_qubits
        self.n_cbits = circuit.n_cbits
        self.precision = precision
        # Per wire, the level after the last item acting on it; per level, its items' fields.
        self.frontier = [0] * (self.n_qubits + self.n_cbits)
        self.levels: list[list[tuple]] = []

    def _qubit(self, q, index, what) -> int:
        if not 0 <= q < self.n_qubits:
            raise ValueError(f"instruction {index} ({what}) acts on qubit {q}, but the circuit "
                             f"has {self.n_qubits} qubit(s)")
        return q

    def _cbit_wire(self, b, index, what) -> int:
        if not 0 <= b < self.n_cbits:
            raise ValueError(f"instruction {index} ({what}) uses classical bit {b}, but the "
                             f"circuit has {self.n_cbits} classical bit(s)")
        return self.n_qubits + b

    def place(self, index, part, glyphs, link=None, classical_link=None, note=None) -> None:
        wires = [glyph.wire for glyph in glyphs]
        level = max(self.frontier[w] for w in wires)
        for w in wires:
            self.frontier[w] = level + 1
        if level == len(self.levels):
            self.levels.append([])
        self.levels[level].append((index, part, min(wires), max(wires), tuple(glyphs), link,
                                   classical_link, note))

    def columns(self) -> tuple[tuple[Item, ...], ...]:
        columns: list[list[Item]] = []
        for level in self.levels:
            first, reserved = len(columns), []
            for index, part, top, bottom, *rest in level:
                span = (1 << (bottom + 1)) - (1 << top)
                k = next((k for k, mask in enumerate(reserved) if not mask & span), len(reserved))
                if k == len(reserved):
                    reserved.append(0)
                    columns.append([])
                reserved[k] |= span
                columns[first + k].append(Item(index, part, first + k, top, bottom, *rest))
        return tuple(tuple(column) for column in columns)

    def gate(self, index, gate) -> tuple[list[Glyph], tuple[int, int] | None]:
        what = type(gate).__name__
        try:
            made = gate_glyphs(gate, self.precision)
        except AttributeError:
            raise TypeError(f"instruction {index} is a {what}, which is neither a gate, a "
                            "measurement nor a conditional gate") from None
        if not made:
            raise ValueError(f"instruction {index} ({what}) has no targets")
        glyphs = [Glyph(self._qubit(q, index, what), kind, text) for q, kind, text in made]
        qubits = [glyph.wire for glyph in glyphs]
        if len(set(qubits)) != len(qubits):
            raise ValueError(f"instruction {index} ({what}) names qubit(s) {qubits} more than once")
        link = (min(qubits), max(qubits)) if len(qubits) > 1 else None
        return glyphs, link

    def measurement(self, index, measurement: Measurement) -> None:
        # A bit list shorter than the qubits leaves the rest unrecorded; none means bit q for q.
        bits = measurement.bits or measurement.qubits
        text = _METER_TEXT[measurement.basis]
        for part, q in enumerate(measurement.qubits):
            meter = Glyph(self._qubit(q, index, "Measurement"), METER, text)
            if part < len(bits):
                wire = self._cbit_wire(bits[part], index, "Measurement")
                self.place(index, part, [meter, Glyph(wire, RESULT)], classical_link=(q, wire))
            else:
                self.place(index, part, [meter])

    def conditional(self, index, conditional: ConditionalInstruction) -> None:
        inner = conditional.instruction
        if isinstance(inner, (Measurement, ConditionalInstruction)):
            raise TypeError(f"instruction {index}: a condition can only be drawn around a gate, "
                            f"not a {type(inner).__name__}")
        condition = conditional.condition
        if not condition.clbits:
            raise ValueError(f"instruction {index}: its classical condition reads no bits")
        glyphs, link = self.gate(index, inner)
        width = len(condition.clbits)
        marks = {}
        for position, b in enumerate(condition.clbits):
            wire = self._cbit_wire(b, index, "ConditionalInstruction")
            if condition.operator == "==":
                bit = (condition.value >> (width - 1 - position)) & 1
                kind = BIT_ONE if bit else BIT_ZERO
            else:
                kind = BIT
            if marks.get(wire, kind) != kind:
                kind = BIT   # a bit listed twice with different required values
            marks[wire] = kind
        glyphs += [Glyph(wire, kind) for wire, kind in marks.items()]
        lowest_qubit = max(glyph.wire for glyph in glyphs if glyph.wire < self.n_qubits)
        self.place(index, 0, glyphs, link, (lowest_qubit, max(marks)), condition_text(condition))


def layout(circuit: DigitalCircuit, *, precision: int = 3) -> Layout:
    """The columns of the drawing of `circuit`: each a tuple of `Item`s on disjoint wire
    ranges, in instruction order. Numbers are written with `precision` significant digits
    (multiples of π/k as such)."""
    if not isinstance(circuit, DigitalCircuit):
        raise TypeError(f"expected a DigitalCircuit, got {type(circuit).__name__}")
    if isinstance(precision, bool) or not isinstance(precision, int) or precision < 1:
        raise ValueError(f"precision must be a positive integer, got {precision!r}")
    builder = _Builder(circuit, precision)
    for index, instruction in enumerate(circuit.instructions):
        if isinstance(instruction, Measurement):
            builder.measurement(index, instruction)
        elif isinstance(instruction, ConditionalInstruction):
            builder.conditional(index, instruction)
        else:
            glyphs, link = builder.gate(index, instruction)
            builder.place(index, 0, glyphs, link)
    return Layout(circuit.n_qubits, circuit.n_cbits, builder.columns())

