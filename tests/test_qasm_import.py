"""OpenQASM 2.0 import: every standard gate against independent matrices in both qubit
orders, registers, broadcasting, parameter expressions, user gates, measurements and the bit
order of register conditions."""

import math

import numpy as np
import pytest
from scipy.linalg import expm

from norvane.quantum.ir.digital.conditional import ClassicalCondition, ConditionalInstruction
from norvane.quantum.ir.digital.gate import CX, RX, RZ, H, UnitaryGate, X
from norvane.quantum.ir.digital.measurement import Measurement
from norvane.quantum.ir.digital.qasm import QasmError, load, loads
from norvane.quantum.simulator.digital.dense_sim import DigitalDenseSimulator
from tests.qasm_helpers import assert_equal_up_to_phase, reversed_qubits, unitary

I = np.eye(2)
PX = np.array([[0, 1], [1, 0]], dtype=complex)
PY = np.array([[0, -1j], [1j, 0]])
PZ = np.diag([1.0 + 0j, -1.0])
HAD = np.array([[1, 1], [1, -1]]) / math.sqrt(2)
SQX = expm(-0.25j * math.pi * PX) * np.exp(0.25j * math.pi)   # the square root of X


def ctrl(u, controls=1):
    for _ in range(controls):
        d = u.shape[0]
        u = np.block([[np.eye(d), np.zeros((d, d))], [np.zeros((d, d)), u]])
    return u


def rot(p, t):
    return expm(-0.5j * t * p)


def u3(t, p, l):
    return rot(PZ, p) @ rot(PY, t) @ rot(PZ, l)   # equal to U3 up to a global phase


A, B, C, D = 0.31, -1.2, 2.05, 0.6
SWAP = np.eye(4)[[0, 2, 1, 3]]

GATES = [
    ("x", (), PX), ("y", (), PY), ("z", (), PZ), ("h", (), HAD), ("id", (), I),
    ("s", (), np.diag([1, 1j])), ("sdg", (), np.diag([1, -1j])),
    ("t", (), np.diag([1, np.exp(0.25j * math.pi)])), ("tdg", (), np.diag([1, np.exp(-0.25j * math.pi)])),
    ("sx", (), SQX), ("sxdg", (), SQX.conj().T),
    ("rx", (A,), rot(PX, A)), ("ry", (A,), rot(PY, A)), ("rz", (A,), rot(PZ, A)),
    ("p", (A,), np.diag([1, np.exp(1j * A)])), ("u1", (A,), np.diag([1, np.exp(1j * A)])),
    ("u0", (A,), I), ("u2", (A, B), u3(math.pi / 2, A, B)), ("u3", (A, B, C), u3(A, B, C)),
    ("u", (A, B, C), u3(A, B, C)), ("U", (A, B, C), u3(A, B, C)),
    ("cx", (), ctrl(PX)), ("CX", (), ctrl(PX)), ("cy", (), ctrl(PY)), ("cz", (), ctrl(PZ)),
    ("ch", (), ctrl(HAD)), ("swap", (), SWAP), ("csx", (), ctrl(SQX)),
    ("crx", (A,), ctrl(rot(PX, A))), ("cry", (A,), ctrl(rot(PY, A))), ("crz", (A,), ctrl(rot(PZ, A))),
    ("cp", (A,), ctrl(np.diag([1, np.exp(1j * A)]))), ("cu1", (A,), ctrl(np.diag([1, np.exp(1j * A)]))),
    ("cu3", (A, B, C), ctrl(np.exp(0.5j * (B + C)) * u3(A, B, C))),
    ("cu", (A, B, C, D), ctrl(np.exp(1j * D + 0.5j * (B + C)) * u3(A, B, C))),
    ("rxx", (A,), rot(np.kron(PX, PX), A)), ("rzz", (A,), rot(np.kron(PZ, PZ), A)),
    ("ccx", (), ctrl(PX, 2)), ("cswap", (), ctrl(SWAP)), ("c3x", (), ctrl(PX, 3)),
    ("c3sqrtx", (), ctrl(SQX, 3)), ("c4x", (), ctrl(PX, 4)),
]


def program(body, qubits=5, cbits=0, header='OPENQASM 2.0;\ninclude "qelib1.inc";\n'):
    creg = f"creg c[{cbits}];\n" if cbits else ""
    return f"{header}qreg q[{qubits}];\n{creg}{body}\n"


