"""Classical conditions and instructions that run only when their condition holds."""

from __future__ import annotations

import operator as _op

from norvane.quantum.ir._node import Node, index_tuple

__all__ = ["ClassicalCondition", "ConditionalInstruction"]

_OPERATORS = {
    "==": _op.eq, "!=": _op.ne, "<": _op.lt, "<=": _op.le, ">": _op.gt, ">=": _op.ge,
}


class ClassicalCondition(Node):
    """Compare the integer formed by `clbits` (first listed bit most significant) with `value`."""

    __slots__ = ("clbits", "value", "operator")
    _fields = ("clbits", "value", "operator")

    def __init__(self, clbits, value, operator="=="):
        self.clbits = index_tuple(clbits, "clbits", "ClassicalCondition")
        self.value = _op.index(value)
        if operator not in _OPERATORS:
            raise ValueError(
                f"unknown condition operator {operator!r}; expected one of {sorted(_OPERATORS)}"
            )
        self.operator = operator

    def register_value(self, cbits) -> int:
        """The integer read from the classical bits `clbits` of `cbits`."""
        total = 0
        for bit in self.clbits:
            total = (total << 1) | (1 if cbits[bit] else 0)
        return total

    def evaluate(self, cbits) -> bool:
        return _OPERATORS[self.operator](self.register_value(cbits), self.value)


class ConditionalInstruction(Node):
    """Run `instruction` (a gate) only when `condition` holds for the shot's classical bits."""

    __slots__ = ("instruction", "condition")
    _fields = ("instruction", "condition")

    def __init__(self, instruction, condition):
        if not isinstance(condition, ClassicalCondition):
            raise TypeError(
                f"ConditionalInstruction needs a ClassicalCondition, got {type(condition).__name__}"
            )
        self.instruction = instruction
        self.condition = condition

    @property
    def targets(self):
        try:
            return self.instruction.targets
        except AttributeError:
            raise TypeError(
                f"ConditionalInstruction wraps {self.instruction!r}, which is not a gate "
                "and has no targets"
            ) from None
