"""Parameter expressions of OpenQASM gate calls: a small tree evaluated at each gate call.

A value is a float, or a kit `Scalar` when the expression reads a symbolic input parameter
(OpenQASM 3 `input float`); symbolic values support + - * / and negation, the operations the
kit's scalars can hold.
"""

from __future__ import annotations

import math
from typing import Mapping, Union

from norvane.quantum.ir.digital.qasm.errors import QasmError
from norvane.quantum.ir.scalar import Scalar

__all__ = ["Expr", "Value", "evaluate", "FUNCTIONS", "MAX_DEPTH"]

# Deeper trees are refused when built, so evaluation never runs out of stack.
MAX_DEPTH = 100

Value = Union[float, Scalar]

FUNCTIONS = {
    "sin": math.sin, "cos": math.cos, "tan": math.tan, "exp": math.exp, "ln": math.log,
    "sqrt": math.sqrt, "asin": math.asin, "acos": math.acos, "atan": math.atan,
    "arcsin": math.asin, "arccos": math.acos, "arctan": math.atan, "log": math.log,
}

CONSTANTS = {"pi": math.pi, "π": math.pi, "tau": math.tau, "τ": math.tau, "euler": math.e, "ℇ": math.e}


class Expr:
    """One node: kind "num" (args: value), "name" (name), "neg" (operand), "bin" (operator,
    left, right) or "call" (function name, argument); line and column locate it."""

    __slots__ = ("kind", "args", "line", "column", "depth")

    def __init__(self, kind: str, args: tuple, line: int, column: int):
        self.kind = kind
        self.args = args
        self.line = line
        self.column = column
        self.depth = 1 + max((a.depth for a in args if isinstance(a, Expr)), default=0)
        if self.depth > MAX_DEPTH:
            raise self.fail(f"expression nested more than {MAX_DEPTH} levels deep")

    def names(self):
        """Every name the expression reads."""
        if self.kind == "name":
            yield self.args[0]
        for arg in self.args:
            if isinstance(arg, Expr):
                yield from arg.names()

    def fail(self, message: str) -> QasmError:
        return QasmError(message, self.line, self.column)


def _finite(value: float, node: Expr) -> float:
    if not math.isfinite(value):
        raise node.fail("expression does not evaluate to a finite number")
    return value


def _binary(op: str, a: Value, b: Value, node: Expr) -> Value:
    symbolic = isinstance(a, Scalar) or isinstance(b, Scalar)
    if op == "+":
        return a + b
    if op == "-":
        return a - b
    if op == "*":
        return a * b
    if op == "/":
        if not symbolic and b == 0.0:
            raise node.fail("division by zero")
        return a / b
    if op in ("^", "**"):
        if symbolic:
            raise node.fail("a power of a symbolic parameter cannot be held by a gate parameter")
        try:
            return _finite(math.pow(a, b), node)
        except (OverflowError, ValueError):
            raise node.fail(f"{a!r} {op} {b!r} has no finite real value") from None
    raise node.fail(f"operator {op!r} is not allowed in a gate parameter")


def evaluate(node: Expr, env: Mapping[str, Value]) -> Value:
    """The value of `node`, reading names from `env` and then the built-in constants."""
    kind, args = node.kind, node.args
    if kind == "num":
        return _finite(float(args[0]), node)
    if kind == "name":
        name = args[0]
        if name in env:
            return env[name]
        if name in CONSTANTS:
            return CONSTANTS[name]
        raise node.fail(f"unknown parameter {name!r}")
    if kind == "neg":
        return -evaluate(args[0], env)
    if kind == "bin":
        result = _binary(args[0], evaluate(args[1], env), evaluate(args[2], env), node)
        return result if isinstance(result, Scalar) else _finite(result, node)
    if kind == "call":
        name, operand = args
        value = evaluate(operand, env)
        if isinstance(value, Scalar):
            raise node.fail(f"{name}() of a symbolic parameter cannot be held by a gate parameter")
        try:
            return _finite(FUNCTIONS[name](value), node)
        except (OverflowError, ValueError):
            raise node.fail(f"{name}({value!r}) has no finite real value") from None
    raise node.fail(f"unsupported expression {kind!r}")
