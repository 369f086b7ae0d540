"""What each instruction looks like: gate names, parameter text and the glyph on each wire."""

from __future__ import annotations

import math
from functools import lru_cache

from norvane.quantum.ir.digital import gate as g
from norvane.quantum.ir.scalar import Literal, Scalar

__all__ = [
    "BOX", "DOT", "OPLUS", "SWAP", "METER", "BIT_ONE", "BIT_ZERO", "BIT", "RESULT",
    "format_number", "format_param", "gate_glyphs",
]

# Glyph kinds. BOX and METER carry their text; the others are fixed marks.
BOX = "box"            # a labelled box on a qubit wire
DOT = "dot"            # a control (or either qubit of a CZ)
OPLUS = "oplus"        # the target of a CX or CCX
SWAP = "swap"          # one end of a SWAP or CSWAP
METER = "meter"        # a measurement box
BIT_ONE = "bit1"       # a condition bit that must read 1 (operator ==)
BIT_ZERO = "bit0"      # a condition bit that must read 0 (operator ==)
BIT = "bit"            # a condition bit compared by another operator
RESULT = "result"      # where a measurement writes its classical bit

_FIXED_NAMES = {
    g.H: "H", g.X: "X", g.Y: "Y", g.Z: "Z", g.S: "S", g.Sdg: "S†", g.T: "T", g.Tdg: "T†",
    g.SX: "√X", g.SXdg: "√X†",
}
_PARAM_NAMES = {
    g.RX: "RX", g.RY: "RY", g.RZ: "RZ", g.Phase: "P", g.U1: "U1", g.U2: "U2", g.U3: "U3", g.U: "U",
    g.CRX: "RX", g.CRY: "RY", g.CRZ: "RZ", g.CPhase: "P", g.RXX: "RXX", g.RYY: "RYY", g.RZZ: "RZZ",
}
# Gates drawn as control dots on their first targets and a mark or box on the rest.
_CONTROLS = {g.CX: 1, g.CY: 1, g.CZ: 1, g.CCX: 2, g.CSWAP: 1, g.CRX: 1, g.CRY: 1, g.CRZ: 1,
             g.CPhase: 1}
_TARGET_MARKS = {g.CX: OPLUS, g.CCX: OPLUS, g.CZ: DOT, g.SWAP: SWAP, g.CSWAP: SWAP}
# Multi-qubit boxes whose matrix is symmetric in its qubits need no position marks.
_SYMMETRIC = (g.RXX, g.RYY, g.RZZ)

# Denominators tried when writing an angle as a multiple of pi.
_PI_DENOMINATORS = (1, 2, 3, 4, 5, 6, 8, 10, 12, 16, 32, 64)
_SUBSCRIPTS = str.maketrans("0123456789", "₀₁₂₃₄₅₆₇₈₉")


@lru_cache(maxsize=4096)
def format_number(value: float, precision: int = 3) -> str:
    """`value` as n·π/k when it is one (to 1e-9, k up to 64), else in `precision` significant
    digits: 0.785 is written π/4, 1.1 stays 1.1."""
    if value == 0 or not math.isfinite(value):
        return "0" if value == 0 else str(value)
    ratio = value / math.pi
    for k in _PI_DENOMINATORS:
        n = round(ratio * k)
        if n and abs(ratio * k - n) <= 1e-9 * abs(n):
            sign, n = ("-" if n < 0 else ""), abs(n)
            numerator = "π" if n == 1 else f"{n}π"
            return sign + numerator + ("" if k == 1 else f"/{k}")
    text = f"{value:.{precision}g}"
    if "e" in text:
        mantissa, exponent = text.split("e")
        text = f"{mantissa}e{int(exponent)}"
    return text


def format_param(param: Scalar, precision: int = 3) -> str:
    """A gate parameter: a number compactly (see `format_number`), a symbolic one by its
    expression (variables by name)."""
    if isinstance(param, Literal):
        return format_number(param.evaluate(), precision)
    return param.print_node()


def _label(gate, precision: int) -> str:
    cls = type(gate)
    name = _FIXED_NAMES.get(cls)
    if name is not None:
        return name
    name = _PARAM_NAMES.get(cls)
    if name is not None:
        return f"{name}({','.join(format_param(p, precision) for p in gate.params)})"
    return gate.print_node()


def gate_glyphs(gate, precision: int = 3) -> list[tuple[int, str, str]]:
    """(qubit, glyph kind, text) for each target of `gate`, in target order."""
    cls = type(gate)
    targets = gate.targets
    controls = _CONTROLS.get(cls, 0)
    glyphs = [(q, DOT, "") for q in targets[:controls]]
    rest = targets[controls:]
    mark = _TARGET_MARKS.get(cls)
    if mark is not None:
        return glyphs + [(q, mark, "") for q in rest]
    if cls is g.CY:
        return glyphs + [(rest[0], BOX, "Y")]
    label = _label(gate, precision)
    if len(rest) == 1 or cls in _SYMMETRIC:
        return glyphs + [(q, BOX, label) for q in rest]
    # A box per target, numbered by its position in the gate's matrix order.
    return glyphs + [(q, BOX, label + str(i).translate(_SUBSCRIPTS)) for i, q in enumerate(rest)]
