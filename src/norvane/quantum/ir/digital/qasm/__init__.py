"""OpenQASM 2.0 and 3.0 import and export of digital circuits.

`loads(text)` reads either version (chosen by the `OPENQASM` header) into a `DigitalCircuit`;
a program without the header that opens by including `qelib1.inc` is read as OpenQASM 2.0;
`dumps(circuit, version=2)` writes one. Registers are flattened in declaration order, so
`q[0]` of the first quantum register is kit qubit 0. Bitstrings of kit results put classical
bit 0 first (leftmost), the reverse of the usual OpenQASM printing of a register.

OpenQASM 3 reading needs the `openqasm3` package (the `qasm3` extra).
"""

from __future__ import annotations

import os
import re

from norvane.quantum.ir.digital.circuit import DigitalCircuit
from norvane.quantum.ir.digital.qasm.builder import DEFAULT_MAX_OPERATIONS
from norvane.quantum.ir.digital.qasm.errors import QasmError

__all__ = ["QasmError", "loads", "load", "dumps", "dump", "version_of"]

_SPACE = r"(?:\s+|//[^\n]*|/\*.*?\*/)*"
_HEADER = re.compile(_SPACE + r"OPENQASM\s+([0-9]+)(?:\.([0-9]+))?\s*;", re.DOTALL)
# Widely used readers take a header-less program that includes qelib1.inc as OpenQASM 2.0,
# and public benchmark files rely on it.
_QELIB1_FIRST = re.compile(_SPACE + r'include\s*"qelib1\.inc"\s*;', re.DOTALL)


def version_of(text: str) -> int:
    """The major version (2 or 3) that the `OPENQASM` header of `text` declares; 2 for a
    program without the header whose first statement is `include "qelib1.inc";`."""
    match = _HEADER.match(text)
    if match is None:
        if _QELIB1_FIRST.match(text):
            return 2
        raise QasmError("expected the header 'OPENQASM 2.0;' or 'OPENQASM 3.0;'", 1, 1)
    major = int(match.group(1))
    if major not in (2, 3):
        line = text.count("\n", 0, match.start(1)) + 1
        column = match.start(1) - (text.rfind("\n", 0, match.start(1)) + 1) + 1
        raise QasmError(f"OpenQASM version {major} is not supported (2 and 3 are)", line, column)
    return major


def loads(text: str, *, max_operations: int = DEFAULT_MAX_OPERATIONS) -> DigitalCircuit:
    """The circuit of the OpenQASM program `text`.

    Faults are reported as `QasmError` with their line and column. `max_operations` bounds
    the gates, measured qubits and register bits one program may expand to.
    """
    if not isinstance(text, str):
        raise TypeError(f"loads expects the program text as str, got {type(text).__name__}")
    try:
        if version_of(text) == 2:
            from norvane.quantum.ir.digital.qasm import qasm2
            return qasm2.parse(text, max_operations)
        from norvane.quantum.ir.digital.qasm import qasm3
        return qasm3.parse(text, max_operations)
    except RecursionError:
        raise QasmError("the program is nested too deeply to read") from None


def load(path: str | os.PathLike, *, max_operations: int = DEFAULT_MAX_OPERATIONS) -> DigitalCircuit:
    """The circuit of the OpenQASM file at `path` (UTF-8, with or without a byte-order mark)."""
    with open(path, encoding="utf-8-sig") as f:
        return loads(f.read(), max_operations=max_operations)


def _version(version) -> int:
    if version in (2, 3, "2", "3", "2.0", "3.0"):
        return int(float(version))
    raise ValueError(f"OpenQASM version must be 2 or 3, got {version!r}")


def dumps(circuit: DigitalCircuit, version: int | str = 2) -> str:
    """The OpenQASM text of `circuit`; `QasmError` names an instruction the version cannot
    express (symbolic parameters need version 3, where they become `input float`)."""
    from norvane.quantum.ir.digital.qasm.writer import write

    return write(circuit, _version(version))


def dump(circuit: DigitalCircuit, path: str | os.PathLike, version: int | str = 2) -> None:
    """Write the OpenQASM text of `circuit` to the file at `path`."""
    text = dumps(circuit, version)
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)
