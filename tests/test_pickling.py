"""Everything a worker process needs round-trips through pickle: IR nodes, routines, the
optimiser classes and the simulator with its generator state."""

import gc
import pickle
import weakref

import numpy as np
import pytest

from norvane.quantum.ir.digital import gate
from norvane.quantum.ir.digital.circuit import DigitalCircuit
from norvane.quantum.ir.digital.conditional import ClassicalCondition, ConditionalInstruction
from norvane.quantum.ir.digital.measurement import Measurement, MeasurementBasis
from norvane.quantum.ir.routine.digital import DigitalRoutine
from norvane.quantum.ir.scalar import AssignedVariable, Variable, cast
from norvane.quantum.optimizer.gradient import FiniteDiffGradient, parameter_shift_gradient
from norvane.quantum.optimizer.param_map import ParamMap
from norvane.quantum.optimizer.qaoa import QAOAAnsatz
from norvane.quantum.optimizer.vqe import VQE
from norvane.quantum.simulator.digital.dense_sim import DigitalDenseSimulator, SimulationResult
from norvane.quantum.simulator.digital.unitab import GateMatrixCache
from tests.serialize_nodes import FIXED_GATES, PARAMETRIC_GATES


def round_trip(value):
    return pickle.loads(pickle.dumps(value, protocol=pickle.HIGHEST_PROTOCOL))


def every_node_circuit():
    """A circuit holding an instance of every registered node class and scalar kind."""
    theta = Variable("theta")
    params = (-theta + 0.1, theta * 2 / cast(3) - 1, AssignedVariable("phi", 0.25))
    instructions = [cls(tuple(range(cls.n_targets))) for cls in FIXED_GATES]
    instructions += [cls(tuple(range(cls.n_targets)), params[:cls.n_params]) for cls in PARAMETRIC_GATES]
    instructions += [
        gate.UnitaryGate((0, 1), np.kron(gate.H((0,)).matrix(), np.eye(2))),
        Measurement((0, 1), basis=MeasurementBasis.X),
        ConditionalInstruction(gate.X((2,)), ClassicalCondition((0, 1), 2, ">=")),
    ]
    return DigitalCircuit(3, instructions, name="all nodes")


def test_ir_nodes_and_routines_round_trip_equal():
    circuit = every_node_circuit()
    routine = DigitalRoutine("OPENQASM 2.0;", circuit)
    for value in (circuit, routine, *circuit.instructions, *circuit.instructions[len(FIXED_GATES)].params):
        copy = round_trip(value)
        assert copy == value and type(copy) is type(value) and repr(copy) == repr(value)


def test_optimizer_classes_round_trip_with_their_fields():
    spec = ParamMap(["gamma_1", "beta_1"], bounds=np.array([[0.0, 1.0], [0.0, 2.0]]))
    copy = round_trip(spec)
    assert copy.names == spec.names and copy.n == 2 and np.array_equal(copy.bounds, spec.bounds)
    assert copy.bind([0.5, 1.5]) == {"gamma_1": 0.5, "beta_1": 1.5}

    ansatz = QAOAAnsatz(3, [(0, 1, 1.0), (1, 2, 0.5)], p=2)
    assert vars(round_trip(ansatz)) == vars(ansatz)
    assert round_trip(ansatz).build() == ansatz.build()

    finite = round_trip(FiniteDiffGradient(1e-3, "forward"))
    assert (finite.eps, finite.method) == (1e-3, "forward")
    assert round_trip(parameter_shift_gradient) is parameter_shift_gradient

    driver = VQE(ansatz.build(), ansatz.param_map(), ansatz.max_cut_observable(), shots=64)
    driver._n_evals = 7
    copy = round_trip(driver)
    assert copy.routine == driver.routine and copy.spec.names == driver.spec.names
    assert np.array_equal(copy.observable, driver.observable)
    assert (copy.shots, copy.gradient_fn, copy.optimizer, copy._n_evals) == (64, parameter_shift_gradient, "adam", 7)
    assert isinstance(copy.cost(np.zeros(4)), float) and copy._n_evals == 8


def test_simulation_result_and_gate_cache_round_trip():
    result = SimulationResult({"01": 2, "10": 1}, 3, 2, 2, memory=["01", "10", "01"])
    copy = round_trip(result)
    assert (copy.counts, copy.memory, copy.shots, copy.n_qubits, copy.n_cbits) == \
        ({"01": 2, "10": 1}, ["01", "10", "01"], 3, 2, 2)
    assert repr(copy) == repr(result)

    cache = GateMatrixCache()
    rx = gate.RX((0,), (Variable("a"),))
    stored = cache.get(rx, a=0.5)
    copy = round_trip(cache)
    assert copy._cache.keys() == cache._cache.keys()
    assert np.array_equal(copy.get(rx, a=0.5), stored)


def test_seeded_simulator_continues_its_stream_after_a_round_trip():
    circuit = DigitalCircuit(2, [gate.H((0,)), gate.RY((1,), (Variable("t"),)), Measurement((0, 1))])
    simulator = DigitalDenseSimulator(circuit, seed=11)
    simulator.run(50, t=0.7)  # the copy starts mid-stream
    copy = round_trip(simulator)
    assert copy._circuit == circuit and copy._rng is not simulator._rng
    assert copy.run(200, t=0.7).memory == simulator.run(200, t=0.7).memory
    assert copy.run(5, t=1.1).counts == simulator.run(5, t=1.1).counts
    # An unpickled simulator has its own lock, gate store and generator: runs on both stay apart.
    copy.run(10, t=0.2)
    assert copy.run(100, t=0.3).memory != simulator.run(100, t=0.3).memory


@pytest.mark.parametrize("cls, state, message", [
    (DigitalDenseSimulator, (None, None), "needs a tuple of 4 items, got 2"),
    (SimulationResult, ["not", "a", "tuple"], "needs a tuple of 5 items, got list"),
    (GateMatrixCache, ([],), "Argument 'cache' has incorrect type"),
    (SimulationResult, ({}, "many", 1, 1, None), "Argument 'shots' has incorrect type"),
])
def test_damaged_states_are_refused_clearly(cls, state, message):
    bare = cls.__new__(cls)
    with pytest.raises(TypeError, match=message):
        bare.__setstate__(state)


def test_setstate_on_a_live_instance_is_refused():
    result = SimulationResult({"0": 1}, 1, 1, 1)
    with pytest.warns(RuntimeWarning, match="already-initialized"), pytest.raises(TypeError):
        result.__setstate__(({"1": 1}, 1, 1, 1, None))
    assert result.counts == {"0": 1}


def test_unpickled_objects_stay_collectable():
    circuit = DigitalCircuit(1, [gate.H((0,)), Measurement((0,))])
    simulator = round_trip(DigitalDenseSimulator(circuit, seed=1))
    result = round_trip(simulator.run(4))
    cache = round_trip(GateMatrixCache())
    refs = [weakref.ref(obj) for obj in (simulator, result, cache)]
    # Cycles through the held Python fields: each instance reaches itself through a container.
    simulator._circuit = [simulator]
    result.counts = {"x": result}
    cache._cache = {"self": cache}
    del simulator, result, cache
    gc.collect()
    assert all(ref() is None for ref in refs)
