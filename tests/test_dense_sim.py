"""The statevector simulator and its result record: documented cases and bad input."""

import math
import multiprocessing
import os

import numpy as np
import pytest

from norvane.quantum.ir.digital.circuit import DigitalCircuit
from norvane.quantum.ir.digital.conditional import ClassicalCondition, ConditionalInstruction
from norvane.quantum.ir.digital.gate import CX, RX, RY, CustomGate, H, S, X
from norvane.quantum.ir.digital.measurement import Measurement, MeasurementBasis
from norvane.quantum.ir.scalar import Variable
from norvane.quantum.simulator.digital import dense_sim
from norvane.quantum.simulator.digital.dense_sim import DigitalDenseSimulator, SimulationResult
from norvane.quantum.simulator.digital.unitab import GateMatrixCache
from tests.native_modules import assert_initialises_once

ARG_MESSAGE = "Argument '{}' has incorrect type (expected {}, got {})"


def sim(n, instructions, n_cbits=None, seed=7):
    return DigitalDenseSimulator(DigitalCircuit(n, instructions, n_cbits), seed=seed)


class TestSimulationResult:
    def test_views_follow_insertion_order(self):
        r = SimulationResult({"00": 3, "11": 3, "01": 2}, 8, 2, 2)
        assert r.most_common(2) == [("00", 3), ("11", 3)]
        assert r.most_common() == [("00", 3)]
        assert r.most_common(0) == [] and r.most_common(10) == r.most_common(3)
        assert r.most_common(-1) == [("00", 3), ("11", 3)]
        assert r.most_common(2.9) == [("00", 3), ("11", 3)]
        assert list(r.probabilities().items()) == [("00", 0.375), ("11", 0.375), ("01", 0.25)]
        assert SimulationResult({"1": 2, "0": 1, "x": 0}, 3, 1, 1).memory == ["1", "1", "0"]
        assert SimulationResult._expand_counts({"a": 2, "b": -1}) == ["a", "a"]

    def test_record_keeps_counts_and_copies_memory(self):
        counts, memory = {"0": 1}, ["0"]
        r = SimulationResult(counts=counts, shots=1.9, n_qubits=1, n_cbits=True, memory=memory)
        assert r.counts is counts and r.memory == memory and r.memory is not memory
        assert (r.shots, r.n_cbits) == (1, 1) and type(r.shots) is int

    def test_expectation(self):
        obs = np.array([1, -1, -1, 1])
        assert SimulationResult({"00": 512, "11": 512}, 1024, 2, 2).expectation(obs) == 1.0
        assert SimulationResult({"01": 1024}, 1024, 2, 2).expectation(obs) == -1.0
        with pytest.raises(ValueError):
            SimulationResult({"": 1}, 1, 0, 0).expectation(obs)
        with pytest.raises(IndexError):
            SimulationResult({"111": 1}, 1, 3, 3).expectation(obs)
        with pytest.raises(ZeroDivisionError):
            SimulationResult({"00": 1}, 0, 2, 2).expectation(obs)
        with pytest.raises(ZeroDivisionError):
            SimulationResult({"00": 1}, 0, 2, 2).probabilities()
        assert SimulationResult({}, 0, 2, 2).probabilities() == {}

    def test_text_form_shows_five_most_common(self):
        assert repr(SimulationResult({"00": 515, "11": 509}, 1024, 2, 2)) == (
            "SimulationResult(shots=1024, top=[('00', 515), ('11', 509)])"
        )
        assert repr(SimulationResult({}, 0, 1, 1)) == "SimulationResult(shots=0, top=[])"
        many = {format(i, "03b"): i + 1 for i in range(8)}
        assert repr(SimulationResult(many, 36, 3, 3)).count("(") == 6

    @pytest.mark.parametrize(
        "kwargs, name, expected, got",
        [
            ({"counts": [], "shots": 1}, "counts", "dict", "list"),
            ({"counts": {}, "shots": "1"}, "shots", "int", "str"),
            ({"counts": {}, "shots": 1, "n_qubits": None}, "n_qubits", "int", "NoneType"),
            ({"counts": {}, "shots": 1, "memory": ("0",)}, "memory", "list", "tuple"),
        ],
    )
    def test_argument_types(self, kwargs, name, expected, got):
        full = {"counts": {}, "shots": 1, "n_qubits": 1, "n_cbits": 1, **kwargs}
        with pytest.raises(TypeError) as info:
            SimulationResult(**full)
        assert str(info.value) == ARG_MESSAGE.format(name, expected, got)

    def test_exact_dict_required(self):
        from collections import OrderedDict

        with pytest.raises(TypeError, match="expected dict, got collections.OrderedDict"):
            SimulationResult(OrderedDict(), 1, 1, 1)


