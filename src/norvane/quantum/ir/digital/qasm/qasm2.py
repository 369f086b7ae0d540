"""OpenQASM 2.0 reader: a tokenizer and a recursive-descent parser that drives the builder.

Statements take effect as they are read. The `OPENQASM 2.0;` header may be left out of a
program whose first statement includes qelib1.inc. `opaque` is refused (an opaque gate has
no matrix); `barrier` is read and dropped; `reset` is kept where the builder can make it
exact.
"""

from __future__ import annotations

import bisect
import re

from norvane.quantum.ir.digital.circuit import DigitalCircuit
from norvane.quantum.ir.digital.qasm.builder import (
    DEFAULT_MAX_OPERATIONS, CircuitBuilder, GateCall, GateDef, Position,
)
from norvane.quantum.ir.digital.qasm.errors import QasmError
from norvane.quantum.ir.digital.qasm.expr import CONSTANTS, FUNCTIONS, MAX_DEPTH, Expr, evaluate
from norvane.quantum.ir.digital.qasm.stdgates import QASM2_BUILTINS, QASM2_GATES

__all__ = ["parse"]

LIBRARY = "qelib1.inc"

_TOKEN = re.compile(r"""
    (?P<space>\s+|//[^\n]*|/\*.*?\*/)
  | (?P<bad>/\*)
  | (?P<real>(?:[0-9]+\.[0-9]*|\.[0-9]+)(?:[eE][-+]?[0-9]+)?|[0-9]+[eE][-+]?[0-9]+)
  | (?P<int>[0-9]+)
  | (?P<id>[A-Za-z_][A-Za-z0-9_]*)
  | (?P<string>"[^"\n]*")
  | (?P<op>->|==|[()\[\]{},;+\-*/^])
  | (?P<unknown>.)
""", re.VERBOSE | re.DOTALL)


class _Lines:
    """Line and column (from 1) of an offset into the text."""

    def __init__(self, text: str):
        self.starts = [0] + [m.end() for m in re.finditer("\n", text)]

    def position(self, offset: int) -> Position:
        line = bisect.bisect_right(self.starts, offset)
        return (line, offset - self.starts[line - 1] + 1)


class Token:
    __slots__ = ("kind", "text", "offset", "lines")

    def __init__(self, kind: str, text: str, offset: int, lines: _Lines):
        self.kind = kind
        self.text = text
        self.offset = offset
        self.lines = lines

    @property
    def position(self) -> Position:
        return self.lines.position(self.offset)

    @property
    def line(self) -> int:
        return self.position[0]

    @property
    def column(self) -> int:
        return self.position[1]

    def describe(self) -> str:
        return "end of input" if self.kind == "eof" else repr(self.text)


def tokenize(text: str) -> list[Token]:
    lines = _Lines(text)
    tokens = []
    for match in _TOKEN.finditer(text):
        kind = match.lastgroup
        if kind == "space":
            continue
        if kind in ("bad", "unknown"):
            start = match.start()
            line, column = lines.position(start)
            if text.startswith("/*", start):
                raise QasmError("unterminated comment", line, column)
            if text[start] == '"':
                raise QasmError("unterminated string", line, column)
            raise QasmError(f"unexpected character {text[start]!r}", line, column)
        tokens.append(Token(kind, match.group(), match.start(), lines))
    tokens.append(Token("eof", "", len(text), lines))
    return tokens


