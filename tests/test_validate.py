"""The circuit validator: report layout, each check's messages, both measurement rule sets,
subclass overrides and malformed input."""

import sys

import pytest

import norvane.quantum.ir.scalar as scalar
from norvane.quantum.compiler.analysis.digital import validate as validate_module
from norvane.quantum.compiler.analysis.digital.validate import (
    DigitalCircuitValidator,
    ValidationError,
)
from norvane.quantum.ir.digital.circuit import DigitalCircuit
from norvane.quantum.ir.digital.conditional import ClassicalCondition, ConditionalInstruction
from norvane.quantum.ir.digital.gate import CX, RX, RZ, U3, H, X
from norvane.quantum.ir.digital.measurement import Measurement
from norvane.quantum.ir.digital.measurement import MeasurementBasis as Basis
from norvane.quantum.ir.scalar import (
    Add, AssignedVariable, Div, Literal, Max, Min, Mul, Negative, Variable,
)
from tests.native_modules import assert_initialises_once


def report(circuit, validator=None):
    """The ValidationError text for `circuit`, or None when it passes."""
    try:
        result = (validator or DigitalCircuitValidator()).validate(circuit)
    except ValidationError as error:
        assert error.args == (str(error),)
        return str(error)
    assert result is None
    return None


def lines(circuit, validator=None):
    """The numbered lines of the report without their "  [k] " prefix."""
    text = report(circuit, validator)
    if text is None:
        return []
    heading, *numbered = text.split("\n")
    assert heading == f"Circuit validation failed ({len(numbered)} error(s)):"
    for k, line in enumerate(numbered, 1):
        assert line.startswith(f"  [{k}] ")
    return [line.split("] ", 1)[1] for line in numbered]


def cond(gate, *clbits):
    return ConditionalInstruction(instruction=gate, condition=ClassicalCondition(clbits, 1))


def test_module_surface_and_settings():
    assert validate_module.__all__ == ["DigitalCircuitValidator", "ValidationError"]
    assert ValidationError.__mro__[1] is Exception
    assert ValidationError.__doc__ == "Raised when a DigitalCircuit fails validation."
    assert DigitalCircuitValidator.__mro__ == (DigitalCircuitValidator, object)

    default = DigitalCircuitValidator()
    assert vars(default) == {
        "validate_params": True,
        "supported_measurement_bases": {Basis.X, Basis.Y, Basis.Z},
        "allow_mid_circuit_measurement": False,
    }
    given = {Basis.Z}
    v = DigitalCircuitValidator(0, given, allow_mid_circuit_measurement="yes")
    assert v.validate_params is False and v.allow_mid_circuit_measurement is True
    assert v.supported_measurement_bases == given and v.supported_measurement_bases is not given
    from_iterator = DigitalCircuitValidator(supported_measurement_bases=iter([Basis.X]))
    assert from_iterator.supported_measurement_bases == {Basis.X}


def test_report_numbers_lines_from_one_in_check_order():
    circuit = DigitalCircuit(2, [
        RX(targets=(0,), params=(Variable("theta"),)),
        Measurement(qubits=(0,)),
        H(targets=(2,)),
        Measurement(qubits=(0,), bits=(5,)),
    ])
    assert report(circuit) == (
        "Circuit validation failed (4 error(s)):\n"
        "  [1] Instruction 2 (H(targets=(2,))): qubit 2 out of range [0, 2).\n"
        "  [2] Instruction 3 (Measure): classical bit 5 out of range [0, 2).\n"
        "  [3] Instruction 3 (Measure): qubit 0 was already measured at instruction 1.\n"
        "  [4] Instruction 0 (RX): param 0 contains unresolved variables: ['theta']"
    )


def test_passing_circuits_and_switched_off_parameter_check():
    assert report(DigitalCircuit(0)) is None
    unresolved = DigitalCircuit(1, [RX(targets=(0,), params=(Variable("t"),))])
    assert report(unresolved, DigitalCircuitValidator(validate_params=False)) is None
    v = DigitalCircuitValidator()
    assert report(unresolved, v) is not None
    v.validate_params = False  # settings are read at every validation
    assert report(unresolved, v) is None