class TestSimulator:
    def test_module_surface(self):
        assert dense_sim.__all__ == ["DigitalDenseSimulator", "SimulationResult"]
        assert DigitalDenseSimulator.__doc__.startswith("Pure-numpy statevector simulator for digital quantum circuits.")
        assert "Optional random seed for reproducibility." in DigitalDenseSimulator.__doc__
        assert SimulationResult.__doc__.startswith("Result of a digital circuit simulation.")

    def test_bell_pair(self):
        s = sim(2, [H([0]), CX([0, 1]), Measurement([0, 1], [0, 1])])
        result = s.run(200)
        assert set(result.counts) == {"00", "11"} and result.shots == 200 and len(result.memory) == 200
        np.testing.assert_allclose(s.statevector(), [1 / math.sqrt(2), 0, 0, 1 / math.sqrt(2)], atol=1e-15)

    def test_qubit_zero_is_most_significant(self):
        np.testing.assert_array_equal(sim(2, [X([0])]).statevector(), [0, 0, 1, 0])
        assert sim(2, [X([0]), Measurement([1], [0])], n_cbits=1).run(20).counts == {"0": 20}
        assert sim(3, [X([1]), Measurement([0, 1, 2])]).run(5).counts == {"010": 5}

    def test_bases_and_eigenstates(self):
        plus = sim(1, [H([0]), Measurement([0], basis=MeasurementBasis.X)])
        assert plus.run(50).counts == {"0": 50}
        # +1 eigenstate of Y: S H |0>.
        assert sim(1, [H([0]), S([0]), Measurement([0], basis="Y")]).run(50).counts == {"0": 50}
        state = plus._init_state()
        state = plus._apply_gate(state, H([0]))
        cbits = [5]
        plus._apply_measurement(state, Measurement([0], basis="X"), cbits)
        assert cbits == [0]
        np.testing.assert_allclose(state, [1 / math.sqrt(2)] * 2)

    def test_conditional_after_measurement(self):
        c = [X([0]), Measurement([0], [0]), ConditionalInstruction(X([1]), ClassicalCondition([0], 1)), Measurement([1], [1])]
        assert sim(2, c).run(10).counts == {"11": 10}
        # statevector skips conditionals and measurements.
        np.testing.assert_array_equal(sim(2, c).statevector(), [0, 0, 1, 0])

    def test_seeds_streams_and_statevector_draws_nothing(self):
        circuit = [H([0]), H([1]), Measurement([0, 1])]
        a, b = sim(2, circuit, seed=3), sim(2, circuit, seed=3)
        first = a.run(64).memory
        assert first == b.run(64).memory
        b.statevector()
        assert a.run(64).memory == b.run(64).memory
        assert sim(2, circuit, seed=3).run(128).memory[64:] != first
        zero = a.run(0)
        assert (zero.counts, zero.memory, zero.shots) == ({}, [], 0)

    def test_bindings_reach_parametric_gates(self):
        s = sim(1, [RX([0], [Variable("t")]), Measurement([0])])
        assert s.run(10, t=math.pi).counts == {"1": 10}
        assert s.run(10, t=0.0).counts == {"0": 10}
        with pytest.raises(ValueError, match="'t'"):
            s.run(1)

    def test_the_cache_is_asked_as_a_python_call_would_ask_it(self, monkeypatch):
        # A patched or overridden get sees every request; a binding named "gate" is refused
        # as a second value for get's own argument.
        s = sim(1, [RX([0], [Variable("t")]), Measurement([0])])
        asked, original = [], GateMatrixCache.get
        monkeypatch.setattr(GateMatrixCache, "get", lambda self, gate, **kw: asked.append(kw) or original(self, gate, **kw))
        assert s.run(4, t=math.pi).counts == {"1": 4} and asked == [{"t": math.pi}]
        monkeypatch.undo()
        with pytest.raises(TypeError, match=r"^get\(\): incompatible function arguments"):
            s.run(1, gate=0.5, t=0.0)

        class Logged(GateMatrixCache):
            def get(self, gate, **kw):
                asked.append(type(gate).__name__)
                return super().get(gate, **kw)

        s._cache = Logged()
        assert s.run(4, t=0.0).counts == {"0": 4} and asked[-1] == "RX"

    def test_argument_types(self):
        with pytest.raises(TypeError, match=r"^Argument 'seed' has incorrect type \(expected int, got str\)$"):
            DigitalDenseSimulator(DigitalCircuit(1), seed="1")
        with pytest.raises(TypeError, match=r"^Argument 'shots' has incorrect type \(expected int, got list\)$"):
            sim(1, []).run([])
        with pytest.raises(TypeError, match="expected list, got tuple"):
            sim(1, [])._apply_measurement(sim(1, [])._init_state(), Measurement([0]), (0,))
        assert sim(1, [Measurement([0])], seed=2.7).run(3.9).shots == 3

    def test_apply_gate_leaves_input_untouched(self):
        s = sim(2, [])
        state = s._init_state()
        out = s._apply_gate(state, H([1]))
        np.testing.assert_array_equal(state, [1, 0, 0, 0])
        np.testing.assert_allclose(out, [1 / math.sqrt(2), 1 / math.sqrt(2), 0, 0])
        assert s._apply_gate([1, 0, 0, 0], X([0]))[2] == 1


