"""The one error kind of OpenQASM reading and writing."""

from __future__ import annotations

__all__ = ["QasmError"]


class QasmError(ValueError):
    """A fault in OpenQASM text (with its line and column, both from 1) or a circuit that
    OpenQASM cannot express (line and column None)."""

    def __init__(self, message: str, line: int | None = None, column: int | None = None):
        self.message = message
        self.line = line
        self.column = column
        where = f"line {line}, column {column}: " if line is not None else ""
        super().__init__(where + message)