@pytest.mark.parametrize("name, params, matrix", GATES, ids=[g[0] for g in GATES])
def test_standard_gate_matrices_in_both_qubit_orders(name, params, matrix):
    k = matrix.shape[0].bit_length() - 1
    call = f"{name}({', '.join(map(repr, params))})" if params else name
    forward = loads(program(f"{call} {', '.join(f'q[{i}]' for i in range(k))};", qubits=k))
    backward = loads(program(f"{call} {', '.join(f'q[{i}]' for i in reversed(range(k)))};", qubits=k))
    assert_equal_up_to_phase(unitary(forward), matrix)
    # Listing the register backwards reverses which qubit is most significant.
    assert_equal_up_to_phase(unitary(backward), reversed_qubits(matrix))


def test_gates_the_kit_has_keep_their_exact_matrix_and_others_become_unitary_gates():
    c = loads(program("rzz(0.5) q[0], q[1]; ch q[1], q[0]; cu3(1, 2, 3) q[2], q[3]; id q[4];"))
    kinds = [type(i).__name__ for i in c.instructions]
    assert kinds == ["RZZ", "UnitaryGate", "UnitaryGate"]   # id adds nothing
    np.testing.assert_allclose(c.instructions[0].matrix(), rot(np.kron(PZ, PZ), 0.5), atol=1e-12)
    np.testing.assert_allclose(c.instructions[2].matrix(),
                               ctrl(np.exp(2.5j) * u3(1, 2, 3)), atol=1e-12)


def test_relative_phase_toffolis_match_their_library_definitions():
    rccx = loads(program("rccx q[0], q[1], q[2];", qubits=3))
    steps = loads(program("u2(0,pi) q[2]; u1(pi/4) q[2]; cx q[1],q[2]; u1(-pi/4) q[2]; cx q[0],q[2];"
                          "u1(pi/4) q[2]; cx q[1],q[2]; u1(-pi/4) q[2]; u2(0,pi) q[2];", qubits=3))
    np.testing.assert_allclose(unitary(rccx), unitary(steps), atol=1e-12)
    # Up to phases on the diagonal it is a Toffoli.
    np.testing.assert_allclose(np.abs(unitary(rccx)), ctrl(PX, 2).real, atol=1e-12)
    rc3x = unitary(loads(program("rc3x q[0], q[1], q[2], q[3];", qubits=4)))
    np.testing.assert_allclose(np.abs(rc3x), ctrl(PX, 3).real, atol=1e-12)


def test_registers_flatten_in_declaration_order_and_broadcast():
    text = ('OPENQASM 2.0;\ninclude "qelib1.inc";\nqreg a[2];\ncreg m[1];\nqreg b[2];\ncreg n[3];\n'
            "h a;\ncx a, b;\ncx a[0], b;\nmeasure b[1] -> m[0];")
    c = loads(text)
    assert (c.n_qubits, c.n_cbits) == (4, 4)
    assert c.instructions == (H((0,)), H((1,)), CX((0, 2)), CX((1, 3)), CX((0, 2)), CX((0, 3)),
                              Measurement((3,), (0,)))
    whole = loads('OPENQASM 2.0;\nqreg q[3];\ncreg c[3];\nmeasure q -> c;')
    assert whole.instructions == (Measurement((0, 1, 2), (0, 1, 2)),)


def test_parameter_expressions_and_user_gates():
    c = loads(program("""
        gate rot(theta, phi) a, b { U(theta, 0, phi) a; CX a, b; rx(-theta/2 + phi^2) b; }
        gate twice(x) a, b { rot(x, 2*x) a, b; rot(x, 2*x) b, a; }
        rx(sin(pi/6)*2 + ln(exp(1)) - sqrt(4)^2/8 + cos(0) + tan(0) + 1.5e-1 - .15 + 2^-1) q[0];
        twice(0.25) q[1], q[2];
        """))
    first = c.instructions[0]
    assert isinstance(first, RX)
    assert first.params[0].evaluate() == pytest.approx(1 + 1 - 0.5 + 1 + 0 + 0.5)
    assert [type(i).__name__ for i in c.instructions[1:]] == ["U", "CX", "RX"] * 2
    assert [i.targets for i in c.instructions[1:]] == [(1,), (1, 2), (2,), (2,), (2, 1), (1,)]
    assert c.instructions[3].params[0].evaluate() == pytest.approx(-0.125 + 0.25)


