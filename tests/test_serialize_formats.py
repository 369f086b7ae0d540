"""Node dictionary formats of the digital IR: exact dictionaries, defaults and errors."""

import json
import subprocess
import sys
from decimal import Decimal

import pytest

import norvane.quantum.ir.scalar as scalar
from norvane.quantum.ir.digital import gate, serialize
from norvane.quantum.ir.digital.circuit import DigitalCircuit
from norvane.quantum.ir.digital.conditional import ClassicalCondition, ConditionalInstruction
from norvane.quantum.ir.digital.measurement import Measurement, MeasurementBasis
from norvane.quantum.ir.scalar import (
    Add, AssignedVariable, Div, Literal, Max, Min, Mul, Negative, Variable, cast,
)
from norvane.quantum.serialize import Serializer, dumps, loads

from serialize_nodes import REGISTERED, type_name

theta = Variable("theta")
VAR_THETA = {"__type__": "Variable", "name": "theta"}
ONE = {"__type__": "Literal", "value": "1"}
COND = ClassicalCondition(clbits=(0, 1), value=2, operator="!=")

# Dictionaries are compared by repr, which also shows key order and the exact type of every
# value (2 against 2.0, '1' against Decimal('1')).


@pytest.mark.parametrize("expr, expected", [
    (Literal(Decimal("0.5")), {"__type__": "Literal", "value": "0.5"}),
    (Literal(Decimal("1E+2")), {"__type__": "Literal", "value": "1E+2"}),
    (AssignedVariable("c", Decimal("2.50")),
     {"__type__": "AssignedVariable", "name": "c", "value": "2.50"}),
    (theta, VAR_THETA),
    (Negative(theta), {"__type__": "Negative", "expr": VAR_THETA}),
    (Add(theta, Literal(1)), {"__type__": "Add", "lhs": VAR_THETA, "rhs": ONE}),
    (Mul(Literal(1), theta), {"__type__": "Mul", "lhs": ONE, "rhs": VAR_THETA}),
    (Div(theta, theta), {"__type__": "Div", "lhs": VAR_THETA, "rhs": VAR_THETA}),
    (Min([]), {"__type__": "Min", "scalars": []}),
    (Max([theta, Literal(1)]), {"__type__": "Max", "scalars": [VAR_THETA, ONE]}),
])
def test_scalar_dictionaries(expr, expected):
    data = serialize._serialize_scalar(expr)
    assert repr(data) == repr(expected)
    back = serialize._deserialize_scalar(data)
    assert back == expr and serialize._serialize_scalar(back) == data


def test_scalar_kinds_and_tags():
    class Plus(Add):
        __slots__ = ()

    assert serialize._serialize_scalar(Plus(theta, 1))["__type__"] == "Add"
    with pytest.raises(TypeError, match=r"^Cannot serialize Scalar of type <class 'int'>$"):
        serialize._serialize_scalar(3)
    deep = Add(theta, Negative(theta))
    object.__setattr__(deep.rhs, "expr", object())
    with pytest.raises(TypeError, match=r"^Cannot serialize Scalar of type <class 'object'>$"):
        serialize._serialize_scalar(deep)
    with pytest.raises(ValueError, match=r"^Unknown Scalar type: Sum$"):
        serialize._deserialize_scalar({"__type__": "Sum"})
    with pytest.raises(KeyError, match="rhs"):
        serialize._deserialize_scalar({"__type__": "Add", "lhs": ONE})
    assert serialize._deserialize_scalar({"__type__": "Variable", "name": "x", "extra": 1}) == Variable("x")


def test_parameter_lists(monkeypatch):
    written = serialize._serialize_params((0.5, Variable("a"), 2))
    assert repr(written) == repr([0.5, {"__scalar__": {"__type__": "Variable", "name": "a"}}, 2.0])
    assert serialize._deserialize_params([1.0]) == (cast(1.0),)
    # cast is looked up when the operation runs and receives a key-less dict unchanged.
    seen = []
    monkeypatch.setattr(scalar, "cast", lambda item: seen.append(item) or Literal(0))
    item = {"x": 1}
    assert serialize._deserialize_params([item]) == (Literal(0),)
    assert seen[0] is item
    for bad, name in [((1.0,), "tuple"), (None, "NoneType"), (type("L", (list,), {})(), "L")]:
        with pytest.raises(TypeError, match=rf"^Argument 'data' has incorrect type \(expected list, got {name}\)$"):
            serialize._deserialize_params(bad)