class TestBadInput:
    @pytest.mark.parametrize(
        "instruction, error, match",
        [
            (X([2]), ValueError, "out of range"),
            (X([-1]), ValueError, "out of range"),
            (CX([1, 1]), ValueError, "twice"),
            (Measurement([3]), IndexError, "out of range"),
            (Measurement([0], [5]), IndexError, "out of range"),
            (CustomGate([0], lambda: np.eye(4)), ValueError, "4x4|2x2"),
            (ConditionalInstruction(Measurement([0]), ClassicalCondition([0], 0)), AttributeError, "matrix"),
        ],
    )
    def test_errors_are_python_exceptions(self, instruction, error, match):
        with pytest.raises(error, match=match):
            sim(2, [instruction, Measurement([0])]).run(3)

    def test_wrong_matrix_shape_from_a_gate(self):
        class Bad(X):
            __slots__ = ()

            def matrix(self):
                return np.eye(3)

        with pytest.raises(ValueError, match=r"shape \(3, 3\), expected \(2, 2\)"):
            sim(1, [Bad([0])]).statevector()

    def test_zero_norm_state_raises_numpys_error(self):
        from norvane.quantum.ir.digital.gate import UnitaryGate

        s = sim(1, [UnitaryGate([0], np.zeros((2, 2))), Measurement([0])])
        with np.errstate(all="ignore"), pytest.raises(ValueError, match="contain NaN"):
            s.run(1)

    def test_too_many_qubits_is_a_memory_error(self):
        with pytest.raises(MemoryError):
            sim(45, [Measurement([0])]).run(1)
        with pytest.raises(MemoryError):
            sim(60, []).statevector()
        with pytest.raises(MemoryError):
            sim(10**9, [])._init_state()


def _child_runs(queue):
    queue.put(sim(2, [H([0]), Measurement([0])], seed=1).run(10).counts)


def test_results_do_not_depend_on_threads_and_fork_still_works():
    layers = []
    n = 18
    rng = np.random.default_rng(0)
    for _ in range(3):
        layers += [RY([q], [float(rng.uniform(0, 6))]) for q in range(n)]
        layers += [CX([q, q + 1]) for q in range(n - 1)]
    states = []
    for threads in (1, 2, 3):
        dense_sim._set_max_threads(threads)
        states.append(sim(n, layers + [Measurement(list(range(n)))]).statevector())
    dense_sim._set_max_threads(0)
    assert all(np.array_equal(states[0], s) for s in states[1:])
    if not hasattr(os, "fork"):
        return
    ctx = multiprocessing.get_context("fork")
    queue = ctx.Queue()
    child = ctx.Process(target=_child_runs, args=(queue,))
    child.start()
    child.join(timeout=60)
    assert child.exitcode == 0
    assert sum(queue.get(timeout=5).values()) == 10


def test_module_initialises_once_per_process():
    assert_initialises_once("norvane.quantum.simulator.digital.dense_sim")


def test_repeated_calls_follow_bindings_and_circuit_changes():
    # A simulator keeps prepared gates and fused plans between calls: they must never go stale.
    circuit = DigitalCircuit(3, [H([0]), RX([1], [Variable("t")]), CX([0, 2]), RY([2], [Variable("t")])])
    sim = DigitalDenseSimulator(circuit, seed=4)
    for t in (0.1, 0.7, 0.1):
        np.testing.assert_array_equal(sim.statevector(t=t), DigitalDenseSimulator(circuit).statevector(t=t))
    sim._circuit.instructions = circuit.instructions[:2] + (CX([2, 0]),) + circuit.instructions[3:]
    np.testing.assert_array_equal(sim.statevector(t=0.7), DigitalDenseSimulator(sim._circuit).statevector(t=0.7))
    sim._cache.clear()
    expected = DigitalDenseSimulator(sim._circuit, seed=9).run(50, t=0.3).memory
    sim._rng = np.random.default_rng(9)
    assert sim.run(50, t=0.3).memory == expected
