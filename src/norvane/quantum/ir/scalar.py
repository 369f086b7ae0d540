"""Symbolic scalars: exact decimal literals, named variables and arithmetic over them.

Parametric gates hold these as parameters; `evaluate(bindings)` turns one into a float,
taking each `Variable` from the name -> float bindings.
"""

from __future__ import annotations

import numbers
from decimal import Decimal, InvalidOperation
from typing import Mapping

from norvane.quantum.ir._node import Node

__all__ = [
    "Scalar", "Literal", "Variable", "AssignedVariable", "Negative", "Add", "Mul", "Div",
    "Min", "Max", "UnboundVariableError", "cast",
]


class UnboundVariableError(ValueError):
    """A variable was evaluated without a binding for its name."""


def _to_decimal(value) -> Decimal:
    kind = type(value)
    if kind is float:  # the common case first: no abstract-class checks
        return Decimal(repr(value))
    if kind is int:
        return Decimal(value)
    if isinstance(value, Decimal):
        return value
    if isinstance(value, bool):
        return Decimal(int(value))
    if isinstance(value, numbers.Integral):
        return Decimal(int(value))
    if isinstance(value, numbers.Real):
        # The shortest round-trip text keeps 0.1 as 0.1 rather than its binary expansion.
        return Decimal(repr(float(value)))
    if isinstance(value, str):
        try:
            return Decimal(value)
        except InvalidOperation:
            raise ValueError(f"not a decimal number: {value!r}") from None
    raise TypeError(f"cannot make a decimal from {type(value).__name__} {value!r}")


class Scalar(Node):
    """Base of every scalar expression node."""

    __slots__ = ()

    def evaluate(self, bindings: Mapping[str, float] | None = None) -> float:
        raise NotImplementedError(f"{type(self).__name__} does not define evaluate()")

    def print_node(self) -> str:
        raise NotImplementedError(f"{type(self).__name__} does not define print_node()")

    def __add__(self, other):
        return Add(self, cast(other))

    def __radd__(self, other):
        return Add(cast(other), self)

    def __sub__(self, other):
        return Add(self, Negative(cast(other)))

    def __rsub__(self, other):
        return Add(cast(other), Negative(self))

    def __mul__(self, other):
        return Mul(self, cast(other))

    def __rmul__(self, other):
        return Mul(cast(other), self)

    def __truediv__(self, other):
        return Div(self, cast(other))

    def __rtruediv__(self, other):
        return Div(cast(other), self)

    def __neg__(self):
        return Negative(self)


class Literal(Scalar):
    """A constant held as an exact decimal (and, for evaluation, as the nearest float).

    A literal made from a float keeps the float and writes its decimal (the float's shortest
    round-trip text, which converts back to it) only when `value` is first read: gate matrices
    built from evaluated parameters never need the text.
    """

    __slots__ = ("_value", "_float")
    _fields = ("value",)

    def __init__(self, value):
        if type(value) is float:
            self._value, self._float = None, value
        else:
            self._value, self._float = _to_decimal(value), None

    @property
    def value(self) -> Decimal:
        if self._value is None:
            self._value = _to_decimal(self._float)
        return self._value

    @value.setter
    def value(self, value):
        self._value, self._float = value, None

    def evaluate(self, bindings=None) -> float:
        # Converting a decimal goes through text: do it once per value.
        if self._float is None:
            self._float = float(self._value)
        return self._float

    def print_node(self) -> str:
        return str(self.value)


class Variable(Scalar):
    """A named parameter, bound to a float at evaluation."""

    __slots__ = ("name",)
    _fields = ("name",)

    def __init__(self, name):
        self.name = name

    def evaluate(self, bindings=None) -> float:
        if bindings is None or self.name not in bindings:
            raise UnboundVariableError(
                f"variable {self.name!r} has no binding; pass {self.name}=<float>"
            )
        return float(bindings[self.name])

    def print_node(self) -> str:
        return str(self.name)


class AssignedVariable(Scalar):
    """A named parameter that already carries its value; it counts as resolved."""

    __slots__ = ("name", "value")
    _fields = ("name", "value")

    def __init__(self, name, value):
        self.name = name
        self.value = _to_decimal(value)

    def evaluate(self, bindings=None) -> float:
        return float(self.value)

    def print_node(self) -> str:
        return f"{self.name}={self.value}"


class Negative(Scalar):
    __slots__ = ("expr",)
    _fields = ("expr",)

    def __init__(self, expr):
        self.expr = cast(expr)

    def evaluate(self, bindings=None) -> float:
        return -self.expr.evaluate(bindings)

    def print_node(self) -> str:
        return f"-{self.expr.print_node()}"


class _Binary(Scalar):
    __slots__ = ("lhs", "rhs")
    _fields = ("lhs", "rhs")
    _symbol = "?"

    def __init__(self, lhs, rhs):
        self.lhs = cast(lhs)
        self.rhs = cast(rhs)

    def evaluate(self, bindings=None) -> float:
        return self._combine(self.lhs.evaluate(bindings), self.rhs.evaluate(bindings))

    def print_node(self) -> str:
        return f"({self.lhs.print_node()} {self._symbol} {self.rhs.print_node()})"


class Add(_Binary):
    __slots__ = ()
    _symbol = "+"

    @staticmethod
    def _combine(a, b):
        return a + b


class Mul(_Binary):
    __slots__ = ()
    _symbol = "*"

    @staticmethod
    def _combine(a, b):
        return a * b


class Div(_Binary):
    __slots__ = ()
    _symbol = "/"

    @staticmethod
    def _combine(a, b):
        if b == 0.0:
            raise ZeroDivisionError("scalar division by zero")
        return a / b


class _Extremum(Scalar):
    __slots__ = ("scalars",)
    _fields = ("scalars",)

    def __init__(self, scalars):
        self.scalars = tuple(cast(s) for s in scalars)

    def evaluate(self, bindings=None) -> float:
        if not self.scalars:
            raise ValueError(f"{type(self).__name__} of no operands has no value")
        return self._pick(s.evaluate(bindings) for s in self.scalars)

    def print_node(self) -> str:
        inner = ", ".join(s.print_node() for s in self.scalars)
        return f"{type(self).__name__.lower()}({inner})"


class Min(_Extremum):
    __slots__ = ()
    _pick = staticmethod(min)


class Max(_Extremum):
    __slots__ = ()
    _pick = staticmethod(max)


def cast(x) -> Scalar:
    """A scalar passes through; a real number becomes a `Literal`; a text becomes a `Variable`."""
    kind = type(x)
    if kind is float or kind is int:  # the common case first: no abstract-class checks
        return Literal(x)
    if isinstance(x, Scalar):
        return x
    if isinstance(x, str):
        return Variable(x)
    if isinstance(x, (numbers.Real, Decimal)):
        return Literal(x)
    raise TypeError(f"cannot cast {type(x).__name__} to a Scalar: {x!r}")
