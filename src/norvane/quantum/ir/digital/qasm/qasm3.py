"""OpenQASM 3.0 reader for the gate-model subset, on the reference parser package `openqasm3`.

Read: `include "stdgates.inc"`, `qubit`/`qreg` and `bit`/`creg` declarations, `input float`
(or `angle`) parameters, which become kit variables, numeric `const` declarations, gate
definitions, gate calls, measurements, `barrier` (dropped), `gphase` (a global phase, dropped)
`reset` where it can be kept exact (see the builder), and `if`/`else` around gates on a
condition that reads one bit or one register, compared with an integer. Everything else
(gate modifiers, loops, classical arithmetic, timing) is refused with its line and column.
"""

from __future__ import annotations

import re

from norvane.quantum.ir.digital.circuit import DigitalCircuit
from norvane.quantum.ir.digital.qasm.builder import CircuitBuilder, GateCall, GateDef, Position
from norvane.quantum.ir.digital.qasm.errors import QasmError
from norvane.quantum.ir.digital.qasm.expr import CONSTANTS, FUNCTIONS, Expr, Value, evaluate
from norvane.quantum.ir.digital.qasm.stdgates import QASM3_BUILTINS, QASM3_GATES
from norvane.quantum.ir.scalar import Variable

__all__ = ["parse"]

LIBRARY = "stdgates.inc"
_NEGATED = {"==": "!=", "!=": "==", "<": ">=", ">=": "<", ">": "<=", "<=": ">"}
_MIRRORED = {"==": "==", "!=": "!=", "<": ">", ">": "<", "<=": ">=", ">=": "<="}


def _openqasm3():
    try:
        from openqasm3 import ast, parser
    except ImportError:
        raise ImportError("reading OpenQASM 3 needs the 'openqasm3' package with its parser; "
                          "install norvane-quantum[qasm3]") from None
    return parser, ast


def _syntax_error(error: Exception) -> QasmError:
    """The parser's error with its position (the package counts columns from 0)."""
    match = re.match(r"L(\d+):C(\d+): (.*)", str(error), re.DOTALL)
    if match:
        return QasmError(match.group(3), int(match.group(1)), int(match.group(2)) + 1)
    cause: BaseException | None = error
    while cause is not None:
        for candidate in (cause, *getattr(cause, "args", ())):
            token = getattr(candidate, "offendingToken", None)
            if token is not None:
                found = repr(token.text) if token.text != "<EOF>" else "end of input"
                return QasmError(f"syntax error at {found}", token.line, token.column + 1)
        cause = cause.__cause__ or cause.__context__
    return QasmError("syntax error")


def _syntax_tree(parser, text: str):
    """The reference AST of `text`, parsed as `openqasm3.parse` parses it, but with error
    listeners of this parse's own: by default every ANTLR recognizer also prints its errors
    on sys.stderr. Lexer errors raise; parser errors end the parse (bail-out strategy)."""
    from antlr4 import CommonTokenStream, InputStream, RecognitionException
    from antlr4.error.ErrorListener import ErrorListener
    from antlr4.error.ErrorStrategy import BailErrorStrategy
    from antlr4.error.Errors import ParseCancellationException

    class RaiseOnError(ErrorListener):
        def syntaxError(self, recognizer, offendingSymbol, line, column, msg, e):
            raise QasmError(msg, line, column + 1)

    version = parser.parse_version(text) or parser.MIN_SUPPORTED_VERSION
    if not parser.MIN_SUPPORTED_VERSION <= version <= parser.MAX_SUPPORTED_VERSION:
        raise QasmError(f"OpenQASM version {'.'.join(map(str, version))} is not supported "
                        "by the installed openqasm3 parser")
    lexer = parser.qasm3Lexer(InputStream(text))
    lexer.removeErrorListeners()
    lexer.addErrorListener(RaiseOnError())
    recognizer = parser.qasm3Parser(CommonTokenStream(lexer))
    recognizer.removeErrorListeners()
    recognizer._errHandler = BailErrorStrategy()   # the runtime has no setter for it
    try:
        tree = recognizer.program()
    except (RecognitionException, ParseCancellationException) as error:
        raise _syntax_error(error) from None
    return parser.QASMNodeVisitor().visitProgram(tree)


def _position(node) -> Position:
    span = getattr(node, "span", None)
    return (span.start_line, span.start_column + 1) if span is not None else (1, 1)