FULL_FORMATS = [
    (gate.H([0]), {"targets": [0]}),
    (gate.CX([0, 1]), {"targets": [0, 1]}),
    (gate.CSWAP([2, 0, 1]), {"targets": [2, 0, 1]}),
    (gate.RX([1], theta), {"targets": [1], "params": [{"__scalar__": VAR_THETA}]}),
    # Plain numbers become literals when the gate is built, so they travel as scalars.
    (gate.U3([0], (0.5, Variable("a"), 2)),
     {"targets": [0], "params": [{"__scalar__": {"__type__": "Literal", "value": "0.5"}},
                                 {"__scalar__": {"__type__": "Variable", "name": "a"}},
                                 {"__scalar__": {"__type__": "Literal", "value": "2"}}]}),
    (gate.UnitaryGate([0], [[1, 0], [0, 1]]),
     {"targets": [0], "unitary": [[[1.0, 0.0], [0.0, 0.0]], [[0.0, 0.0], [1.0, 0.0]]]}),
    (Measurement([0, 1]), {"qubits": [0, 1], "bits": None, "basis": "Z"}),
    (Measurement([0], bits=[1], basis=MeasurementBasis.X), {"qubits": [0], "bits": [1], "basis": "X"}),
    (COND, {"clbits": [0, 1], "value": 2, "operator": "!="}),
    (ConditionalInstruction(gate.X([1]), COND),
     {"instruction": {type_name(gate.X): {"targets": [1]}},
      "condition": {type_name(ClassicalCondition): {"clbits": [0, 1], "value": 2, "operator": "!="}}}),
    (DigitalCircuit(2, [gate.H([0])], name="bell"),
     {"n_qubits": 2, "n_cbits": 2, "name": "bell", "instructions": [{type_name(gate.H): {"targets": [0]}}]}),
]


@pytest.mark.parametrize("node, payload", FULL_FORMATS, ids=[type(n).__name__ for n, _ in FULL_FORMATS])
def test_node_formats_through_the_registry(node, payload):
    text = dumps(node)
    assert repr(json.loads(text)) == repr({type_name(type(node)): payload})
    if isinstance(node, gate.ParametricGate):
        # Plain-number parameters are written as floats and read back as literals.
        node = type(node)(node.targets, tuple(map(cast, node.params)))
    assert loads(text) == node


def test_defaults_and_conversions_on_reading():
    assert serialize._measurement_deserializer({"qubits": [0]}) == Measurement([0], None, MeasurementBasis.Z)
    cond = serialize._classical_condition_deserializer({"clbits": [1], "value": 1.0})
    assert cond == ClassicalCondition((1,), 1, "==") and type(cond.value) is int
    assert serialize._circuit_deserializer({"n_qubits": 3}) == DigitalCircuit(3, (), None, None)
    gate_u = serialize._unitary_deserializer({"targets": [0], "unitary": [[[1, 0, 9], ["0", 0]], [[0, 0], [1, 0]]]})
    assert gate_u.unitary == (((1.0, 0.0), (0.0, 0.0)), ((0.0, 0.0), (1.0, 0.0)))
    built = gate.Z([1])
    circuit = serialize._circuit_deserializer(
        {"n_qubits": 2, "instructions": [{type_name(gate.H): {"targets": [0]}}, built]})
    assert circuit.instructions == (gate.H([0]), built) and circuit.instructions[1] is built


def test_unitary_writer_unpacking_messages():
    cases = [((1.0,), r"^need more than 1 value to unpack$"), ((), r"^need more than 0 values to unpack$"),
             ((1.0, 2.0, 3.0), r"^too many values to unpack \(expected 2\)$")]
    for element, message in cases:
        bad = gate.UnitaryGate([0], [[1, 0], [0, 1]])
        object.__setattr__(bad, "unitary", ((element, (0.0, 0.0)), ((0.0, 0.0), (1.0, 0.0))))
        with pytest.raises(ValueError, match=message):
            serialize._unitary_serializer(bad)
    with pytest.raises(IndexError):
        serialize._unitary_deserializer({"targets": [0], "unitary": [[[1.0]]]})


