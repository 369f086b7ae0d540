"""Gate classes of the digital IR.

Matrix convention: a gate on targets (t0, ..., t_{k-1}) has a 2^k x 2^k matrix whose row and
column index puts t0 in the most significant bit. Controlled gates list their controls first.
"""

from __future__ import annotations

import cmath
import math
from typing import Callable, ClassVar

import numpy as np

from norvane.quantum.ir._node import Node, index_tuple
from norvane.quantum.ir.scalar import Scalar, cast

__all__ = [
    "Gate", "ParametricGate", "UnitaryGate", "CustomGate",
    "H", "X", "Y", "Z", "S", "Sdg", "T", "Tdg", "SX", "SXdg",
    "CX", "CY", "CZ", "SWAP", "CCX", "CSWAP",
    "RX", "RY", "RZ", "Phase", "U1", "U2", "U3", "U",
    "CRX", "CRY", "CRZ", "CPhase", "RXX", "RYY", "RZZ",
]

_SQRT1_2 = 1.0 / math.sqrt(2.0)
_COMPLEX128 = np.dtype(np.complex128)


class Gate(Node):
    """A unitary operation on `n_targets` qubits."""

    __slots__ = ("targets",)
    _fields = ("targets",)
    n_targets: ClassVar[int | None] = None

    def __init__(self, targets):
        self.targets = targets = index_tuple(targets, "targets", type(self).__name__)
        if self.n_targets is not None and len(targets) != self.n_targets:
            raise ValueError(
                f"{type(self).__name__} acts on {self.n_targets} qubit(s), "
                f"got {len(targets)} target(s): {targets!r}"
            )

    def matrix(self) -> np.ndarray:
        raise NotImplementedError(f"{type(self).__name__} does not define matrix()")

    def print_node(self) -> str:
        return type(self).__name__


class _FixedGate(Gate):
    """A gate whose matrix is a class constant; `matrix()` returns a fresh copy."""

    __slots__ = ()
    _MATRIX: ClassVar[np.ndarray]

    def __init_subclass__(cls, **kwargs):
        super().__init_subclass__(**kwargs)
        if "_MATRIX" in cls.__dict__:
            cls._MATRIX = np.asarray(cls._MATRIX, dtype=np.complex128)
            cls._MATRIX.setflags(write=False)
            cls.n_targets = int(cls._MATRIX.shape[0]).bit_length() - 1

    def matrix(self) -> np.ndarray:
        return self._MATRIX.copy()


def _controlled(u) -> np.ndarray:
    """Block form diag(I, u): the first target is the control."""
    u = np.asarray(u, dtype=np.complex128)
    d = u.shape[0]
    m = np.eye(2 * d, dtype=np.complex128)
    m[d:, d:] = u
    return m


_I2 = np.eye(2)
_PX = np.array([[0, 1], [1, 0]])
_PY = np.array([[0, -1j], [1j, 0]])
_PZ = np.array([[1, 0], [0, -1]])
_SX = 0.5 * np.array([[1 + 1j, 1 - 1j], [1 - 1j, 1 + 1j]])
_SWAP = np.array([[1, 0, 0, 0], [0, 0, 1, 0], [0, 1, 0, 0], [0, 0, 0, 1]])
_PAULI_PAIRS = {name: np.kron(p, p).astype(np.complex128) for name, p in (("X", _PX), ("Y", _PY), ("Z", _PZ))}


class H(_FixedGate):
    __slots__ = ()
    _MATRIX = _SQRT1_2 * np.array([[1, 1], [1, -1]])


class X(_FixedGate):
    __slots__ = ()
    _MATRIX = _PX


class Y(_FixedGate):
    __slots__ = ()
    _MATRIX = _PY


class Z(_FixedGate):
    __slots__ = ()
    _MATRIX = _PZ


class S(_FixedGate):
    __slots__ = ()
    _MATRIX = np.diag([1, 1j])


class Sdg(_FixedGate):
    __slots__ = ()
    _MATRIX = np.diag([1, -1j])


class T(_FixedGate):
    __slots__ = ()
    _MATRIX = np.diag([1, np.exp(1j * math.pi / 4)])


class Tdg(_FixedGate):
    __slots__ = ()
    _MATRIX = np.diag([1, np.exp(-1j * math.pi / 4)])


class SX(_FixedGate):
    __slots__ = ()
    _MATRIX = _SX


class SXdg(_FixedGate):
    __slots__ = ()
    _MATRIX = _SX.conj().T