class _Reader:
    def __init__(self, ast, max_operations: int):
        self.ast = ast
        self.builder = CircuitBuilder(QASM3_BUILTINS, QASM3_GATES, LIBRARY, max_operations)
        self.env: dict[str, Value] = {}

    def fail(self, message: str, node) -> QasmError:
        return QasmError(message, *_position(node))

    # -- expressions ----------------------------------------------------------------------

    def expr(self, node, at) -> Expr:
        """The parameter expression of `node`; errors point at the statement `at`."""
        ast = self.ast
        line, column = _position(at)
        if isinstance(node, (ast.IntegerLiteral, ast.FloatLiteral)):
            return Expr("num", (repr(node.value),), line, column)
        if isinstance(node, ast.Identifier):
            constant = self.env.get(node.name)
            if isinstance(constant, float):   # a const: fixed in, also inside gate bodies
                return Expr("num", (repr(constant),), line, column)
            return Expr("name", (node.name,), line, column)
        if isinstance(node, ast.UnaryExpression) and node.op.name == "-":
            return Expr("neg", (self.expr(node.expression, at),), line, column)
        if isinstance(node, ast.BinaryExpression) and node.op.name in ("+", "-", "*", "/", "**"):
            return Expr("bin", (node.op.name, self.expr(node.lhs, at), self.expr(node.rhs, at)),
                        line, column)
        if isinstance(node, ast.FunctionCall) and node.name.name in FUNCTIONS \
                and len(node.arguments) == 1:
            return Expr("call", (node.name.name, self.expr(node.arguments[0], at)), line, column)
        raise self.fail(f"unsupported expression {type(node).__name__} in a gate parameter", at)

    def integer(self, node, at) -> int:
        if isinstance(node, self.ast.IntegerLiteral):
            return node.value
        if isinstance(node, self.ast.UnaryExpression) and node.op.name == "-" \
                and isinstance(node.expression, self.ast.IntegerLiteral):
            return -node.expression.value
        if isinstance(node, self.ast.BooleanLiteral):
            return int(node.value)
        raise self.fail("expected an integer literal", at)

    # -- operands -------------------------------------------------------------------------

    def operand(self, node, resolve, at) -> list[int]:
        ast = self.ast
        if isinstance(node, ast.Identifier):
            return resolve(node.name, None, _position(at))
        if isinstance(node, (ast.IndexedIdentifier, ast.IndexExpression)):
            name = node.name if isinstance(node, ast.IndexedIdentifier) else node.collection
            indices = node.indices if isinstance(node, ast.IndexedIdentifier) else [node.index]
            if any(isinstance(i, ast.RangeDefinition) for group in indices
                   for i in (group if isinstance(group, list) else [group])):
                raise self.fail("index ranges are not supported; name one element or the "
                                "whole register", at)
            if not isinstance(name, ast.Identifier) or len(indices) != 1 \
                    or not isinstance(indices[0], list) or len(indices[0]) != 1:
                raise self.fail("only a register or one element of it can be an operand", at)
            return resolve(name.name, self.integer(indices[0][0], at), _position(at))
        raise self.fail(f"unsupported operand {type(node).__name__}", at)

    # -- statements -----------------------------------------------------------------------

    def program(self, program) -> DigitalCircuit:
        for statement in program.statements:
            self.statement(statement)
        return self.builder.circuit()

    def statement(self, s) -> None:
        ast = self.ast
        position = _position(s)
        if isinstance(s, ast.Include):
            if s.filename != LIBRARY:
                raise self.fail(f"cannot include {s.filename!r}: only {LIBRARY!r} is available", s)
            self.builder.include_library()
        elif isinstance(s, ast.QubitDeclaration):
            size = 1 if s.size is None else self.integer(s.size, s)
            self.builder.add_qreg(s.qubit.name, size, position)
        elif isinstance(s, ast.ClassicalDeclaration) and isinstance(s.type, ast.BitType):
            if s.init_expression is not None:
                raise self.fail("bit registers start at 0; an initial value is not supported", s)
            size = 1 if s.type.size is None else self.integer(s.type.size, s)
            self.builder.add_creg(s.identifier.name, size, position)
        elif isinstance(s, ast.IODeclaration):
            if s.io_identifier.name != "input" or not isinstance(s.type, (ast.FloatType, ast.AngleType)):
                raise self.fail("only 'input float' and 'input angle' parameters are supported", s)
            self._bind(s.identifier.name, Variable(s.identifier.name), s)
        elif isinstance(s, ast.ConstantDeclaration):
            self._bind(s.identifier.name, evaluate(self.expr(s.init_expression, s), self.env), s)
        elif isinstance(s, ast.QuantumGateDefinition):
            self.gate_definition(s)
        elif isinstance(s, ast.QuantumGate):
            self.gate_call(s, None)
        elif isinstance(s, ast.QuantumMeasurementStatement):
            if s.target is None:
                raise self.fail("a measurement must store its outcome in a bit", s)
            qubits = self.operand(s.measure.qubit, self.builder.qubits, s)
            bits = self.operand(s.target, self.builder.clbits, s)
            self.builder.measure(qubits, bits, position)
        elif isinstance(s, ast.BranchingStatement):
            self.branch(s)
        elif isinstance(s, ast.QuantumPhase):
            self._global_phase(s)
        elif isinstance(s, ast.QuantumBarrier):
            pass
        elif isinstance(s, ast.QuantumReset):
            self.builder.reset(self.operand(s.qubits, self.builder.qubits, s), position)
        else:
            raise self.fail(f"unsupported statement {type(s).__name__}", s)

    def _bind(self, name: str, value: Value, at) -> None:
        if name in self.env:
            raise self.fail(f"{name!r} is already declared", at)
        self.env[name] = value

    def _global_phase(self, s) -> None:
        if s.modifiers:
            raise self.fail("gate modifiers are not supported", s)
        evaluate(self.expr(s.argument, s), self.env)   # checked, then dropped: unobservable

    def gate_call(self, s, condition) -> None:
        if s.modifiers:
            raise self.fail("gate modifiers (ctrl @, inv @, pow @) are not supported", s)
        if getattr(s, "duration", None) is not None:
            raise self.fail("gate durations are not supported", s)
        params = [evaluate(self.expr(a, s), self.env) for a in s.arguments]
        operands = [self.operand(q, self.builder.qubits, s) for q in s.qubits]
        self.builder.apply_gate(s.name.name, params, operands, _position(s), condition)

    def gate_definition(self, s) -> None:
        ast = self.ast
        param_names = [a.name for a in s.arguments]
        qubit_names = [q.name for q in s.qubits]
        for names in (param_names, qubit_names):
            if len(set(names)) != len(names):
                raise self.fail("a name is listed twice in the gate's signature", s)
        body = []
        for call in s.body:
            if isinstance(call, ast.QuantumBarrier):
                continue
            if isinstance(call, ast.QuantumPhase):
                continue   # a global phase of the gate: unobservable once expanded
            if not isinstance(call, ast.QuantumGate) or call.modifiers:
                raise self.fail(f"unsupported statement {type(call).__name__} in a gate body", call)
            gate = self.builder.lookup_gate(call.name.name, _position(call))
            params = [self.expr(a, call) for a in call.arguments]
            for expr in params:
                for used in expr.names():
                    if used not in param_names and used not in CONSTANTS:
                        raise self.fail(f"unknown parameter {used!r}", call)
            args = []
            for q in call.qubits:
                if not isinstance(q, ast.Identifier) or q.name not in qubit_names:
                    raise self.fail("gate bodies act on the gate's own qubit arguments", call)
                args.append(qubit_names.index(q.name))
            if len(params) != gate.n_params or len(args) != gate.n_qubits:
                raise self.fail(f"gate {call.name.name!r} takes {gate.n_params} parameter(s) and "
                                f"{gate.n_qubits} qubit(s)", call)
            if len(set(args)) != len(args):
                raise self.fail(f"gate {call.name.name!r} is given the same qubit twice", call)
            body.append(GateCall(gate, params, args, _position(call)))
        self.builder.define_gate(GateDef(s.name.name, param_names, len(qubit_names), body),
                                 _position(s))

    # -- conditions -----------------------------------------------------------------------

    def condition(self, node, at):
        """(classical bits, value, operator) of an `if` condition; bits[0] is the least
        significant bit of the value."""
        ast = self.ast
        if isinstance(node, ast.UnaryExpression) and node.op.name == "!":
            bits, value, operator = self.condition(node.expression, at)
            return bits, value, _NEGATED[operator]
        if isinstance(node, ast.BinaryExpression) and node.op.name in _NEGATED:
            lhs, rhs, operator = node.lhs, node.rhs, node.op.name
            if isinstance(lhs, (ast.IntegerLiteral, ast.BooleanLiteral)):
                lhs, rhs, operator = rhs, lhs, _MIRRORED[operator]
            return self.operand(lhs, self.builder.clbits, at), self.integer(rhs, at), operator
        if isinstance(node, (ast.Identifier, ast.IndexExpression)):
            bits = self.operand(node, self.builder.clbits, at)
            if len(bits) != 1:
                raise self.fail("a register condition needs a comparison, such as c == 3", at)
            return bits, 1, "=="
        raise self.fail("conditions compare one bit or one register with an integer", at)

    def branch(self, s) -> None:
        bits, value, operator = self.condition(s.condition, s)
        position = _position(s)
        for block, op in ((s.if_block, operator), (s.else_block, _NEGATED[operator])):
            condition = self.builder.bits_condition(bits, value, op, position)
            for inner in block:
                if isinstance(inner, self.ast.QuantumGate):
                    self.gate_call(inner, condition)
                elif isinstance(inner, self.ast.QuantumPhase):
                    self._global_phase(inner)
                elif not isinstance(inner, self.ast.QuantumBarrier):
                    raise self.fail(f"only gates can be conditioned, not "
                                    f"{type(inner).__name__}", inner)


def parse(text: str, max_operations: int) -> DigitalCircuit:
    """The circuit of the OpenQASM 3 program `text`."""
    parser, ast = _openqasm3()
    try:
        program = _syntax_tree(parser, text)
    except QasmError:
        raise
    except parser.QASM3ParsingError as error:   # from building the tree
        raise _syntax_error(error) from None
    except RecursionError:
        raise QasmError("the program is nested too deeply to read") from None
    except Exception as error:   # the reference parser failed on text it could not build
        raise QasmError(f"the program could not be parsed: {type(error).__name__}: {error}") \
            from None
    return _Reader(ast, max_operations).program(program)