@pytest.mark.parametrize("cls", REGISTERED, ids=lambda c: c.__name__)
def test_every_deserializer_refuses_a_non_dict(cls):
    for bad, name in [([], "list"), (None, "NoneType"), (type("D", (dict,), {})(), "D")]:
        with pytest.raises(TypeError, match=rf"^Argument 'd' has incorrect type \(expected dict, got {name}\)$"):
            Serializer.object_hook({type_name(cls): bad})


@pytest.mark.parametrize("deserializer, data, key", [
    (serialize._unitary_deserializer, {"targets": [0]}, "unitary"),
    (serialize._measurement_deserializer, {"bits": [0]}, "qubits"),
    (serialize._classical_condition_deserializer, {"clbits": [0]}, "value"),
    (serialize._conditional_instruction_deserializer, {"condition": {}}, "instruction"),
    (serialize._conditional_instruction_deserializer, {"instruction": {}}, "condition"),
    (serialize._circuit_deserializer, {"instructions": []}, "n_qubits"),
    (serialize._make_parametric_serializer(gate.RX)[1], {"targets": [0]}, "params"),
    (serialize._make_std_serializer3(gate.CCX)[1], {}, "targets"),
])
def test_missing_keys(deserializer, data, key):
    with pytest.raises(KeyError) as info:
        deserializer(data)
    assert info.value.args == (key,)


def test_factories_make_a_new_pair_per_class():
    pair_a, pair_b = serialize._make_std_serializer(gate.H), serialize._make_std_serializer(gate.X)
    assert pair_a[1] is not pair_b[1]
    assert pair_a[1]({"targets": [3]}) == gate.H([3]) and pair_b[1]({"targets": [3]}) == gate.X([3])
    assert pair_a[0](gate.X([2])) == {"targets": [2]}


def test_custom_gates_stay_unserializable():
    with pytest.raises(TypeError, match="CustomGate is not JSON serializable"):
        dumps(gate.CustomGate([0], lambda: [[1, 0], [0, 1]]))


def test_deep_nesting_raises_recursion_error():
    expr, data = Literal(1), ONE
    for _ in range(100_000):
        expr, data = Negative(expr), {"__type__": "Negative", "expr": data}
    with pytest.raises(RecursionError):
        serialize._serialize_scalar(expr)
    with pytest.raises(RecursionError):
        serialize._deserialize_scalar(data)
    nested = {"n_qubits": 1}
    for _ in range(100_000):
        nested = {type_name(DigitalCircuit): {"n_qubits": 1, "instructions": [nested]}}
    with pytest.raises(RecursionError):
        Serializer.object_hook(nested)


REGISTRATION_PROBE = """
import json
import subprocess
import sys
import norvane.quantum.serialize as registry

calls, real_register = [], registry.Serializer.register

def register(target):
    calls.append(target.__name__)
    real_register(target)
    for kind in ("set_serializer", "set_deserializer"):
        def record(fn, real=getattr(target, kind), kind=kind, name=target.__name__):
            calls.append(kind)
            real(fn)
            return f"{kind} of {name}"
        setattr(target, kind, record)
    return target

registry.Serializer.register = register
import norvane.quantum.ir.digital.gate
from norvane.quantum.ir.digital import serialize
names = [n for n in dir(serialize) if n.endswith(("_serializer", "_deserializer"))]
print(json.dumps({"calls": calls, "bound": {n: getattr(serialize, n) for n in names
                                           if isinstance(getattr(serialize, n), str)}}))
"""


def test_importing_a_gate_module_registers_every_class_in_order():
    out = subprocess.run([sys.executable, "-c", REGISTRATION_PROBE], capture_output=True, text=True, check=True)
    report = json.loads(out.stdout)
    assert report["calls"] == [
        step for cls in REGISTERED for step in (cls.__name__, "set_serializer", "set_deserializer")]
    assert report["bound"] == {
        f"_{prefix}_{kind}": f"set_{kind} of {cls.__name__}"
        for prefix, cls in [("unitary", gate.UnitaryGate), ("measurement", Measurement),
                            ("classical_condition", ClassicalCondition),
                            ("conditional_instruction", ConditionalInstruction), ("circuit", DigitalCircuit)]
        for kind in ("serializer", "deserializer")}
