"""OpenQASM reading faults: the line and column of each error, refused statements, bounded
work, and fuzzed input that may only ever raise QasmError."""

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from norvane.quantum.ir.digital.qasm import QasmError, loads

HEAD = 'OPENQASM 2.0;\ninclude "qelib1.inc";\nqreg q[2];\ncreg c[2];\n'


@pytest.mark.parametrize("body, line, column, message", [
    ("h q[2];", 5, 3, "index 2 is out of range for qubit register 'q' of size 2"),
    ("cx q[0],\n  q[0];", 5, 1, "same qubit twice"),
    ("h r[0];", 5, 3, "unknown qubit register 'r'"),
    ("foo q[0];", 5, 1, "unknown gate 'foo'"),
    ("rx(1, 2) q[0];", 5, 1, "takes 1 parameter"),
    ("rx(theta) q[0];", 5, 4, "unknown parameter 'theta'"),
    ("rx(1/0) q[0];", 5, 5, "division by zero"),
    ("rx(ln(0)) q[0];", 5, 4, "no finite real value"),
    ("rx(10^400) q[0];", 5, 6, "no finite real value"),
    ("h q[0]", 5, 7, "expected ';', found end of input"),
    ("h q[0]; @", 5, 9, "unexpected character '@'"),
    ("h q[0];\n  reset q;", 6, 3, "reset of qubit 0 is not supported"),
    ("if (c == 1) reset q[0];", 5, 13, "conditional reset"),
    ("opaque g a;", 5, 1, "opaque gates are not supported"),
    ("if (c == 1) measure q[0] -> c[0];", 5, 13, "conditional measurement"),
    ("measure q -> c[0];", 5, 1, "pairs 2 qubit(s) with 1 bit(s)"),
    ("qreg r[2];\nqreg s[3];\ncx r, s;", 7, 1, "different sizes"),
    ("qreg q[1];", 5, 6, "'q' is already declared"),
    ('include "other.inc";', 5, 1, "only 'qelib1.inc'"),
    ("gate g a { h b; }", 5, 14, "'b' is not a qubit argument"),
    ("gate g(x) a { rx(y) a; }", 5, 15, "unknown parameter 'y'"),
    ("gate g a { h a; }\ngate g a { x a; }", 6, 6, "already defined"),
    ("/* never closed", 5, 1, "unterminated comment"),
    ("h q[" + "9" * 5000 + "];", 5, 5, "integer too large"),
    ("rx(" + "(" * 500 + "1" + ")" * 500 + ") q[0];", 5, None, "nested more than"),
    ("rx(" + "-" * 500 + "1) q[0];", 5, None, "nested more than"),
    ("rx(" + "+".join(["1"] * 300) + ") q[0];", 5, None, "nested more than"),
])
def test_errors_name_line_and_column(body, line, column, message):
    with pytest.raises(QasmError) as info:
        loads(HEAD + body)
    assert message in str(info.value)
    assert info.value.line == line
    if column is not None:
        assert info.value.column == column
    assert str(info.value).startswith(f"line {line}, column {info.value.column}: ")


def test_header_and_library_are_required():
    for headless in ("qreg q[1];", 'include "stdgates.inc";\nqubit q;',
                     'qreg q[1];\ninclude "qelib1.inc";'):
        with pytest.raises(QasmError, match="line 1, column 1: expected the header"):
            loads(headless)
    with pytest.raises(QasmError, match="version 4 is not supported"):
        loads("// comment\nOPENQASM 4.0;")
    with pytest.raises(QasmError, match=r"unknown gate 'h' \(include \"qelib1.inc\""):
        loads("OPENQASM 2.0;\nqreg q[1];\nh q[0];")
    with pytest.raises(TypeError, match="str"):
        loads(b"OPENQASM 2.0;")


def test_exponential_expansion_and_huge_registers_are_refused_quickly():
    doubling = "".join(f"gate g{k + 1} a {{ g{k} a; g{k} a; }}\n" for k in range(60))
    with pytest.raises(QasmError, match="too many operations") as info:
        loads(HEAD + "gate g0 a { h a; }\n" + doubling + "g60 q[0];")
    assert info.value.line == 66
    with pytest.raises(QasmError, match="too many operations"):
        loads(HEAD + "qreg big[100000000000];")
    with pytest.raises(QasmError, match="too many operations"):
        loads(HEAD + "qreg r[50];\nh r;", max_operations=40)


TOKENS = ["OPENQASM", "2.0", ";", "include", '"qelib1.inc"', "qreg", "creg", "q", "c", "[", "]",
          "1", "0", "(", ")", "{", "}", ",", "->", "==", "gate", "g", "a", "measure", "if",
          "barrier", "h", "cx", "rx", "U", "pi", "+", "-", "*", "/", "^", "sin", "\n", " ",
          "x", "opaque", "reset", "1e9", ".5", "//", "/*", "*/", '"']


@settings(max_examples=400, deadline=None)
@given(st.lists(st.sampled_from(TOKENS), max_size=60), st.text(max_size=20))
def test_fuzzed_programs_raise_only_qasm_errors(tokens, noise):
    for text in ("OPENQASM 2.0; " + " ".join(tokens), HEAD + " ".join(tokens) + noise):
        try:
            loads(text)
        except QasmError as error:
            assert error.line is None or error.line >= 1


@settings(max_examples=200, deadline=None)
@given(st.data())
def test_mutated_valid_programs_raise_only_qasm_errors(data):
    text = (HEAD + "gate g(t) a, b { rx(t/2) a; cx a, b; }\ng(pi) q[0], q[1];\n"
            "measure q -> c;\nif (c == 3) h q[1];\n")
    position = data.draw(st.integers(0, len(text) - 1))
    cut = data.draw(st.integers(0, 5))
    insert = data.draw(st.text(alphabet="()[]{};,-+*/^=>\"q0123456789 \n", max_size=4))
    try:
        loads(text[:position] + insert + text[position + cut:])
    except QasmError:
        pass
