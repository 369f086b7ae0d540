"""Quantum channels given by Kraus operators, and classical readout errors.

A channel on k qubits maps rho to sum_j K_j rho K_j^dagger with 2^k x 2^k operators K_j whose
index puts the first target in the most significant bit (the gate convention). A channel whose
operators are all scaled unitaries, K_j = sqrt(p_j) U_j, is a mixture of unitaries: a
trajectory simulator draws its term independently of the state.
"""

from __future__ import annotations

import math
import numbers
from functools import reduce
from itertools import product

import numpy as np

__all__ = [
    "KrausChannel", "ReadoutError", "kraus", "depolarizing", "bit_flip", "phase_flip",
    "amplitude_damping", "phase_damping", "readout_error",
]

# Largest entry of sum K^dagger K - I accepted as complete, and of K^dagger K - p I accepted as
# a scaled unitary.
_TOLERANCE = 1e-9

_PAULIS = (
    np.eye(2, dtype=complex),
    np.array([[0, 1], [1, 0]], dtype=complex),
    np.array([[0, -1j], [1j, 0]], dtype=complex),
    np.array([[1, 0], [0, -1]], dtype=complex),
)


def _probability(value, name: str) -> float:
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a real number, got {type(value).__name__}")
    value = float(value)
    if not 0.0 <= value <= 1.0:
        raise ValueError(f"{name} must lie in [0, 1], got {value!r}")
    return value


def _frozen(matrix: np.ndarray) -> np.ndarray:
    matrix = np.array(matrix, dtype=np.complex128)
    matrix.setflags(write=False)
    return matrix


def _operator(value, index: int) -> np.ndarray:
    if isinstance(value, (str, bytes)):
        raise TypeError(f"Kraus operator {index} must be a square complex matrix, got {type(value).__name__}")
    try:
        matrix = np.asarray(value)
    except (TypeError, ValueError) as error:
        raise TypeError(f"Kraus operator {index} is not a matrix: {error}") from None
    if matrix.dtype.kind not in "biufc":
        raise TypeError(f"Kraus operator {index} must hold numbers, got dtype {matrix.dtype}")
    if matrix.ndim != 2 or matrix.shape[0] != matrix.shape[1]:
        raise ValueError(f"Kraus operator {index} must be a square matrix, got shape {matrix.shape}")
    side = matrix.shape[0]
    if side < 2 or side & (side - 1):
        raise ValueError(f"Kraus operator {index} has side {side}, not a power of two (2^qubits)")
    if not np.all(np.isfinite(matrix)):
        raise ValueError(f"Kraus operator {index} has non-finite entries")
    return _frozen(matrix)


def _scaled_unitary(matrix: np.ndarray):
    """(p, U) with matrix = sqrt(p) U and U unitary, or None when it is not a scaled unitary."""
    gram = matrix.conj().T @ matrix
    weight = float(np.real(np.trace(gram))) / matrix.shape[0]
    if np.max(np.abs(gram - weight * np.eye(matrix.shape[0]))) > _TOLERANCE:
        return None
    if weight <= _TOLERANCE**2:
        return 0.0, None
    return weight, matrix / math.sqrt(weight)


def _is_identity(unitary: np.ndarray) -> bool:
    """Whether `unitary` is the identity up to a global phase."""
    phase = unitary[0, 0]
    return bool(np.max(np.abs(unitary - phase * np.eye(unitary.shape[0]))) <= _TOLERANCE)


class KrausChannel:
    """A completely positive, trace-preserving map on `n_qubits` qubits, by its Kraus operators.

    Build one with `kraus`, `depolarizing`, `bit_flip`, `phase_flip`, `amplitude_damping` or
    `phase_damping`. `unitary_mixture` is ((p_j, U_j), ...) when every operator is a scaled
    unitary sqrt(p_j) U_j (zero operators left out), None otherwise.
    """

    __slots__ = ("_operators", "_name", "_params", "_mixture")

    def __init__(self, operators, *, _name: str = "kraus", _params: tuple = ()):
        if isinstance(operators, np.ndarray) and operators.ndim == 2:
            raise TypeError("kraus expects a sequence of matrices, got a single matrix")
        if isinstance(operators, (str, bytes)) or not hasattr(operators, "__iter__"):
            raise TypeError(f"kraus expects a sequence of matrices, got {type(operators).__name__}")
        ops = tuple(_operator(value, j) for j, value in enumerate(operators))
        if not ops:
            raise ValueError("a channel needs at least one Kraus operator")
        side = ops[0].shape[0]
        for j, op in enumerate(ops):
            if op.shape[0] != side:
                raise ValueError(f"Kraus operator {j} has shape {op.shape}, operator 0 has {ops[0].shape}")
        deviation = float(np.max(np.abs(sum(op.conj().T @ op for op in ops) - np.eye(side))))
        if deviation > _TOLERANCE:
            raise ValueError(
                f"Kraus operators are not complete: sum K^dagger K differs from the identity by up "
                f"to {deviation:.3g} in an entry"
            )
        self._operators = ops
        self._name = _name
        self._params = _params
        terms = [_scaled_unitary(op) for op in ops]
        if all(term is not None for term in terms):
            self._mixture = tuple((p, _frozen(u)) for p, u in terms if u is not None)
        else:
            self._mixture = None

    @property
    def operators(self) -> tuple[np.ndarray, ...]:
        """The Kraus operators as read-only complex arrays."""
        return self._operators

    @property
    def n_qubits(self) -> int:
        return self._operators[0].shape[0].bit_length() - 1

    @property
    def unitary_mixture(self):
        return self._mixture

    def _sampling_terms(self):
        """What a trajectory draws from: (True, ((p, U or None for the identity), ...)) for a
        mixture of unitaries, without its zero-probability terms; (False, (K, ...)) otherwise,
        without zero operators."""
        if self._mixture is not None:
            return True, tuple((p, None if _is_identity(u) else u) for p, u in self._mixture if p > 0.0)
        return False, tuple(op for op in self._operators if np.any(op))

    def __eq__(self, other):
        if type(other) is not KrausChannel:
            return NotImplemented
        return (self._name, self._params) == (other._name, other._params) and len(self._operators) == len(
            other._operators) and all(np.array_equal(a, b) for a, b in zip(self._operators, other._operators))

    __hash__ = None

    def __repr__(self):
        if self._name == "kraus":
            return f"kraus(<{len(self._operators)} operators on {self.n_qubits} qubit(s)>)"
        return f"{self._name}({', '.join(repr(p) for p in self._params)})"

    def __reduce__(self):
        if self._name == "kraus":
            return kraus, ([np.array(op) for op in self._operators],)
        return _NAMED[self._name], self._params


