"""The gate table against everything that lists gates: the IR's classes, the OpenQASM reader
and writer in both versions, the native serializer registration and the native gradient's
shift-rule set, and the shift rule itself, evaluated on each gate's matrix."""

import inspect
import json
import math

import numpy as np
import pytest

from norvane.quantum import serialize
from norvane.quantum.ir.digital import gate as g
from norvane.quantum.ir.digital.circuit import DigitalCircuit
from norvane.quantum.ir.digital.gate_table import BY_CLASS, GATES
from norvane.quantum.ir.digital.qasm import dumps, loads
from norvane.quantum.ir.digital.qasm.stdgates import (
    QASM2_BUILTINS, QASM2_GATES, QASM3_BUILTINS, QASM3_GATES,
)
from norvane.quantum.optimizer import gradient
from tests.qasm_helpers import assert_equal_up_to_phase, unitary

LIBRARIES = {2: (QASM2_BUILTINS, QASM2_GATES), 3: (QASM3_BUILTINS, QASM3_GATES)}


def instance(spec, params=None):
    targets = list(range(spec.n_qubits))[::-1]   # not in order: the order must survive
    if spec.n_params == 0:
        return spec.cls(targets)
    return spec.cls(targets, params or [0.3 + 0.4 * k for k in range(spec.n_params)])


def test_table_holds_every_standard_gate_class_once():
    standard = {cls for _, cls in inspect.getmembers(g, inspect.isclass)
                if issubclass(cls, g.Gate) and cls.__module__ == g.__name__
                and cls not in (g.Gate, g.ParametricGate, g.UnitaryGate, g.CustomGate)
                and not cls.__name__.startswith("_")}
    assert [spec.cls for spec in GATES] == list(BY_CLASS) and len(BY_CLASS) == len(GATES)
    assert set(BY_CLASS) == standard
    for spec in GATES:
        gate = instance(spec)
        assert gate.matrix().shape == (1 << spec.n_qubits,) * 2
        assert len(getattr(gate, "params", ())) == spec.n_params


@pytest.mark.parametrize("version", [2, 3])
def test_reader_takes_every_name_of_the_table_for_its_class(version):
    builtins, library = LIBRARIES[version]
    for spec in GATES:
        spelling = spec.qasm(version)
        names = [(n, builtins) for n in spelling.builtins] + \
                [(n, library) for n in spelling.library_names]
        assert bool(names) != bool(spelling.definition), spec.name   # standard, or defined
        for name, table in names:
            made = table[name].emit([0.3] * spec.n_params, list(range(spec.n_qubits)))
            assert [type(m) for m in made] == [spec.cls], name
        if spelling.definition is not None:
            assert spelling.name not in library, f"{spelling.name} is standard in {version}"


def test_writer_adds_exact_definitions_where_the_library_lacks_the_gate():
    defined = [(v, spec) for spec in GATES for v in (2, 3) if spec.qasm(v).definition]
    assert {(v, spec.name) for v, spec in defined} == {
        (3, "SXdg"), (3, "RXX"), (2, "RYY"), (3, "RYY"), (3, "RZZ")}
    for version, spec in defined:
        for angle in (0.0, 0.7, -2.9):
            circuit = DigitalCircuit(spec.n_qubits, [instance(spec, [angle] * spec.n_params)])
            text = dumps(circuit, version)
            assert spec.qasm(version).definition in text.splitlines()
            assert_equal_up_to_phase(unitary(loads(text)), unitary(circuit), atol=1e-12)


def test_serializer_registration_round_trips_every_gate_under_its_tag():
    for spec in GATES:
        gate = instance(spec)
        text = serialize.dumps(gate)
        assert list(json.loads(text)) == [spec.tag]
        back = serialize.loads(text)
        assert type(back) is spec.cls and back == gate


def test_native_shift_rule_set_is_the_tables():
    listed = {spec.name for spec in GATES if spec.shift_listed}
    assert set(gradient._PARAMETER_SHIFT_GATES) == listed


def _shift_rule_is_exact(spec, rng) -> bool:
    """Whether (f(x + pi/2) - f(x - pi/2)) / 2 is df/dx for each parameter x of the gate, f
    an expectation value after the gate, at random states, observables and parameters."""
    side = 1 << spec.n_qubits
    for _ in range(3):
        psi = rng.normal(size=side) + 1j * rng.normal(size=side)
        a = rng.normal(size=(side, side)) + 1j * rng.normal(size=(side, side))
        observable = a + a.conj().T
        params = rng.uniform(-math.pi, math.pi, spec.n_params)
        for k in range(spec.n_params):
            def f(x):
                moved = params.copy()
                moved[k] = x
                out = instance(spec, list(moved)).matrix() @ psi
                return float(np.real(np.vdot(out, observable @ out)))

            x, h = params[k], 1e-5
            derivative = (f(x + h) - f(x - h)) / (2 * h)
            if abs((f(x + math.pi / 2) - f(x - math.pi / 2)) / 2 - derivative) > 1e-6 * (1 + abs(derivative)):
                return False
    return True


@pytest.mark.parametrize("spec", [s for s in GATES if s.n_params], ids=lambda spec: spec.name)
def test_shift_rule_flag_says_whether_the_two_term_rule_is_exact(spec):
    assert _shift_rule_is_exact(spec, np.random.default_rng(11)) == spec.shift_rule
