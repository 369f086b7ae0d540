"""Value checks shared by the job records and the register geometry."""

from __future__ import annotations

import math
import operator
from numbers import Real
from typing import Any


def _sequence(value: Any, what: str) -> list:
    if isinstance(value, (str, bytes, bytearray, dict)) or not hasattr(value, "__iter__"):
        raise TypeError(f"{what} must be a sequence, got {type(value).__name__}")
    return list(value)


def binary_list(value: Any, what: str) -> list[int]:
    """`value` as a list of Python ints, each 0 or 1; anything else is refused."""
    result = []
    for i, item in enumerate(_sequence(value, what)):
        if isinstance(item, bool):
            raise TypeError(f"{what}[{i}] must be 0 or 1, got bool {item!r}")
        try:
            bit = operator.index(item)
        except TypeError:
            raise TypeError(
                f"{what}[{i}] must be 0 or 1, got {type(item).__name__} {item!r}"
            ) from None
        if bit not in (0, 1):
            raise ValueError(f"{what}[{i}] must be 0 or 1, got {bit}")
        result.append(bit)
    return result


def real(value: Any, what: str) -> float:
    """`value` as a finite float; texts, bools and non-real numbers are refused."""
    if isinstance(value, bool) or not isinstance(value, Real):
        raise TypeError(f"{what} must be a real number, got {type(value).__name__} {value!r}")
    number = float(value)
    if not math.isfinite(number):
        raise ValueError(f"{what} must be finite, got {number}")
    return number


def real_list(value: Any, what: str) -> list[float]:
    return [real(item, f"{what}[{i}]") for i, item in enumerate(_sequence(value, what))]


def site_list(value: Any, what: str) -> list[tuple[float, float]]:
    """`value` as a list of (x, y) float pairs."""
    result = []
    for i, pair in enumerate(_sequence(value, what)):
        coords = _sequence(pair, f"{what}[{i}]")
        if len(coords) != 2:
            raise ValueError(f"{what}[{i}] must be an [x, y] pair, got {len(coords)} values")
        result.append((real(coords[0], f"{what}[{i}][0]"), real(coords[1], f"{what}[{i}][1]")))
    return result
