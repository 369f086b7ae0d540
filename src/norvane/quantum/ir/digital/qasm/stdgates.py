"""The standard OpenQASM gates (qelib1.inc, stdgates.inc and the built-ins) as kit gates.

A gate call names its qubits in the order the gate lists them (controls first), which is the
kit's target order too: `cx a, b` is `CX([a, b])` whatever the register's bit order. Gates the
kit lacks become a `UnitaryGate` with the gate's exact matrix (first target most significant);
they need numeric parameters. `id` and `u0` act as the identity and add nothing.
"""

from __future__ import annotations

import math
from typing import Callable, Sequence

import numpy as np

from norvane.quantum.ir.digital import gate as g
from norvane.quantum.ir.scalar import Scalar

__all__ = ["StdGate", "QASM2_GATES", "QASM2_BUILTINS", "QASM3_GATES", "QASM3_BUILTINS"]


class StdGate:
    """A standard gate: its arity and how a call becomes kit gates."""

    __slots__ = ("name", "n_params", "n_qubits", "_make")

    def __init__(self, name: str, n_params: int, n_qubits: int,
                 make: Callable[[Sequence, list[int]], list]):
        self.name = name
        self.n_params = n_params
        self.n_qubits = n_qubits
        self._make = make

    def emit(self, params: Sequence, qubits: list[int]) -> list:
        return self._make(params, qubits)

    @property
    def size(self) -> int:
        """How many kit instructions one call adds."""
        return 0 if self._make is _nothing else 1


def _nothing(params, qubits):
    return []


def _kit(cls):
    if issubclass(cls, g.ParametricGate):
        return lambda params, qubits: [cls(qubits, list(params))]
    return lambda params, qubits: [cls(qubits)]


def _controlled(u: np.ndarray, controls: int = 1) -> np.ndarray:
    for _ in range(controls):
        d = u.shape[0]
        m = np.eye(2 * d, dtype=np.complex128)
        m[d:, d:] = u
        u = m
    return u


def _u3(theta, phi, lam) -> np.ndarray:
    return g.U3([0], [theta, phi, lam]).matrix()


def _product(n_qubits: int, gates: list) -> np.ndarray:
    """The matrix of `gates` applied in order to qubits 0..n-1 (qubit 0 most significant)."""
    total = np.eye(1 << n_qubits, dtype=np.complex128)
    for gate in gates:
        k = len(gate.targets)
        m = gate.matrix().reshape((2,) * (2 * k))
        t = total.reshape((2,) * n_qubits + (-1,))
        t = np.tensordot(m, t, axes=(list(range(k, 2 * k)), list(gate.targets)))
        t = np.moveaxis(t, list(range(k)), list(gate.targets))
        total = t.reshape(1 << n_qubits, -1)
    return total


def _relative_phase_toffoli() -> np.ndarray:
    # rccx a, b, c: a Toffoli up to relative phases, three CX long.
    h, t, tdg = g.H, g.T, g.Tdg
    return _product(3, [h([2]), t([2]), g.CX([1, 2]), tdg([2]), g.CX([0, 2]), t([2]),
                        g.CX([1, 2]), tdg([2]), h([2])])


def _relative_phase_c3x() -> np.ndarray:
    h, t, tdg, cx = g.H, g.T, g.Tdg, g.CX
    return _product(4, [h([3]), t([3]), cx([2, 3]), tdg([3]), h([3]), cx([0, 3]), t([3]),
                        cx([1, 3]), tdg([3]), cx([0, 3]), t([3]), cx([1, 3]), tdg([3]),
                        h([3]), t([3]), cx([2, 3]), tdg([3]), h([3])])


def _unitary(matrix_of: Callable[..., np.ndarray], name: str):
    def make(params, qubits):
        if any(isinstance(p, Scalar) for p in params):
            raise ValueError(f"gate {name!r} needs numeric parameters: the kit holds it as a matrix")
        return [g.UnitaryGate(qubits, matrix_of(*params))]
    return make