@pytest.mark.parametrize("instruction, expected", [
    (H(targets=(2,)), ["Instruction 0 (H(targets=(2,))): qubit 2 out of range [0, 2)."]),
    (CX(targets=(-1, 3)), ["Instruction 0 (CX(targets=(-1, 3))): qubit -1 out of range [0, 2).",
                           "Instruction 0 (CX(targets=(-1, 3))): qubit 3 out of range [0, 2)."]),
    (cond(X(targets=(2,)), 0),
     [f"Instruction 0 ({cond(X(targets=(2,)), 0)}): qubit 2 out of range [0, 2)."]),
    (Measurement(qubits=(2,)), ["Instruction 0 (Measure): qubit 2 out of range [0, 2)."]),
    (Measurement(qubits=(0,), bits=(3,)),
     ["Instruction 0 (Measure): classical bit 3 out of range [0, 3)."]),
    (Measurement(qubits=(1,), bits=(-1,)),
     ["Instruction 0 (Measure): classical bit -1 out of range [0, 3)."]),
    (Measurement(qubits=(1,), bits=(2,)), []),
])
def test_bounds_messages(instruction, expected):
    assert lines(DigitalCircuit(2, [instruction], n_cbits=3)) == expected


MEASURED_TWICE = [
    "Instruction 1 (Measure): qubit 0 was already measured at instruction 0.",
    "Instruction 1 (Measure): classical bit 0 is written more than once; first write was at instruction 0.",
]

# (instructions, report lines with the default rules, report lines with mid-circuit measurement)
RULE_SETS = [
    ([Measurement((0,), (0,)), Measurement((0,), (0,))], MEASURED_TWICE, []),
    # bits None and bits () both write the measured qubits' bits
    ([Measurement((0,)), Measurement((0,), ())], MEASURED_TWICE, []),
    ([Measurement((0,), (0,)), H((1,)), Measurement((1,), (0,)), H((2,)), Measurement((2,), (0,))],
     ["Instruction 2 (Measure): classical bit 0 is written more than once; first write was at instruction 0.",
      "Instruction 4 (Measure): classical bit 0 is written more than once; first write was at instruction 0."],
     []),
    ([Measurement((0,), (0,)), H((1,)), Measurement((0,), (1,)), H((2,)), Measurement((0,), (2,))],
     ["Instruction 2 (Measure): qubit 0 was already measured at instruction 0.",
      "Instruction 4 (Measure): qubit 0 was already measured at instruction 2."],
     []),
    ([Measurement((1,)), H((1,))],
     ["Instruction 1 (H(targets=(1,))): qubit 1 was already measured at instruction 0."], []),
    ([Measurement((1,)), cond(X((1,)), 1)],
     [f"Instruction 1 ({cond(X((1,)), 1)}): qubit 1 was already measured at instruction 0."], []),
    ([cond(X((1,)), 0)], [],
     ["Instruction 0 (Conditional): condition reads classical bit 0 before it is written by a measurement."]),
    ([Measurement((2,), (0,)), cond(X((1,)), 0)], [], []),
    ([cond(X((1,)), 3)], ["Instruction 0 (Conditional): classical bit 3 out of range [0, 3)."],
     ["Instruction 0 (Conditional): classical bit 3 out of range [0, 3)."]),
    ([Measurement((0,), basis=Basis.Y)],
     ["Instruction 0 (Measure): unsupported measurement basis Y; supported bases are ['X', 'Z']."],
     ["Instruction 0 (Measure): unsupported measurement basis Y; supported bases are ['X', 'Z']."]),
]


@pytest.mark.parametrize("instructions, default_rules, mid_circuit_rules", RULE_SETS)
def test_measurement_rule_sets(instructions, default_rules, mid_circuit_rules):
    circuit = DigitalCircuit(3, instructions)
    bases = [Basis.Z, Basis.X]
    default = DigitalCircuitValidator(supported_measurement_bases=bases)
    mid = DigitalCircuitValidator(supported_measurement_bases=bases, allow_mid_circuit_measurement=True)
    assert lines(circuit, default) == default_rules
    assert lines(circuit, mid) == mid_circuit_rules
    default.allow_mid_circuit_measurement = True
    assert lines(circuit, default) == mid_circuit_rules


def test_basis_list_follows_the_current_field():
    v = DigitalCircuitValidator(supported_measurement_bases=[Basis.Z])
    circuit = DigitalCircuit(1, [Measurement((0,), basis=Basis.Y)])
    assert lines(circuit, v) == [
        "Instruction 0 (Measure): unsupported measurement basis Y; supported bases are ['Z']."]
    v.supported_measurement_bases = {Basis.Y}
    assert report(circuit, v) is None


def test_parameter_check_through_conditionals_and_expressions():
    theta, phi = Variable("theta"), Variable("phi")
    circuit = DigitalCircuit(2, [
        RX(targets=(0,), params=(theta + theta,)),
        H(targets=(1,)),
        cond(U3(targets=(1,),
                params=(Literal(1), Max([phi, Negative(theta)]), AssignedVariable("a", 2))), 0),
        RZ(targets=(0,), params=(Div(Mul(2, Variable("b")), Min([phi, 3])),)),
        RZ(targets=(1,), params=(AssignedVariable("theta", 0.5) * 2,)),
    ])
    assert lines(circuit) == [
        "Instruction 0 (RX): param 0 contains unresolved variables: ['theta', 'theta']",
        "Instruction 2 (U3): param 1 contains unresolved variables: ['phi', 'theta']",
        "Instruction 3 (RZ): param 0 contains unresolved variables: ['b', 'phi']",
    ]


