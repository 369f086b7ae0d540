"""Random circuits round-trip through JSON; random malformed input only raises exceptions."""

import json
from decimal import Decimal

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from norvane.quantum.ir.digital import gate, serialize
from norvane.quantum.ir.digital.circuit import DigitalCircuit
from norvane.quantum.ir.digital.conditional import ClassicalCondition, ConditionalInstruction
from norvane.quantum.ir.digital.measurement import Measurement, MeasurementBasis
from norvane.quantum.ir.scalar import (
    Add, AssignedVariable, Div, Literal, Max, Min, Mul, Negative, Variable,
)
from norvane.quantum.serialize import Serializer, dumps, loads

from serialize_nodes import FIXED_GATES, PARAMETRIC_GATES, REGISTERED, type_name

N_QUBITS = 4

decimals = st.one_of(
    st.decimals(allow_nan=False, allow_infinity=False),
    st.builds(lambda digits, exp: Decimal(f"{digits}E{exp:+d}"),
              st.integers(-10**30, 10**30), st.integers(-50, 50)),
)
names = st.text(max_size=8)
scalars = st.recursive(
    st.one_of(st.builds(Literal, decimals), st.builds(Variable, names),
              st.builds(AssignedVariable, names, decimals)),
    lambda inner: st.one_of(
        st.builds(Negative, inner),
        *(st.builds(kind, inner, inner) for kind in (Add, Mul, Div)),
        *(st.builds(kind, st.lists(inner, max_size=3)) for kind in (Min, Max)),
    ),
    max_leaves=12,
)


def targets_for(cls):
    return st.permutations(range(N_QUBITS)).map(lambda q: q[: cls.n_targets])


fixed_gates = st.sampled_from(FIXED_GATES).flatmap(lambda cls: st.builds(cls, targets_for(cls)))
parametric_gates = st.sampled_from(PARAMETRIC_GATES).flatmap(
    lambda cls: st.builds(cls, targets_for(cls), st.tuples(*[scalars] * cls.n_params)))
finite_or_infinite = st.floats(allow_nan=False)
unitary_gates = st.integers(1, 2).flatmap(lambda k: st.builds(
    gate.UnitaryGate,
    st.permutations(range(N_QUBITS)).map(lambda q: q[:k]),
    st.lists(st.lists(st.tuples(finite_or_infinite, finite_or_infinite), min_size=2**k, max_size=2**k),
             min_size=2**k, max_size=2**k)))
gates = st.one_of(fixed_gates, parametric_gates, unitary_gates)
bit_lists = st.lists(st.integers(0, N_QUBITS - 1), max_size=N_QUBITS)
measurements = st.builds(Measurement, bit_lists, st.none() | bit_lists, st.sampled_from(MeasurementBasis))
conditions = st.builds(ClassicalCondition, bit_lists, st.integers(-2**70, 2**70),
                       st.sampled_from(["==", "!=", "<", "<=", ">", ">="]))
instructions = st.one_of(gates, measurements, st.builds(ConditionalInstruction, gates, conditions))
circuits = st.builds(DigitalCircuit, st.just(N_QUBITS), st.lists(instructions, max_size=8),
                     st.none() | st.integers(0, 8), st.none() | names)


@settings(max_examples=300, suppress_health_check=[HealthCheck.too_slow])
@given(circuits)
def test_circuits_round_trip_with_stable_text(circuit):
    text = dumps(circuit)
    back = loads(text)
    assert back == circuit
    # Decimal equality ignores the exponent; the repr keeps every digit (1E+2 is not 100).
    assert repr(back) == repr(circuit)
    assert dumps(back) == text


KEYS = ["targets", "params", "unitary", "qubits", "bits", "basis", "clbits", "value", "operator",
        "instruction", "condition", "n_qubits", "n_cbits", "name", "instructions",
        "__type__", "__scalar__", "expr", "lhs", "rhs", "scalars"]
TAGS = ["Literal", "Variable", "AssignedVariable", "Negative", "Add", "Mul", "Div", "Min", "Max",
        "X", "Z", "=="]
json_like = st.recursive(
    st.one_of(st.none(), st.booleans(), st.integers(), st.integers(-3, 3), st.floats(),
              st.text(max_size=5), st.sampled_from(TAGS), st.just("1E+999999999999")),
    lambda inner: st.one_of(
        st.lists(inner, max_size=4),
        st.dictionaries(st.sampled_from(KEYS + [type_name(c) for c in REGISTERED]) | st.text(max_size=3),
                        inner, max_size=4),
    ),
    max_leaves=25,
)


def only_ordinary_exceptions(fn, value):
    try:
        fn(value)
    except Exception:
        pass


@settings(max_examples=1000)
@given(st.sampled_from(REGISTERED), json_like)
def test_malformed_input_only_raises_exceptions(cls, value):
    only_ordinary_exceptions(lambda v: Serializer.object_hook({type_name(cls): v}), value)
    for fn in (serialize._deserialize_scalar, serialize._deserialize_params,
               serialize._serialize_scalar, serialize._serialize_params):
        only_ordinary_exceptions(fn, value)


def mutate(data, value):
    """Replace one randomly chosen part of a decoded JSON value with random JSON-like data."""
    if isinstance(value, (dict, list)) and value and data.draw(st.booleans()):
        key = data.draw(st.sampled_from(list(value) if isinstance(value, dict) else range(len(value))))
        value[key] = mutate(data, value[key])
        return value
    return data.draw(json_like)


@settings(max_examples=500, suppress_health_check=[HealthCheck.too_slow])
@given(st.data(), circuits)
def test_corrupted_circuit_text_only_raises_exceptions(data, circuit):
    corrupted = json.dumps(mutate(data, json.loads(dumps(circuit))))
    only_ordinary_exceptions(loads, corrupted)

