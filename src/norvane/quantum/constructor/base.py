"""Value types shared by program constructors and the jobs they make."""

from decimal import Decimal
from typing import Any, Mapping, Sequence, Union

__all__ = ["ParamType"]

# The type of a metadata value carried with a program or task: a scalar, or a list or
# mapping of them (JSON-compatible, plus exact decimals).
ParamType = Union[None, bool, int, float, complex, Decimal, str, Sequence[Any], Mapping[str, Any]]