@pytest.mark.parametrize("expression, names", [
    (Variable("x"), ["x"]),
    (Literal(2), []),
    (AssignedVariable("x", 1), []),
    (Negative(Variable("x")), ["x"]),
    (Add(Variable("z"), Mul(Variable("a"), Div(Variable("z"), 2))), ["z", "a", "z"]),
    (Min([Variable("b"), Max([Variable("a"), Literal(0)])]), ["b", "a"]),
    (3.5, []),
    (None, []),
])
def test_find_variables_walk_order_keeps_duplicates(expression, names):
    assert DigitalCircuitValidator()._find_variables(expression) == names


def test_scalar_classes_are_looked_up_at_each_call(monkeypatch):
    v = DigitalCircuitValidator()
    monkeypatch.setattr(scalar, "Variable", AssignedVariable)
    assert v._find_variables(Add(Variable("x"), AssignedVariable("y", 1))) == ["y"]
    monkeypatch.setitem(sys.modules, "norvane.quantum.ir.scalar", None)
    with pytest.raises(ImportError):
        v._find_variables(Literal(1))


def test_subclass_overrides_change_the_report():
    class LabelledBounds(DigitalCircuitValidator):
        def _check_qubit_bounds(self, circuit):
            return [f"{len(circuit.instructions)} instructions"] + super()._check_qubit_bounds(circuit)

    class LiteralsCount(DigitalCircuitValidator):
        def _find_variables(self, s):
            if isinstance(s, Literal):
                return [f"lit{s.value}"]
            return super()._find_variables(s)

    expression = Add(Variable("a"), Mul(2, Variable("b")))
    circuit = DigitalCircuit(1, [H(targets=(1,)), RX(targets=(0,), params=(expression,))])
    assert lines(circuit, LabelledBounds(validate_params=False)) == [
        "2 instructions", "Instruction 0 (H(targets=(1,))): qubit 1 out of range [0, 1)."]
    assert lines(circuit, LiteralsCount())[1] == (
        "Instruction 1 (RX): param 0 contains unresolved variables: ['a', 'b', 'lit2']")

    shadowed = DigitalCircuitValidator()
    shadowed._check_measurement_semantics = lambda circuit: ["from the instance"]
    assert lines(DigitalCircuit(0), shadowed) == ["from the instance"]


class Boom(Exception):
    pass


def test_malformed_input_raises_python_errors():
    v = DigitalCircuitValidator()
    for not_a_circuit in (None, 5, "circuit"):
        with pytest.raises(AttributeError, match="instructions"):
            v.validate(not_a_circuit)

    text_target = H(targets=(0,))
    object.__setattr__(text_target, "targets", ("0",))
    with pytest.raises(TypeError, match="not supported between instances of 'str' and 'int'"):
        v.validate(DigitalCircuit(1, [text_target]))

    no_targets = H(targets=(0,))
    object.__setattr__(no_targets, "targets", None)
    with pytest.raises(TypeError, match="not iterable"):
        v.validate(DigitalCircuit(1, [no_targets]))

    text_basis = Measurement((0,))
    object.__setattr__(text_basis, "basis", "Z")
    with pytest.raises(AttributeError, match="value"):
        v.validate(DigitalCircuit(1, [text_basis]))

    class FailingGate(H):
        __slots__ = ()

        @property
        def targets(self):
            raise Boom("targets unavailable")

    with pytest.raises(Boom, match="targets unavailable"):
        v.validate(DigitalCircuit(1, [FailingGate.__new__(FailingGate)]))

    deep = Variable("x")
    for _ in range(50_000):
        deep = Negative(deep)
    with pytest.raises(RecursionError):
        v.validate(DigitalCircuit(1, [RX(targets=(0,), params=(deep,))]))

    class NoLines(DigitalCircuitValidator):
        def _check_qubit_bounds(self, circuit):
            return None

    with pytest.raises(TypeError, match="not iterable"):
        NoLines().validate(DigitalCircuit(0))
    with pytest.raises(TypeError):
        DigitalCircuitValidator(supported_measurement_bases=3)
    with pytest.raises((TypeError, AttributeError)):
        DigitalCircuitValidator.validate(None, DigitalCircuit(0))


def test_module_initialises_once_per_process():
    assert_initialises_once("norvane.quantum.compiler.analysis.digital.validate")
