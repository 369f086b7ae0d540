"""Structural equality, hashing and constructor-style text for IR nodes."""

from __future__ import annotations

import operator


class Node:
    """Base of IR records: the fields named in `_fields` decide equality and text form."""

    __slots__ = ()
    _fields: tuple[str, ...] = ()

    def _values(self) -> tuple:
        return tuple(getattr(self, name) for name in self._fields)

    def __eq__(self, other):
        if type(other) is not type(self):
            return NotImplemented
        return self._values() == other._values()

    def __hash__(self):
        return hash((type(self).__qualname__, self._values()))

    def __repr__(self):
        body = ", ".join(f"{name}={getattr(self, name)!r}" for name in self._fields)
        return f"{type(self).__name__}({body})"


def index_tuple(values, what: str, owner: str) -> tuple[int, ...]:
    """Return `values` as a tuple of Python ints; refuse non-integers with a TypeError."""
    if type(values) is tuple:
        for value in values:
            if type(value) is not int:
                break
        else:
            return values
    if isinstance(values, (str, bytes)) or not hasattr(values, "__iter__"):
        raise TypeError(f"{owner}: {what} must be a sequence of integers, got {type(values).__name__}")
    result = []
    for value in values:
        if isinstance(value, bool):
            raise TypeError(f"{owner}: {what} must be integers, got bool")
        try:
            result.append(operator.index(value))
        except TypeError:
            raise TypeError(
                f"{owner}: {what} must be integers, got {type(value).__name__} {value!r}"
            ) from None
    return tuple(result)