def test_user_gate_may_replace_a_standard_gate_without_recursion():
    c = loads(program("gate h a { h a; x a; }\nh q[0];", qubits=1))
    assert c.instructions == (H((0,)), X((0,)))


def test_register_condition_reads_bit_zero_as_least_significant():
    text = program("x q[1];\nmeasure q[0] -> c[0];\nmeasure q[1] -> c[1];\n"
                   "if (c == 2) x q[2];\nif (c == 1) x q[3];\nmeasure q[2] -> c[2];\n"
                   "measure q[3] -> c[3];", qubits=4, cbits=4)
    c = loads(text)
    cond = c.instructions[3]
    assert isinstance(cond, ConditionalInstruction)
    assert cond.condition == ClassicalCondition((3, 2, 1, 0), 2)
    result = DigitalDenseSimulator(c, seed=3).run(20)
    # c[1] = 1 makes the register's value 2: the first correction fires, the second not.
    assert result.counts == {"0110": 20}


def test_conditions_apply_to_every_gate_a_user_gate_expands_to():
    c = loads(program("gate pair a, b { x a; x b; }\nif (c == 0) pair q[0], q[1];", qubits=2, cbits=1))
    assert all(isinstance(i, ConditionalInstruction) and i.condition == ClassicalCondition((0,), 0)
               for i in c.instructions)
    assert len(c.instructions) == 2


def test_long_programs():
    body = "\n".join(f"cx q[{i % 20}], q[{(i + 1) % 20}]; rz({i}*pi/1000) q[{i % 20}];"
                     for i in range(5000))
    c = loads(program(body, qubits=20))
    assert len(c.instructions) == 10000
    assert isinstance(c.instructions[-1], RZ) and c.instructions[-1].targets == (4999 % 20,)
    assert c.instructions[-1].params[0].evaluate() == pytest.approx(4999 * math.pi / 1000)


def test_matrix_gates_carry_the_standard_matrix():
    (gate,) = loads(program("csx q[0], q[1];", qubits=2)).instructions
    assert isinstance(gate, UnitaryGate)
    np.testing.assert_allclose(gate.matrix(), ctrl(SQX), atol=1e-12)


def test_reset_is_kept_exact_on_fresh_and_just_measured_qubits():
    c = loads(program("reset q;\nx q[0];\nmeasure q[0] -> c[0];\nmeasure q[1] -> c[2];\n"
                      "reset q[0];\nreset q[0];\nmeasure q[0] -> c[1];", qubits=2, cbits=3))
    # Nothing for the untouched register; one X conditioned on the bit that holds q[0].
    assert c.instructions[3] == ConditionalInstruction(X((0,)), ClassicalCondition((0,), 1))
    assert len(c.instructions) == 5
    assert DigitalDenseSimulator(c, seed=4).run(10).counts == {"100": 10}
    # Once the bit is overwritten it no longer tells the qubit's state.
    with pytest.raises(QasmError, match="reset of qubit 0"):
        loads(program("h q[0];\nmeasure q[0] -> c[0];\nmeasure q[1] -> c[0];\nreset q[0];",
                      qubits=2, cbits=1))


def test_files_with_byte_order_mark_and_crlf_lines(tmp_path):
    path = tmp_path / "bell.qasm"
    path.write_bytes(b"\xef\xbb\xbf" + program("h q[0];\r\ncx q[0], q[1];", qubits=2).replace("\n", "\r\n").encode())
    assert load(path).instructions == (H((0,)), CX((0, 1)))


def test_header_may_be_left_out_when_the_program_opens_with_qelib1():
    body = 'include "qelib1.inc";\nqreg q[2];\nh q[0];\ncx q[0], q[1];\n'
    for text in (body, "// benchmark\n/* generated */\n" + body):
        assert loads(text).instructions == (H((0,)), CX((0, 1)))
    with pytest.raises(QasmError, match="line 3, column 1: unknown gate 'foo'"):
        loads(body.replace("h q[0]", "foo q[0]"))