class _Parser:
    def __init__(self, text: str, max_operations: int):
        self.tokens = tokenize(text)
        self.index = 0
        self.nesting = 0
        self._parameter_cache: dict[tuple[str, ...], list] = {}
        self.builder = CircuitBuilder(QASM2_BUILTINS, QASM2_GATES, LIBRARY, max_operations)

    # -- token access ---------------------------------------------------------------------

    @property
    def token(self) -> Token:
        return self.tokens[self.index]

    def advance(self) -> Token:
        token = self.tokens[self.index]
        if token.kind != "eof":
            self.index += 1
        return token

    def fail(self, message: str, token: Token | None = None) -> QasmError:
        token = token or self.token
        return QasmError(message, token.line, token.column)

    def accept(self, text: str) -> bool:
        if self.token.text == text and self.token.kind in ("op", "id"):
            self.advance()
            return True
        return False

    def expect(self, text: str) -> Token:
        token = self.token
        if not self.accept(text):
            raise self.fail(f"expected {text!r}, found {token.describe()}")
        return token

    def expect_kind(self, kind: str, what: str) -> Token:
        token = self.token
        if token.kind != kind:
            raise self.fail(f"expected {what}, found {token.describe()}")
        return self.advance()

    def identifier(self) -> Token:
        return self.expect_kind("id", "a name")

    def integer(self) -> int:
        token = self.expect_kind("int", "a non-negative integer")
        if len(token.text) > 30:
            raise self.fail("integer too large", token)
        return int(token.text)

    # -- program --------------------------------------------------------------------------

    def program(self) -> DigitalCircuit:
        # The header may be left out when the program opens by including the library.
        if not (self.token.text == "include" and self.tokens[1].text == f'"{LIBRARY}"'):
            self.expect("OPENQASM")
            version = self.token
            if version.kind not in ("real", "int") \
                    or not re.fullmatch(r"2(\.[0-9]*)?", version.text):
                raise self.fail(f"expected version 2.0, found {version.describe()}")
            self.advance()
            self.expect(";")
        while self.token.kind != "eof":
            self.statement()
        return self.builder.circuit()

    def statement(self) -> None:
        token = self.token
        keyword = token.text if token.kind == "id" else None
        if keyword == "include":
            self.advance()
            name = self.expect_kind("string", "a file name in double quotes").text[1:-1]
            if name != LIBRARY:
                raise self.fail(f"cannot include {name!r}: only {LIBRARY!r} is available", token)
            self.expect(";")
            self.builder.include_library()
        elif keyword in ("qreg", "creg"):
            self.advance()
            name = self.identifier()
            self.expect("[")
            size = self.integer()
            self.expect("]")
            self.expect(";")
            add = self.builder.add_qreg if keyword == "qreg" else self.builder.add_creg
            add(name.text, size, name.position)
        elif keyword == "gate":
            self.gate_definition()
        elif keyword == "opaque":
            raise self.fail("opaque gates are not supported: they have no definition to simulate")
        elif keyword == "if":
            self.advance()
            self.expect("(")
            register = self.identifier()
            self.expect("==")
            value = self.integer()
            self.expect(")")
            condition = self.builder.register_condition(register.text, value, "==",
                                                        register.position)
            self.quantum_operation(condition)
        elif keyword == "barrier":
            self.advance()
            self.argument_list()
            self.expect(";")
        else:
            self.quantum_operation(None)

    def quantum_operation(self, condition) -> None:
        token = self.token
        if token.kind != "id":
            raise self.fail(f"expected a statement, found {token.describe()}")
        if token.text == "reset":
            if condition is not None:
                raise self.fail("a conditional reset is not supported")
            self.advance()
            qubits = self.argument(self.builder.qubits)
            self.expect(";")
            self.builder.reset(qubits, token.position)
            return
        if token.text == "measure":
            if condition is not None:
                raise self.fail("a conditional measurement is not supported: the kit "
                                "conditions gates only")
            self.advance()
            qubits = self.argument(self.builder.qubits)
            self.expect("->")
            bits = self.argument(self.builder.clbits)
            self.expect(";")
            self.builder.measure(qubits, bits, token.position)
            return
        self.advance()
        params = self.parameter_values()
        operands = self.argument_list()
        self.expect(";")
        self.builder.apply_gate(token.text, params, operands, token.position, condition)

    # -- operands -------------------------------------------------------------------------

    def argument(self, resolve) -> list[int]:
        name = self.identifier()
        index = None
        if self.accept("["):
            index = self.integer()
            self.expect("]")
        return resolve(name.text, index, name.position)

    def argument_list(self) -> list[list[int]]:
        operands = [self.argument(self.builder.qubits)]
        while self.accept(","):
            operands.append(self.argument(self.builder.qubits))
        return operands

    def parameter_values(self) -> list[float]:
        """The evaluated parameters of a top-level gate call. Programs repeat the same few
        parameter texts (pi/2, pi/4, ...), so each distinct text is parsed once."""
        tokens, start = self.tokens, self.index
        if tokens[start].kind != "op" or tokens[start].text != "(":
            return []
        end, depth = start, 0
        while True:
            token = tokens[end]
            if token.kind == "eof":   # unbalanced: the parser reports where
                return [evaluate(e, {}) for e in self.parameter_list()]
            if token.kind == "op" and token.text in "()":
                depth += 1 if token.text == "(" else -1
                if depth == 0:
                    break
            end += 1
        key = tuple(t.text for t in tokens[start:end + 1])
        values = self._parameter_cache.get(key)
        if values is None:
            values = [evaluate(e, {}) for e in self.parameter_list()]
            self._parameter_cache[key] = values
        else:
            self.index = end + 1
        return values

    def parameter_list(self) -> list[Expr]:
        params: list[Expr] = []
        if self.accept("("):
            if not self.accept(")"):
                params.append(self.expression())
                while self.accept(","):
                    params.append(self.expression())
                self.expect(")")
        return params

    # -- gate definitions -----------------------------------------------------------------

    def name_list(self) -> list[Token]:
        names = [self.identifier()]
        while self.accept(","):
            names.append(self.identifier())
        seen = set()
        for name in names:
            if name.text in seen:
                raise self.fail(f"{name.text!r} is listed twice", name)
            seen.add(name.text)
        return names

    def gate_definition(self) -> None:
        self.advance()
        name = self.identifier()
        param_names: list[str] = []
        if self.accept("("):
            if not self.accept(")"):
                param_names = [t.text for t in self.name_list()]
                self.expect(")")
        qubit_names = [t.text for t in self.name_list()]
        self.expect("{")
        body = []
        while not self.accept("}"):
            call = self.body_statement(set(param_names), qubit_names)
            if call is not None:
                body.append(call)
        definition = GateDef(name.text, param_names, len(qubit_names), body)
        self.builder.define_gate(definition, name.position)

    def body_statement(self, param_names: set[str], qubit_names: list[str]) -> GateCall | None:
        token = self.token
        if token.kind != "id":
            raise self.fail(f"expected a gate call or '}}', found {token.describe()}")
        self.advance()
        params = self.parameter_list()
        args = [self.identifier()]
        while self.accept(","):
            args.append(self.identifier())
        self.expect(";")
        for arg in args:
            if arg.text not in qubit_names:
                raise self.fail(f"{arg.text!r} is not a qubit argument of this gate", arg)
        if token.text == "barrier":
            return None
        if token.text in ("measure", "reset"):
            raise self.fail(f"{token.text} is not allowed inside a gate definition", token)
        gate = self.builder.lookup_gate(token.text, token.position)
        for expr in params:
            for used in expr.names():
                if used not in param_names and used not in CONSTANTS:
                    raise self.fail(f"unknown parameter {used!r}", token)
        if len(params) != gate.n_params:
            raise self.fail(f"gate {token.text!r} takes {gate.n_params} parameter(s), "
                            f"got {len(params)}", token)
        if len(args) != gate.n_qubits:
            raise self.fail(f"gate {token.text!r} acts on {gate.n_qubits} qubit(s), "
                            f"got {len(args)}", token)
        indices = [qubit_names.index(a.text) for a in args]
        if len(set(indices)) != len(indices):
            raise self.fail(f"gate {token.text!r} is given the same qubit twice", token)
        return GateCall(gate, params, indices, token.position)

    # -- expressions: + - (lowest), * /, unary minus, ^ (right-associative), atoms --------

    def nested(self, parse):
        """Run one nested parse step, refusing nesting deep enough to exhaust the stack."""
        if self.nesting >= MAX_DEPTH:
            raise self.fail(f"expression nested more than {MAX_DEPTH} levels deep")
        self.nesting += 1
        try:
            return parse()
        finally:
            self.nesting -= 1

    def expression(self) -> Expr:
        return self.nested(self.sum)

    def sum(self) -> Expr:
        return self.left_associative(("+", "-"), self.term)

    def term(self) -> Expr:
        return self.left_associative(("*", "/"), self.unary)

    def left_associative(self, operators: tuple[str, ...], operand) -> Expr:
        left = operand()
        while self.token.kind == "op" and self.token.text in operators:
            op = self.advance()
            left = Expr("bin", (op.text, left, operand()), op.line, op.column)
        return left

    def unary(self) -> Expr:
        return self.nested(self.signed)

    def signed(self) -> Expr:
        token = self.token
        if token.kind == "op" and token.text in ("-", "+"):
            self.advance()
            operand = self.unary()
            return operand if token.text == "+" else Expr("neg", (operand,), token.line, token.column)
        base = self.atom()
        if self.token.kind == "op" and self.token.text == "^":
            op = self.advance()
            return Expr("bin", ("^", base, self.unary()), op.line, op.column)
        return base

    def atom(self) -> Expr:
        token = self.advance()
        if token.kind in ("real", "int"):
            return Expr("num", (token.text,), token.line, token.column)
        if token.kind == "id":
            if token.text in FUNCTIONS and self.token.text == "(":
                self.advance()
                operand = self.expression()
                self.expect(")")
                return Expr("call", (token.text, operand), token.line, token.column)
            return Expr("name", (token.text,), token.line, token.column)
        if token.kind == "op" and token.text == "(":
            inner = self.expression()
            self.expect(")")
            return inner
        raise self.fail(f"expected an expression, found {token.describe()}", token)


def parse(text: str, max_operations: int = DEFAULT_MAX_OPERATIONS) -> DigitalCircuit:
    """The circuit of the OpenQASM 2.0 program `text`."""
    return _Parser(text, max_operations).program()
