import numpy
from numpy.typing import NDArray

from norvane.quantum.ir.digital.gate import Gate


class GateMatrixCache:
    """
    Cache gate matrices keyed by (gate_type, params).

    A parametric gate is keyed by its exact class and the tuple of floats that its
    _eval_params returns for the request's keyword bindings, so gates of one class on
    different qubits share an entry when their parameters evaluate equal. Every other gate
    is keyed by its exact class alone. A UnitaryGate carries its matrix as data, so its key
    also holds that data; a CustomGate's matrix comes from an arbitrary callable and is
    computed afresh at every request. Stored matrices are returned as is, without copying:
    treat them as read-only.
    """

    def __init__(self) -> None: ...

    def get(self, gate: Gate, **kwargs: float) -> NDArray[numpy.complex128]:
        """Return the matrix of `gate`; keyword arguments are parameter bindings."""

    def clear(self) -> None:
        """Forget every stored matrix."""

    def __getstate__(self) -> tuple: ...

    def __setstate__(self, state: object | None) -> None: ...

__all__: list = ['GateMatrixCache']