def _cu(theta, phi, lam, gamma):
    return _controlled(np.exp(1j * gamma) * _u3(theta, phi, lam))


_X = g.X([0]).matrix()
_H = g.H([0]).matrix()
_SX = g.SX([0]).matrix()
_RCCX = _relative_phase_toffoli()
_RC3X = _relative_phase_c3x()

_COMMON = {
    # name: (n_params, n_qubits, make)
    "x": (0, 1, _kit(g.X)), "y": (0, 1, _kit(g.Y)), "z": (0, 1, _kit(g.Z)),
    "h": (0, 1, _kit(g.H)), "s": (0, 1, _kit(g.S)), "sdg": (0, 1, _kit(g.Sdg)),
    "t": (0, 1, _kit(g.T)), "tdg": (0, 1, _kit(g.Tdg)), "sx": (0, 1, _kit(g.SX)),
    "id": (0, 1, _nothing),
    "rx": (1, 1, _kit(g.RX)), "ry": (1, 1, _kit(g.RY)), "rz": (1, 1, _kit(g.RZ)),
    "p": (1, 1, _kit(g.Phase)), "u1": (1, 1, _kit(g.U1)), "u2": (2, 1, _kit(g.U2)),
    "u3": (3, 1, _kit(g.U3)),
    "cx": (0, 2, _kit(g.CX)), "cy": (0, 2, _kit(g.CY)), "cz": (0, 2, _kit(g.CZ)),
    "swap": (0, 2, _kit(g.SWAP)), "ccx": (0, 3, _kit(g.CCX)), "cswap": (0, 3, _kit(g.CSWAP)),
    "crx": (1, 2, _kit(g.CRX)), "cry": (1, 2, _kit(g.CRY)), "crz": (1, 2, _kit(g.CRZ)),
    "cp": (1, 2, _kit(g.CPhase)),
    "ch": (0, 2, _unitary(lambda: _controlled(_H), "ch")),
    "cu": (4, 2, _unitary(_cu, "cu")),
}

_QASM2_ONLY = {
    "sxdg": (0, 1, _kit(g.SXdg)), "u": (3, 1, _kit(g.U)), "u0": (1, 1, _nothing), "cu1": (1, 2, _kit(g.CPhase)),
    "cu3": (3, 2, _unitary(lambda *a: _controlled(_u3(*a)), "cu3")),
    "rxx": (1, 2, _kit(g.RXX)), "rzz": (1, 2, _kit(g.RZZ)),
    "csx": (0, 2, _unitary(lambda: _controlled(_SX), "csx")),
    "rccx": (0, 3, _unitary(lambda: _RCCX, "rccx")),
    "rc3x": (0, 4, _unitary(lambda: _RC3X, "rc3x")),
    "c3x": (0, 4, _unitary(lambda: _controlled(_X, 3), "c3x")),
    "c3sqrtx": (0, 4, _unitary(lambda: _controlled(_SX, 3), "c3sqrtx")),
    "c4x": (0, 5, _unitary(lambda: _controlled(_X, 4), "c4x")),
}

_QASM3_ONLY = {
    "phase": (1, 1, _kit(g.Phase)), "cphase": (1, 2, _kit(g.CPhase)), "CX": (0, 2, _kit(g.CX)),
}


def _table(*parts: dict) -> dict[str, StdGate]:
    return {name: StdGate(name, *spec) for part in parts for name, spec in part.items()}


QASM2_BUILTINS = _table({"U": (3, 1, _kit(g.U)), "CX": (0, 2, _kit(g.CX))})
QASM2_GATES = _table(_COMMON, _QASM2_ONLY)
QASM3_BUILTINS = _table({"U": (3, 1, _kit(g.U))})
QASM3_GATES = _table(_COMMON, _QASM3_ONLY)
