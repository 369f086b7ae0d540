"""Scalars, measurements, conditions and circuits of the digital IR."""

from decimal import Decimal

import pytest

from norvane.quantum.ir.digital.circuit import DigitalCircuit
from norvane.quantum.ir.digital.conditional import ClassicalCondition, ConditionalInstruction
from norvane.quantum.ir.digital.gate import H, X
from norvane.quantum.ir.digital.measurement import Measurement, MeasurementBasis
from norvane.quantum.ir.routine.digital import DigitalRoutine
from norvane.quantum.ir.scalar import (
    Add, AssignedVariable, Div, Literal, Max, Min, Mul, Negative, Variable, cast,
)


def test_cast_and_literals_keep_exact_decimals():
    assert cast(0.1) == Literal(Decimal("0.1"))
    assert cast(3).value == Decimal(3)
    assert cast("theta") == Variable("theta")
    v = Variable("a")
    assert cast(v) is v
    assert str(Literal("1E+2").value) == "1E+2"
    for bad in (1j, None, [1], {}):
        with pytest.raises(TypeError, match="cannot cast"):
            cast(bad)


def test_literals_of_floats_match_literals_of_their_decimal_text():
    # A float's literal writes its decimal text only when asked; until then and after, it
    # compares, hashes and evaluates as the literal of that text.
    for x in (0.1, -2.5e-300, 1 / 3, 7.0):
        from_float, from_text = Literal(x), Literal(repr(x))
        assert from_float.evaluate() == x and hash(from_float) == hash(from_text)
        assert from_float == from_text and from_float.value == Decimal(repr(x))
    changed = Literal(0.5)
    changed.value = Decimal("0.25")
    assert changed.evaluate() == 0.25 and changed.print_node() == "0.25"


def test_expression_evaluation():
    a, b = Variable("a"), Variable("b")
    expr = Max([Min([a, b, Literal(5)]), Negative(Div(a, Literal(4)))]) + AssignedVariable("c", 2)
    assert expr.evaluate({"a": 8.0, "b": 3.0}) == 5.0
    assert expr.evaluate({"a": -8.0, "b": 3.0}) == 4.0
    assert (2 * a - 1).evaluate({"a": 3}) == 5.0
    assert isinstance(a / 2, Div) and isinstance(a + 1, Add) and isinstance(a * b, Mul)
    with pytest.raises(ZeroDivisionError):
        Div(a, Literal(0)).evaluate({"a": 1})
    with pytest.raises(ValueError, match="no operands"):
        Min([]).evaluate({})
    assert AssignedVariable("x", 1) != Variable("x")


@pytest.mark.parametrize(
    "op, value, cbits, expected",
    [
        ("==", 2, [1, 0], True),   # first listed bit most significant: bits (0, 1) = 1,0 -> 2
        ("==", 1, [1, 0], False),
        ("!=", 1, [1, 0], True),
        ("<", 3, [1, 1], False),
        ("<=", 3, [1, 1], True),
        (">", 0, [0, 1], True),
        (">=", 2, [0, 1], False),
    ],
)
def test_condition_reads_bits_most_significant_first(op, value, cbits, expected):
    assert ClassicalCondition(clbits=(0, 1), value=value, operator=op).evaluate(cbits) is expected


def test_condition_and_conditional_errors():
    with pytest.raises(ValueError, match="unknown condition operator '=~'"):
        ClassicalCondition((0,), 1, "=~")
    with pytest.raises(IndexError):
        ClassicalCondition((3,), 1).evaluate([0, 0])
    cond = ClassicalCondition((0,), 1)
    assert ConditionalInstruction(instruction=X([1]), condition=cond).targets == (1,)
    wrapped = ConditionalInstruction(instruction=Measurement([0]), condition=cond)
    with pytest.raises(TypeError, match="not a gate"):
        wrapped.targets


def test_measurement_and_circuit_defaults():
    m = Measurement(qubits=[0, 1])
    assert m.bits is None and m.basis is MeasurementBasis.Z
    assert Measurement([0], basis="X").basis is MeasurementBasis.X
    assert MeasurementBasis("Y") is MeasurementBasis.Y
    c = DigitalCircuit(n_qubits=2, instructions=[H([0]), m])
    assert c.n_cbits == 2 and c.instructions == (H([0]), m) and c.name is None
    assert c == DigitalCircuit(2, (H([0]), m), 2)
    assert "DigitalCircuit(n_qubits=2" in repr(c)
    assert DigitalRoutine(source="x", circuit=c).circuit is c
    with pytest.raises(ValueError, match=">= 0"):
        DigitalCircuit(-1)
    with pytest.raises(TypeError):
        DigitalCircuit(2.5)
