"""OpenQASM export: loads(dumps(c)) keeps the unitary and the exact outcome distribution of
random circuits in both versions; register layout for conditions; symbolic parameters;
matrix gates through the decomposition; refusals."""

import math

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from norvane.quantum.ir.digital import gate as g
from norvane.quantum.ir.digital.circuit import DigitalCircuit
from norvane.quantum.ir.digital.conditional import ClassicalCondition, ConditionalInstruction
from norvane.quantum.ir.digital.measurement import Measurement, MeasurementBasis
from norvane.quantum.ir.digital.qasm import QasmError, dumps, loads
from norvane.quantum.ir.scalar import Add, Div, Max, Mul, Negative, Variable
from tests.qasm_helpers import (
    assert_equal_up_to_phase, assert_same_distribution, outcome_distribution, random_unitary,
    unitary,
)

FIXED = [g.H, g.X, g.Y, g.Z, g.S, g.Sdg, g.T, g.Tdg, g.SX, g.SXdg, g.CX, g.CY, g.CZ, g.SWAP,
         g.CCX, g.CSWAP]
PARAMETRIC = [g.RX, g.RY, g.RZ, g.Phase, g.U1, g.U2, g.U3, g.U, g.CRX, g.CRY, g.CRZ, g.CPhase,
              g.RXX, g.RYY, g.RZZ]
ANGLES = st.sampled_from([0.0, 0.1, -2.5, math.pi, 1e-7, 123456.75, 2.0 ** -30])


@st.composite
def gates(draw, n_qubits):
    choices = [c for c in FIXED + PARAMETRIC if _arity(c) <= n_qubits] + ["unitary"]
    kind = draw(st.sampled_from(choices))
    if kind == "unitary":
        k = draw(st.integers(1, min(3, n_qubits)))
        targets = draw(st.permutations(range(n_qubits)))[:k]
        return g.UnitaryGate(targets, random_unitary(k, draw(st.integers(0, 2**32 - 1))))
    targets = draw(st.permutations(range(n_qubits)))[:_arity(kind)]
    if kind in FIXED:
        return kind(targets)
    return kind(targets, [draw(ANGLES) for _ in range(kind.n_params)])


def _arity(cls):
    return cls.n_targets


@st.composite
def circuits(draw, version):
    n = draw(st.integers(1, 3))
    n_cbits = draw(st.integers(0, 3))
    # Conditions read one whole range of bits (a register on export), or in version 3 one bit.
    start = draw(st.integers(0, max(n_cbits - 1, 0)))
    stop = draw(st.integers(start + 1, max(n_cbits, start + 1)))
    instructions = []
    for _ in range(draw(st.integers(0, 8))):
        what = draw(st.sampled_from(["gate", "gate", "measure", "conditional"]))
        if what == "gate" or n_cbits == 0:
            instructions.append(draw(gates(n)))
        elif what == "measure":
            qubits = draw(st.permutations(range(n)))[:draw(st.integers(1, n))]
            bits = [draw(st.integers(0, n_cbits - 1)) for _ in qubits]
            basis = draw(st.sampled_from(list(MeasurementBasis)))
            instructions.append(Measurement(qubits, bits, basis))
        else:
            bits = list(range(stop - 1, start - 1, -1))
            if version == 3 and draw(st.booleans()):
                bits = [draw(st.integers(0, n_cbits - 1))]
            operator = "==" if version == 2 else draw(st.sampled_from(["==", "!=", "<", ">=", ">", "<="]))
            condition = ClassicalCondition(bits, draw(st.integers(0, (1 << len(bits)) - 1)), operator)
            instructions.append(ConditionalInstruction(draw(gates(n)), condition))
    return DigitalCircuit(n, instructions, n_cbits=n_cbits)


@pytest.mark.parametrize("version", [2, 3])
def test_round_trip_keeps_unitary_and_outcomes(version):
    @settings(max_examples=60, deadline=None)
    @given(circuits(version))
    def check(circuit):
        back = loads(dumps(circuit, version))
        assert (back.n_qubits, back.n_cbits) == (circuit.n_qubits, circuit.n_cbits)
        assert_equal_up_to_phase(unitary(back), unitary(circuit), atol=1e-8)
        assert_same_distribution(outcome_distribution(back), outcome_distribution(circuit), atol=1e-8)

    check()


def test_named_gates_survive_a_round_trip_unchanged():
    gates_ = [cls([0, 1, 2][:cls.n_targets]) for cls in FIXED if cls is not g.SXdg] + \
             [cls([2, 1][:cls.n_targets], [0.5] * cls.n_params) for cls in PARAMETRIC
              if cls not in (g.RYY,)]
    circuit = DigitalCircuit(3, gates_ + [Measurement([2], [0]), Measurement([0], [1])], n_cbits=2)
    assert loads(dumps(circuit, 2)) == circuit
    without_definitions = [x for x in circuit.instructions if not isinstance(x, (g.RXX, g.RZZ))]
    circuit3 = DigitalCircuit(3, without_definitions, n_cbits=2)
    assert loads(dumps(circuit3, 3)) == circuit3


