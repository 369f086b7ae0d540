"""The standard gate classes of `norvane.quantum.ir.digital.gate` in one table.

Each entry gives a class (whose qubit and parameter counts and serializer tag follow from it),
its OpenQASM 2.0 and 3.0 spellings and whether the two-term parameter-shift rule gives exact
gradients of its parameters. The OpenQASM reader and writer, the serializer's registration, the
gradient module's shift-rule set and the `norvane gates` command read this table, so a new gate
needs its class (with its matrix) and one entry here.
"""

from __future__ import annotations

from dataclasses import dataclass
from types import MappingProxyType
from typing import Mapping

from norvane.quantum.ir.digital import gate as g

__all__ = ["QasmSpelling", "GateSpec", "GATES", "BY_CLASS"]


@dataclass(frozen=True)
class QasmSpelling:
    """How one OpenQASM version names a gate.

    The writer calls `name`. Without a `definition`, `name` is a gate of the version's
    standard library (or one of its `builtins`); with one, the library lacks the gate and
    the writer puts the `gate` definition in the file. The reader also takes the library
    names `aliases` for the gate, and `builtins` without any include.
    """

    name: str
    definition: str | None = None
    aliases: tuple[str, ...] = ()
    builtins: tuple[str, ...] = ()

    @property
    def library_names(self) -> tuple[str, ...]:
        """The names the version's standard library gives the gate."""
        own = self.definition is None and self.name not in self.builtins
        return ((self.name,) if own else ()) + self.aliases


@dataclass(frozen=True)
class GateSpec:
    """One standard gate class and what the kit's tools know of it."""

    cls: type[g.Gate]
    qasm2: QasmSpelling
    qasm3: QasmSpelling
    # Each parameter x, the others fixed, enters as exp(-i x G) with G of two eigenvalues one
    # apart, so every expectation value is a sinusoid of x and the two-term shift rule exact.
    shift_rule: bool = False
    # Listed in the gradient module's `_PARAMETER_SHIFT_GATES`, a published set that has always
    # held the one-parameter rotations including the controlled ones (whose gradients need the
    # four-term rule) and none of the U family.
    shift_listed: bool = False

    @property
    def name(self) -> str:
        return self.cls.__name__

    @property
    def n_qubits(self) -> int:
        return self.cls.n_targets

    @property
    def n_params(self) -> int:
        return self.cls.n_params if issubclass(self.cls, g.ParametricGate) else 0

    @property
    def tag(self) -> str:
        """The key the serializer registry writes instances under: the qualified class name."""
        return f"{self.cls.__module__}.{self.cls.__qualname__}"

    def qasm(self, version: int) -> QasmSpelling:
        """The spelling in OpenQASM `version` (2 or 3)."""
        return {2: self.qasm2, 3: self.qasm3}[version]


def _same(name: str, **fields) -> tuple[QasmSpelling, QasmSpelling]:
    spelling = QasmSpelling(name, **fields)
    return spelling, spelling


def _entry(cls, spellings: tuple[QasmSpelling, QasmSpelling], shift_rule: bool = False,
           shift_listed: bool | None = None) -> GateSpec:
    listed = shift_rule if shift_listed is None else shift_listed
    return GateSpec(cls, *spellings, shift_rule=shift_rule, shift_listed=listed)


_SXDG = "gate sxdg a { h a; sdg a; h a; }"
_RXX = "gate rxx(theta) a, b { h a; h b; cx a, b; rz(theta) b; cx a, b; h a; h b; }"
_RYY = ("gate ryy(theta) a, b { rx(pi/2) a; rx(pi/2) b; cx a, b; rz(theta) b; cx a, b; "
        "rx(-pi/2) a; rx(-pi/2) b; }")
_RZZ = "gate rzz(theta) a, b { cx a, b; rz(theta) b; cx a, b; }"

GATES: tuple[GateSpec, ...] = (
    _entry(g.H, _same("h")),
    _entry(g.X, _same("x")),
    _entry(g.Y, _same("y")),
    _entry(g.Z, _same("z")),
    _entry(g.S, _same("s")),
    _entry(g.Sdg, _same("sdg")),
    _entry(g.T, _same("t")),
    _entry(g.Tdg, _same("tdg")),
    _entry(g.SX, _same("sx")),
    _entry(g.SXdg, (QasmSpelling("sxdg"), QasmSpelling("sxdg", _SXDG))),
    _entry(g.CX, (QasmSpelling("cx", builtins=("CX",)), QasmSpelling("cx", aliases=("CX",)))),
    _entry(g.CY, _same("cy")),
    _entry(g.CZ, _same("cz")),
    _entry(g.SWAP, _same("swap")),
    _entry(g.CCX, _same("ccx")),
    _entry(g.CSWAP, _same("cswap")),
    _entry(g.RX, _same("rx"), shift_rule=True),
    _entry(g.RY, _same("ry"), shift_rule=True),
    _entry(g.RZ, _same("rz"), shift_rule=True),
    _entry(g.Phase, (QasmSpelling("p"), QasmSpelling("p", aliases=("phase",))), shift_rule=True),
    _entry(g.U1, _same("u1"), shift_rule=True),
    # U3(theta, phi, lambda) is RZ(phi) RY(theta) RZ(lambda) up to a global phase: each
    # parameter alone enters one Pauli rotation.
    _entry(g.U2, _same("u2"), shift_rule=True, shift_listed=False),
    _entry(g.U3, _same("u3"), shift_rule=True, shift_listed=False),
    _entry(g.U, (QasmSpelling("U", aliases=("u",), builtins=("U",)),
                 QasmSpelling("U", builtins=("U",))), shift_rule=True, shift_listed=False),
    # A controlled rotation's generator has the eigenvalues 0 and +-1/2: three values, two
    # frequencies, which the two-term rule cannot separate.
    _entry(g.CRX, _same("crx"), shift_listed=True),
    _entry(g.CRY, _same("cry"), shift_listed=True),
    _entry(g.CRZ, _same("crz"), shift_listed=True),
    _entry(g.CPhase, (QasmSpelling("cp", aliases=("cu1",)),
                      QasmSpelling("cp", aliases=("cphase",))), shift_rule=True),
    _entry(g.RXX, (QasmSpelling("rxx"), QasmSpelling("rxx", _RXX)), shift_rule=True),
    _entry(g.RYY, _same("ryy", definition=_RYY), shift_rule=True),
    _entry(g.RZZ, (QasmSpelling("rzz"), QasmSpelling("rzz", _RZZ)), shift_rule=True),
)

BY_CLASS: Mapping[type, GateSpec] = MappingProxyType({spec.cls: spec for spec in GATES})
