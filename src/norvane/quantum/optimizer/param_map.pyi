from collections.abc import Iterable

import numpy
from numpy.typing import ArrayLike, NDArray


class ParamMap:
    """
    Named parameters in vector order: position i of every parameter vector belongs to names[i].

    Args:
        names: The parameter names (any iterable of texts; copied into a new list).
        bounds: Optional (n, 2) array of (lower, upper) pairs, stored as given.

    Fields:
        names: list of the names; n: their number, the length of every parameter vector;
        bounds: as given.
    """

    names: list[str]
    n: int
    bounds: object
    def __init__(self, names: Iterable[str], bounds: ArrayLike | None = None) -> None: ...

    def bind(self, x: ArrayLike) -> dict[str, float]:
        """
        The name -> float mapping of parameter vector x (its shape must be (n,)).
        A repeated name keeps its first place and takes its last value.
        """

    def args_from(self, x: ArrayLike) -> list[float]:
        """x as a plain list of floats in vector order (no length check)."""

    def zeros(self) -> NDArray[numpy.float64]:
        """A new parameter vector of n zeros."""

    def random(self, seed: int | None = None) -> NDArray[numpy.float64]:
        """
        A new parameter vector drawn uniformly from [0, 2*pi) by
        numpy.random.default_rng(seed); equal seeds give equal vectors.
        """

    def __len__(self) -> int: ...

    def __repr__(self) -> str: ...

__all__: list = ['ParamMap']