def test_conditions_split_the_classical_bits_into_registers():
    cond = lambda bits, value: ConditionalInstruction(g.X([0]), ClassicalCondition(bits, value))
    circuit = DigitalCircuit(1, [cond([2, 1], 1), cond([4, 3], 2), cond([0], 1)], n_cbits=6)
    text = dumps(circuit)
    assert "creg c0[1];\ncreg c1[2];\ncreg c2[2];\ncreg c3[1];" in text
    # Bits (2, 1) == 1: bit 1 set, the register's bit 0: value 1; (4, 3) == 2: bit 4, value 2.
    assert "if (c1 == 1) x q[0];\nif (c2 == 2) x q[0];\nif (c0 == 1) x q[0];" in text
    assert loads(text) == circuit
    # A listing in rising order is another value of the same register.
    rising = DigitalCircuit(1, [cond([0, 1], 1)], n_cbits=2)
    assert "if (c == 2)" in dumps(rising)
    assert_same_condition(loads(dumps(rising)).instructions[0].condition, rising.instructions[0].condition, 2)


def assert_same_condition(a, b, n_cbits):
    for value in range(1 << n_cbits):
        bits = [(value >> k) & 1 for k in range(n_cbits)]
        assert a.evaluate(bits) == b.evaluate(bits)


def test_symbolic_parameters_become_inputs_in_version_3_only():
    theta, phi = Variable("theta"), Variable("phi")
    circuit = DigitalCircuit(2, [g.RX([0], [theta]), g.CRZ([0, 1], [Add(Mul(2, theta), Negative(phi))]),
                                 g.U3([1], [Div(theta, 4), phi, 0.25])])
    text = dumps(circuit, 3)
    assert text.splitlines()[2:4] == ["input float theta;", "input float phi;"]
    back = loads(text)
    bindings = {"theta": 0.7, "phi": -1.9}
    np.testing.assert_allclose(unitary(back, **bindings), unitary(circuit, **bindings), atol=1e-12)
    with pytest.raises(QasmError, match="symbolic parameter 'theta'.*OpenQASM 2.0"):
        dumps(circuit, 2)
    with pytest.raises(QasmError, match="max"):
        dumps(DigitalCircuit(1, [g.RX([0], [Max([theta, 1])])]), 3)


@pytest.mark.parametrize("k", [1, 2, 3, 4])
def test_matrix_gates_are_decomposed_exactly(k):
    u = random_unitary(k, 40 + k)
    circuit = DigitalCircuit(k + 1, [g.UnitaryGate(list(range(k, 0, -1)), u)])
    back = loads(dumps(circuit))
    assert {type(i) for i in back.instructions} <= {g.U3, g.CX}
    assert_equal_up_to_phase(unitary(back), unitary(circuit), atol=1e-9)


def test_circuits_openqasm_cannot_express_are_refused():
    cond = lambda bits, op="==": ConditionalInstruction(g.X([0]), ClassicalCondition(bits, 1, op))
    cases = [
        (DigitalCircuit(2, [Measurement([0, 1], [0])]), 2, "fewer bits"),
        (DigitalCircuit(1, [cond([0, 2])], n_cbits=3), 2, "consecutive"),
        (DigitalCircuit(1, [cond([1, 0]), cond([2, 1])], n_cbits=3), 2, "overlapping"),
        (DigitalCircuit(1, [cond([0], "<")], n_cbits=1), 2, "compares with =="),
        (DigitalCircuit(1, [g.CustomGate([0], lambda: np.eye(2) * 2)]), 2, "unitary"),
        (DigitalCircuit(1, [g.X([3])]), 2, "outside"),
        (DigitalCircuit(2, [g.UnitaryGate([1, 1], np.eye(4))]), 3, "lists a qubit twice"),
        (DigitalCircuit(1, [g.RX([0], [Variable("pi")])]), 3, "identifier"),
    ]
    for circuit, version, message in cases:
        with pytest.raises(QasmError, match=message) as info:
            dumps(circuit, version)
        assert info.value.line is None
    with pytest.raises(ValueError, match="version"):
        dumps(DigitalCircuit(1), 4)


@pytest.mark.parametrize("version, expected", [(2, "cu3("), (3, "cu(")])
def test_controlled_matrix_gates_are_written_as_one_controlled_u3(version, expected):
    v = random_unitary(1, 7) * np.exp(0.3j)
    controlled = np.eye(4, dtype=complex)
    controlled[2:, 2:] = v
    circuit = DigitalCircuit(2, [g.UnitaryGate([1, 0], controlled)])
    text = dumps(circuit, version)
    assert text.count(expected) == 1 and "cx" not in text
    # The phase of V is kept: the controlled gate is exact, not exact up to a global phase.
    np.testing.assert_allclose(unitary(loads(text)), unitary(circuit), atol=1e-12)
