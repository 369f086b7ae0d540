"""Exact decomposition of a unitary matrix into `u3` and `cx` gates, up to a global phase.

A one-qubit matrix is one `u3`. A larger one is split by the quantum Shannon decomposition:
the cosine-sine decomposition U = (L0 + L1)(CS)(R0 + R1) over the first (most significant)
qubit, each block-diagonal factor demultiplexed into two unitaries around a uniformly
controlled RZ, the CS factor a uniformly controlled RY, recursively down to one qubit.
Uniformly controlled rotations become 2^k rotations and 2^k CX gates (Gray-code order).
The phases dropped at the one-qubit leaves are global phases of the whole matrix.
"""

from __future__ import annotations

import cmath
import math

import numpy as np

__all__ = ["one_qubit_angles", "synthesize"]

Operation = tuple[str, tuple[float, ...], tuple[int, ...]]


def one_qubit_angles(u: np.ndarray) -> tuple[float, float, float, float]:
    """(theta, phi, lambda, alpha) with u = exp(i alpha) U3(theta, phi, lambda)."""
    theta = 2.0 * math.atan2(abs(u[1, 0]), abs(u[0, 0]))
    if abs(u[0, 0]) < 1e-12:          # anti-diagonal: choose lambda = 0
        alpha = cmath.phase(-u[0, 1])
        return theta, cmath.phase(u[1, 0]) - alpha, 0.0, alpha
    alpha = cmath.phase(u[0, 0])
    if abs(u[1, 0]) < 1e-12:          # diagonal: choose phi = 0
        return theta, 0.0, cmath.phase(u[1, 1]) - alpha, alpha
    return theta, cmath.phase(u[1, 0]) - alpha, cmath.phase(-u[0, 1]) - alpha, alpha


def _gray(i: int) -> int:
    return i ^ (i >> 1)


def _uniformly_controlled(axis: str, angles: np.ndarray, target: int, controls: list[int],
                          out: list[Operation]) -> None:
    """Rotation about `axis` by angles[j] on `target` when `controls` (first most
    significant) hold the value j."""
    k = len(controls)
    n = 1 << k
    if np.allclose(angles, 0.0, atol=1e-13):
        return   # the identity: the CX gates of the cycle cancel too
    if k == 0:
        out.append(_rotation(axis, float(angles[0]), target))
        return
    signs = np.array([[(-1) ** bin(_gray(i) & j).count("1") for i in range(n)]
                      for j in range(n)], dtype=float)
    reduced = signs.T @ angles / n
    for i in range(n):
        out.append(_rotation(axis, float(reduced[i]), target))
        changed = (_gray(i) ^ _gray((i + 1) % n)).bit_length() - 1
        out.append(("cx", (), (controls[k - 1 - changed], target)))


def _rotation(axis: str, angle: float, target: int) -> Operation:
    if axis == "y":
        return ("u3", (angle, 0.0, 0.0), (target,))
    return ("u3", (0.0, 0.0, angle), (target,))  # RZ up to a global phase


def _demultiplex(a: np.ndarray, b: np.ndarray, qubits: list[int], out: list[Operation]) -> None:
    """diag(a, b), selected by qubits[0], as V (D + D*) W with D + D* a controlled RZ."""
    from scipy.linalg import schur

    t, v = schur(a @ b.conj().T, output="complex")
    d = np.sqrt(np.diag(t))
    w = (d[:, None] * v.conj().T) @ b
    _decompose(w, qubits[1:], out)
    _uniformly_controlled("z", -2.0 * np.angle(d), qubits[0], qubits[1:], out)
    _decompose(v, qubits[1:], out)


def _decompose(u: np.ndarray, qubits: list[int], out: list[Operation]) -> None:
    if len(qubits) == 1:
        angles = one_qubit_angles(u)[:3]
        if not np.allclose(angles, 0.0, atol=1e-13):
            out.append(("u3", angles, (qubits[0],)))
        return
    from scipy.linalg import cossin

    half = u.shape[0] // 2
    (l0, l1), theta, (r0, r1) = cossin(u, p=half, q=half, separate=True)
    _demultiplex(r0, r1, qubits, out)
    _uniformly_controlled("y", 2.0 * theta, qubits[0], qubits[1:], out)
    _demultiplex(l0, l1, qubits, out)


def synthesize(u: np.ndarray) -> list[Operation]:
    """Gates (name, angles, local qubits) whose product, in order, is `u` up to a global
    phase; local qubit 0 is the matrix's most significant bit."""
    n = u.shape[0].bit_length() - 1
    out: list[Operation] = []
    if n > 1:
        try:
            import scipy.linalg  # noqa: F401
        except ImportError:
            raise ImportError("writing a gate of two or more qubits given by its matrix needs "
                              "SciPy; install 'scipy'") from None
    _decompose(np.asarray(u, dtype=np.complex128), list(range(n)), out)
    return out