class CX(_FixedGate):
    __slots__ = ()
    _MATRIX = _controlled(_PX)


class CY(_FixedGate):
    __slots__ = ()
    _MATRIX = _controlled(_PY)


class CZ(_FixedGate):
    __slots__ = ()
    _MATRIX = _controlled(_PZ)


class SWAP(_FixedGate):
    __slots__ = ()
    _MATRIX = _SWAP


class CCX(_FixedGate):
    __slots__ = ()
    _MATRIX = _controlled(_controlled(_PX))


class CSWAP(_FixedGate):
    __slots__ = ()
    _MATRIX = _controlled(_SWAP)


class ParametricGate(Gate):
    """A gate whose matrix depends on `n_params` scalar parameters.

    `params` holds them as scalars: plain numbers become literals and texts variables (`cast`),
    so a gate compares equal to itself after a round trip through its dictionary form.
    `_eval_params(**bindings)` evaluates them to floats, taking each variable from the bindings.
    """

    __slots__ = ("params",)
    _fields = ("targets", "params")
    n_params: ClassVar[int] = 1

    def __init__(self, targets, params):
        super().__init__(targets)
        if type(params) is not tuple and (isinstance(params, (str, bytes, Scalar)) or not hasattr(params, "__iter__")):
            params = (params,)
        if len(params) == 1:  # most gates: no comprehension to run
            p = params[0]
            self.params = (p if isinstance(p, Scalar) else cast(p),)
        else:
            self.params = tuple([p if isinstance(p, Scalar) else cast(p) for p in params])
        if len(self.params) != self.n_params:
            raise ValueError(
                f"{type(self).__name__} takes {self.n_params} parameter(s), "
                f"got {len(self.params)}: {self.params!r}"
            )

    def _eval_params(self, **bindings) -> tuple[float, ...]:
        params = self.params
        if len(params) == 1:  # most gates: no comprehension to run
            return (params[0].evaluate(bindings),)
        return tuple([p.evaluate(bindings) for p in params])

    def matrix(self) -> np.ndarray:
        m = self._matrix_of(*self._eval_params())
        if type(m) is np.ndarray and m.dtype is _COMPLEX128:  # the built-in matrices already are
            return m
        return np.asarray(m, dtype=np.complex128)

    @staticmethod
    def _matrix_of(*values) -> np.ndarray:
        raise NotImplementedError


def _rx(t):
    c, s = math.cos(t / 2), math.sin(t / 2)
    m = np.empty((2, 2), np.complex128)
    m[0, 0] = m[1, 1] = c
    m[0, 1] = m[1, 0] = -1j * s
    return m


def _ry(t):
    c, s = math.cos(t / 2), math.sin(t / 2)
    m = np.empty((2, 2), np.complex128)
    m[0, 0] = m[1, 1] = c
    m[0, 1] = -s
    m[1, 0] = s
    return m


def _rz(t):
    m = np.zeros((2, 2), np.complex128)
    m[0, 0] = cmath.exp(-0.5j * t)
    m[1, 1] = cmath.exp(0.5j * t)
    return m


def _phase(lam):
    return np.array([[1.0, 0], [0, cmath.exp(1j * lam)]])


def _u3(theta, phi, lam):
    c, s = math.cos(theta / 2), math.sin(theta / 2)
    m = np.empty((2, 2), np.complex128)
    m[0, 0] = c
    m[0, 1] = -cmath.exp(1j * lam) * s
    m[1, 0] = cmath.exp(1j * phi) * s
    m[1, 1] = cmath.exp(1j * (phi + lam)) * c
    return m


def _two_qubit_rotation(pauli, t):
    """exp(-i t/2 P(x)P) = cos(t/2) I - i sin(t/2) P(x)P, as P(x)P squares to the identity."""
    m = (-1j * math.sin(t / 2)) * _PAULI_PAIRS[pauli]
    m[np.diag_indices(4)] += math.cos(t / 2)
    return m


class RX(ParametricGate):
    __slots__ = ()
    n_targets = 1
    _matrix_of = staticmethod(_rx)


class RY(ParametricGate):
    __slots__ = ()
    n_targets = 1
    _matrix_of = staticmethod(_ry)


class RZ(ParametricGate):
    __slots__ = ()
    n_targets = 1
    _matrix_of = staticmethod(_rz)


class Phase(ParametricGate):
    __slots__ = ()
    n_targets = 1
    _matrix_of = staticmethod(_phase)


class U1(ParametricGate):
    __slots__ = ()
    n_targets = 1
    _matrix_of = staticmethod(_phase)


