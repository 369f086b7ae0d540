"""OpenQASM 3.0 import through the reference parser: declarations, inputs and constants,
gate definitions, measurement forms, if/else on bits and registers, refusals with
positions, fuzzed input."""

import math
import sys

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from norvane.quantum.ir.digital import gate as g
from norvane.quantum.ir.digital.conditional import ClassicalCondition, ConditionalInstruction
from norvane.quantum.ir.digital.measurement import Measurement
from norvane.quantum.ir.digital.qasm import QasmError, loads
from norvane.quantum.ir.scalar import Variable
from norvane.quantum.simulator.digital.dense_sim import DigitalDenseSimulator
from tests.qasm_helpers import unitary

pytest.importorskip("openqasm3")

HEAD = 'OPENQASM 3.0;\ninclude "stdgates.inc";\n'


def test_declarations_inputs_constants_and_gate_definitions():
    c = loads(HEAD + """
        input float theta;
        const float half = 0.5;
        qubit[2] q;
        qreg r[1];
        qubit s;
        bit[2] m;
        creg n[1];
        gate twist(a) x, y { rx(a * half) x; cx x, y; gphase(a); }
        twist(theta + 1) q[0], r[0];
        U(pi, 0, π) s;
        cphase(tau / 8) q[1], s;
        cx q, r;
        """)
    assert (c.n_qubits, c.n_cbits) == (4, 3)
    rx, cx, u, cp, cx0, cx1 = c.instructions
    assert isinstance(rx, g.RX) and rx.targets == (0,)
    assert rx.params[0].evaluate({"theta": 1.0}) == pytest.approx(1.0)
    assert cx == g.CX((0, 2)) and cx0 == g.CX((0, 2)) and cx1 == g.CX((1, 2))
    assert isinstance(u, g.U) and u.targets == (3,)
    assert isinstance(cp, g.CPhase) and cp.params[0].evaluate() == pytest.approx(math.pi / 4)


def test_measurement_forms_and_conditions():
    c = loads(HEAD + """
        qubit[3] q;
        bit[2] c;
        bit flag;
        x q[1];
        c[0] = measure q[0];
        measure q[1] -> c[1];
        flag = measure q[1];
        if (c == 2) x q[2];
        if (c[1]) { z q[0]; } else { y q[0]; }
        if (!flag) h q[0];
        if (1 < c) s q[0];
        """)
    _, m0, m1, m2, *conditionals = c.instructions
    assert (m0, m1, m2) == (Measurement((0,), (0,)), Measurement((1,), (1,)), Measurement((1,), (2,)))
    conditions = [(type(i.instruction).__name__, i.condition) for i in conditionals]
    assert conditions == [
        ("X", ClassicalCondition((1, 0), 2)),
        ("Z", ClassicalCondition((1,), 1)), ("Y", ClassicalCondition((1,), 1, "!=")),
        ("H", ClassicalCondition((2,), 1, "!=")),
        ("S", ClassicalCondition((1, 0), 1, ">")),
    ]
    result = DigitalDenseSimulator(c, seed=1).run(5)
    assert result.counts == {"011": 5}


def test_symbolic_inputs_reach_the_simulator_as_bindings():
    c = loads(HEAD + "input angle phi;\nqubit q;\nbit b;\nry(2 * phi) q;\nb = measure q;")
    assert c.instructions[0].params[0].evaluate({"phi": math.pi / 2}) == pytest.approx(math.pi)
    assert DigitalDenseSimulator(c, seed=2).run(10, phi=math.pi / 2).counts == {"1": 10}
    np.testing.assert_allclose(np.abs(unitary(c, phi=0.0)), np.eye(2), atol=1e-12)


@pytest.mark.parametrize("body, line, message", [
    ("qubit q;\nh q q;", 4, "syntax error"),
    ("qubit[2] q;\nx q[0:1];", 4, "index ranges"),
    ("qubit q;\nh q;\nreset q;", 5, "reset of qubit 0 is not supported"),
    ("qubit[2] q;\nctrl @ x q[0], q[1];", 4, "gate modifiers"),
    ("qubit q;\nmeasure q;", 4, "store its outcome"),
    ("qubit q;\nint[8] k;", 4, "unsupported statement ClassicalDeclaration"),
    ("qubit q;\nfor int i in [0:2] { h q; }", 4, "unsupported statement ForInLoop"),
    ("qubit q;\nbit b;\nif (b) b = measure q;", 5, "only gates can be conditioned"),
    ("output float x;", 3, "only 'input float'"),
    ("qubit q;\nrx(sin(theta)) q;", 4, "unknown parameter 'theta'"),
    ("input float t;\nqubit q;\nrx(sin(t)) q;", 5, r"sin\(\) of a symbolic parameter"),
    ('include "other.inc";', 3, "only 'stdgates.inc'"),
    ("qubit q;\n$", 4, "token recognition"),
])
def test_refusals_carry_their_line(body, line, message):
    with pytest.raises(QasmError, match=message) as info:
        loads(HEAD + body)
    assert info.value.line == line and info.value.column >= 1


def test_syntax_errors_leave_standard_error_alone(capfd, monkeypatch):
    """Faults come back as QasmError only: nothing is printed, and sys.stderr stays the
    process's own while a program is read (other threads keep writing to it)."""
    from openqasm3 import parser

    seen = []
    visit = parser.QASMNodeVisitor.visitProgram
    monkeypatch.setattr(parser.QASMNodeVisitor, "visitProgram",
                        lambda self, tree: seen.append(sys.stderr) or visit(self, tree))
    for body, message in [("qubit q;\nh q @;", "syntax error at '@'"),
                          ("qubit q;\n$ ;", "token recognition error"),
                          ("qubit q;\nh q[;", "syntax error at ';'")]:
        with pytest.raises(QasmError, match=message):
            loads(HEAD + body)
    with pytest.raises(QasmError, match="version 3.9 is not supported"):
        loads("OPENQASM 3.9;\nqubit q;")
    assert loads(HEAD + "qubit q;\nh q;").instructions == (g.H((0,)),)
    assert seen == [sys.stderr]
    assert capfd.readouterr().err == ""


@settings(max_examples=60, deadline=None)
@given(st.text(alphabet="qubit[]2;hx()c=measure if{}+-*/ \nU0.5pi,@", max_size=40))
def test_fuzzed_programs_raise_only_qasm_errors(noise):
    try:
        loads(HEAD + "qubit[2] q;\nbit[2] c;\n" + noise)
    except QasmError:
        pass


def test_every_standard_gate_matches_its_openqasm2_reading():
    from norvane.quantum.ir.digital.qasm.stdgates import QASM3_GATES

    aliases = {"phase": "p", "cphase": "cp", "CX": "cx"}
    for name, gate in QASM3_GATES.items():
        params = ", ".join(str(0.3 + 0.4 * k) for k in range(gate.n_params))
        call = f"{name}({params})" if params else name
        args = ", ".join(f"q[{k}]" for k in reversed(range(gate.n_qubits)))
        three = loads(f"{HEAD}qubit[{gate.n_qubits}] q;\n{call} {args};")
        two = loads(f'OPENQASM 2.0;\ninclude "qelib1.inc";\nqreg q[{gate.n_qubits}];\n'
                    f"{call.replace(name, aliases.get(name, name), 1)} {args};")
        np.testing.assert_allclose(unitary(three), unitary(two), atol=1e-12, err_msg=name)