def kraus(matrices) -> KrausChannel:
    """The channel rho -> sum_j K_j rho K_j^dagger; the operators must be complete."""
    return KrausChannel(matrices)


def depolarizing(p, n_qubits=1) -> KrausChannel:
    """rho -> (1 - p) rho + p I / 2^n on n qubits: each Pauli string with weight p / 4^n."""
    p = _probability(p, "p")
    if isinstance(n_qubits, bool) or not isinstance(n_qubits, numbers.Integral):
        raise TypeError(f"n_qubits must be an integer, got {type(n_qubits).__name__}")
    n_qubits = int(n_qubits)
    if not 1 <= n_qubits <= 4:
        raise ValueError(f"depolarizing takes 1 to 4 qubits, got {n_qubits}")
    share = p / 4**n_qubits
    ops = []
    for paulis in product(range(4), repeat=n_qubits):
        weight = 1.0 - p + share if not any(paulis) else share
        ops.append(math.sqrt(weight) * reduce(np.kron, (_PAULIS[k] for k in paulis)))
    return KrausChannel(ops, _name="depolarizing", _params=(p, n_qubits))


def bit_flip(p) -> KrausChannel:
    """X with probability p."""
    p = _probability(p, "p")
    return KrausChannel([math.sqrt(1 - p) * _PAULIS[0], math.sqrt(p) * _PAULIS[1]], _name="bit_flip", _params=(p,))


def phase_flip(p) -> KrausChannel:
    """Z with probability p."""
    p = _probability(p, "p")
    return KrausChannel([math.sqrt(1 - p) * _PAULIS[0], math.sqrt(p) * _PAULIS[3]], _name="phase_flip", _params=(p,))


def amplitude_damping(gamma) -> KrausChannel:
    """Decay |1> -> |0> with probability gamma: [[1, 0], [0, sqrt(1-gamma)]], [[0, sqrt(gamma)], [0, 0]]."""
    gamma = _probability(gamma, "gamma")
    ops = [np.array([[1, 0], [0, math.sqrt(1 - gamma)]]), np.array([[0, math.sqrt(gamma)], [0, 0]])]
    return KrausChannel(ops, _name="amplitude_damping", _params=(gamma,))


def phase_damping(lam) -> KrausChannel:
    """Loss of phase with probability lam: [[1, 0], [0, sqrt(1-lam)]], [[0, 0], [0, sqrt(lam)]]."""
    lam = _probability(lam, "lam")
    ops = [np.array([[1, 0], [0, math.sqrt(1 - lam)]]), np.array([[0, 0], [0, math.sqrt(lam)]])]
    return KrausChannel(ops, _name="phase_damping", _params=(lam,))


_NAMED = {
    "depolarizing": depolarizing, "bit_flip": bit_flip, "phase_flip": phase_flip,
    "amplitude_damping": amplitude_damping, "phase_damping": phase_damping,
}


class ReadoutError:
    """A classical error on a measured bit: p01 the probability of reading 1 for a qubit in 0,
    p10 that of reading 0 for a qubit in 1."""

    __slots__ = ("p01", "p10")

    def __init__(self, p01, p10):
        self.p01 = _probability(p01, "p01")
        self.p10 = _probability(p10, "p10")

    def then(self, other: ReadoutError) -> ReadoutError:
        """This error followed by `other` on the same bit."""
        return ReadoutError(
            self.p01 * (1 - other.p10) + (1 - self.p01) * other.p01,
            self.p10 * (1 - other.p01) + (1 - self.p10) * other.p10,
        )

    def __eq__(self, other):
        if type(other) is not ReadoutError:
            return NotImplemented
        return (self.p01, self.p10) == (other.p01, other.p10)

    def __hash__(self):
        return hash((ReadoutError, self.p01, self.p10))

    def __repr__(self):
        return f"readout_error({self.p01!r}, {self.p10!r})"

    def __reduce__(self):
        return ReadoutError, (self.p01, self.p10)


def readout_error(p01, p10) -> ReadoutError:
    return ReadoutError(p01, p10)