class U2(ParametricGate):
    __slots__ = ()
    n_targets = 1
    n_params = 2
    _matrix_of = staticmethod(lambda phi, lam: _u3(math.pi / 2, phi, lam))


class U3(ParametricGate):
    __slots__ = ()
    n_targets = 1
    n_params = 3
    _matrix_of = staticmethod(_u3)


class U(ParametricGate):
    __slots__ = ()
    n_targets = 1
    n_params = 3
    _matrix_of = staticmethod(_u3)


class CRX(ParametricGate):
    __slots__ = ()
    n_targets = 2
    _matrix_of = staticmethod(lambda t: _controlled(_rx(t)))


class CRY(ParametricGate):
    __slots__ = ()
    n_targets = 2
    _matrix_of = staticmethod(lambda t: _controlled(_ry(t)))


class CRZ(ParametricGate):
    __slots__ = ()
    n_targets = 2
    _matrix_of = staticmethod(lambda t: _controlled(_rz(t)))


class CPhase(ParametricGate):
    __slots__ = ()
    n_targets = 2
    _matrix_of = staticmethod(lambda lam: _controlled(_phase(lam)))


class RXX(ParametricGate):
    __slots__ = ()
    n_targets = 2
    _matrix_of = staticmethod(lambda t: _two_qubit_rotation("X", t))


class RYY(ParametricGate):
    __slots__ = ()
    n_targets = 2
    _matrix_of = staticmethod(lambda t: _two_qubit_rotation("Y", t))


class RZZ(ParametricGate):
    __slots__ = ()
    n_targets = 2
    _matrix_of = staticmethod(lambda t: _two_qubit_rotation("Z", t))


def _square_side_for(n_targets: int, rows: int, owner: str):
    if rows != 1 << n_targets:
        raise ValueError(
            f"{owner} on {n_targets} target(s) needs a {1 << n_targets}x{1 << n_targets} "
            f"matrix, got {rows} row(s)"
        )


class UnitaryGate(Gate):
    """A gate given by an explicit matrix, stored as rows of (real, imaginary) float pairs.

    `unitary` may be given in that form or as any 2-D array-like of complex numbers.
    """

    __slots__ = ("unitary",)
    _fields = ("targets", "unitary")

    def __init__(self, targets, unitary):
        super().__init__(targets)
        self.unitary = self._as_pair_rows(unitary)
        _square_side_for(len(self.targets), len(self.unitary), "UnitaryGate")
        for row in self.unitary:
            if len(row) != len(self.unitary):
                raise ValueError(f"UnitaryGate matrix must be square, got a row of {len(row)}")

    @staticmethod
    def _as_pair_rows(unitary) -> tuple[tuple[tuple[float, float], ...], ...]:
        array = np.asarray(unitary)
        if array.ndim == 3 and array.shape[2] == 2 and not np.iscomplexobj(array):
            pairs = array.astype(np.float64)
        elif array.ndim == 2:
            values = array.astype(np.complex128)
            pairs = np.stack([values.real, values.imag], axis=-1)
        else:
            raise ValueError(
                "UnitaryGate needs a square matrix of complex numbers or of (real, imag) "
                f"pairs, got an array of shape {array.shape}"
            )
        return tuple(tuple((float(re), float(im)) for re, im in row) for row in pairs)

    def matrix(self) -> np.ndarray:
        pairs = np.array(self.unitary, dtype=np.float64).reshape(len(self.unitary), -1, 2)
        return pairs[..., 0] + 1j * pairs[..., 1]

    def print_node(self) -> str:
        return "Unitary"


class CustomGate(Gate):
    """A gate whose matrix comes from a callable taking no arguments."""

    __slots__ = ("matrix_fn", "label")
    _fields = ("targets", "matrix_fn", "label")

    def __init__(self, targets, matrix_fn: Callable[[], object], label: str = "Custom"):
        super().__init__(targets)
        if not callable(matrix_fn):
            raise TypeError(f"CustomGate needs a callable matrix_fn, got {type(matrix_fn).__name__}")
        self.matrix_fn = matrix_fn
        self.label = label

    def matrix(self) -> np.ndarray:
        m = np.asarray(self.matrix_fn(), dtype=np.complex128)
        side = 1 << len(self.targets)
        if m.shape != (side, side):
            raise ValueError(
                f"CustomGate {self.label!r} on {len(self.targets)} target(s) needs a "
                f"{side}x{side} matrix, its callable returned shape {m.shape}"
            )
        return m

    def print_node(self) -> str:
        return self.label
