from collections.abc import Callable

import numpy
from numpy.typing import ArrayLike, NDArray



def parameter_shift_gradient(f: Callable[[NDArray[numpy.float64]], float], x: ArrayLike, shift: float = 1.5707963267948966) -> NDArray[numpy.float64]:
    """
    Gradient of f at x by the parameter-shift rule:
    (f(x + shift*e_i) - f(x - shift*e_i)) / (2*sin(shift)) for every coordinate i.

    Exact for expectation values of circuits whose parametric gates are exp(-i*theta/2*P) with
    P a Pauli operator. f is called 2*len(x) times, plus then minus shift per coordinate in
    order, each time with a fresh copy of x; never at x itself.
    """

class FiniteDiffGradient:
    """
    Finite-difference gradient, for costs without a shift rule.

    Args:
        eps: The step added to or taken from one coordinate.
        method: 'central' (2*n calls of f), 'forward' or 'backward' (n + 1 calls, the one at x
            first).

    An instance is itself a gradient function: instance(f, x) is instance.gradient(f, x).
    """

    def __init__(self, eps: float = 0.0001, method: str = 'central') -> None: ...

    def gradient(self, f: Callable[[NDArray[numpy.float64]], float], x: ArrayLike) -> NDArray[numpy.float64]:
        """The finite-difference gradient of f at x by the scheme in `method`."""

    def __call__(self, f: Callable[[NDArray[numpy.float64]], float], x: ArrayLike) -> NDArray[numpy.float64]:
        """Same as gradient(f, x)."""

__all__: list = ['parameter_shift_gradient', 'FiniteDiffGradient']
