"""The standard OpenQASM gates (qelib1.inc, stdgates.inc and the built-ins) as kit gates.

A gate call names its qubits in the order the gate lists them (controls first), which is the
kit's target order too: `cx a, b` is `CX([a, b])` whatever the register's bit order. The gates
the kit has, and their names in each version, come from the kit's gate table. Gates the kit
lacks become a `UnitaryGate` with the gate's exact matrix (first target most significant);
they need numeric parameters. `id` and `u0` act as the identity and add nothing.
"""

from __future__ import annotations

from typing import Callable, Sequence

import numpy as np

from norvane.quantum.ir.digital import gate as g
from norvane.quantum.ir.digital.gate_table import GATES
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

# Standard gates the kit has no class for: name -> (n_params, n_qubits, make).
_OTHERS_COMMON = {
    "id": (0, 1, _nothing),
    "ch": (0, 2, _unitary(lambda: _controlled(_H), "ch")),
    "cu": (4, 2, _unitary(_cu, "cu")),
}

_OTHERS_QASM2 = {
    "u0": (1, 1, _nothing),
    "cu3": (3, 2, _unitary(lambda *a: _controlled(_u3(*a)), "cu3")),
    "csx": (0, 2, _unitary(lambda: _controlled(_SX), "csx")),
    "rccx": (0, 3, _unitary(lambda: _RCCX, "rccx")),
    "rc3x": (0, 4, _unitary(lambda: _RC3X, "rc3x")),
    "c3x": (0, 4, _unitary(lambda: _controlled(_X, 3), "c3x")),
    "c3sqrtx": (0, 4, _unitary(lambda: _controlled(_SX, 3), "c3sqrtx")),
    "c4x": (0, 5, _unitary(lambda: _controlled(_X, 4), "c4x")),
}


def _kit_gates(version: int) -> tuple[dict, dict]:
    """The gate table's built-ins and library gates of OpenQASM `version`, each as
    name -> (n_params, n_qubits, make)."""
    builtins, library = {}, {}
    for spec in GATES:
        spelling = spec.qasm(version)
        entry = (spec.n_params, spec.n_qubits, _kit(spec.cls))
        builtins.update(dict.fromkeys(spelling.builtins, entry))
        library.update(dict.fromkeys(spelling.library_names, entry))
    return builtins, library


def _table(*parts: dict) -> dict[str, StdGate]:
    return {name: StdGate(name, *spec) for part in parts for name, spec in part.items()}


_BUILTINS2, _LIBRARY2 = _kit_gates(2)
_BUILTINS3, _LIBRARY3 = _kit_gates(3)
QASM2_BUILTINS = _table(_BUILTINS2)
QASM2_GATES = _table(_LIBRARY2, _OTHERS_COMMON, _OTHERS_QASM2)
QASM3_BUILTINS = _table(_BUILTINS3)
QASM3_GATES = _table(_LIBRARY3, _OTHERS_COMMON)
