"""The local analog emulator task: calls into the kit, readout encoding, and its encoding."""

import dataclasses

import numpy as np
import pytest

from analog_programs import chain, hamiltonian, program
from native_modules import assert_initialises_once
from norvane.quantum.dispatch.program.job_results import (
    NrvJobResults,
    NrvJobStatusCode,
    NrvShotResult,
    NrvShotStatusCode,
)
from norvane.quantum.job import oruna1_simulator
from norvane.quantum.job.base import LocalTask
from norvane.quantum.job.oruna1_simulator import Oruna1SimulatorTask, _deserialize, _serialize
from norvane.quantum.serialize import Serializer, dumps, loads
from norvane.quantum.simulator.codegen.hamiltonian import CompileCache, RydbergHamiltonianCodeGen
from norvane.quantum.simulator.ir.state_vector import AnalogGate

PI_PULSE = np.pi / 0.5e-6  # Rabi frequency of a pi pulse lasting 0.5 us


def task_on(filling, shots=3, metadata=None):
    prog = program(chain(len(filling), 20e-6, filling=list(filling)), hamiltonian(0.5e-6, PI_PULSE))
    return Oruna1SimulatorTask(shots, prog, metadata or {})


@pytest.fixture
def emulator_rows(monkeypatch):
    """Substitutes AnalogGate.run: returns the rows it is given and records each call."""
    calls = []

    def substitute(rows, atoms=None):
        def run(self, *args, **kwargs):
            calls.append((self, args, kwargs))
            return np.array(rows, dtype=int).reshape(len(rows), atoms if atoms is not None else -1)

        monkeypatch.setattr(AnalogGate, "run", run)
        return calls

    return substitute


def test_module_is_initialised_once():
    assert_initialises_once("norvane.quantum.job.oruna1_simulator")


def test_task_is_a_data_class_registered_with_the_serializer():
    assert issubclass(Oruna1SimulatorTask, LocalTask) and dataclasses.is_dataclass(Oruna1SimulatorTask)
    assert [f.name for f in dataclasses.fields(Oruna1SimulatorTask)] == [
        "shots", "emulator_ir", "metadata", "compile_cache", "task_result_ir"]
    task = task_on([1, 0])
    assert task == Oruna1SimulatorTask(shots=3, emulator_ir=task.emulator_ir, metadata={})
    assert task != task_on([1, 1])
    assert repr(task).startswith("Oruna1SimulatorTask(shots=3, emulator_ir=EmulatorProgram(")
    assert task.compile_cache is None and task.result() is None
    assert task._geometry() is task.emulator_ir.register.geometry
    assert Oruna1SimulatorTask in Serializer._by_class


def test_readout_encoding_with_substituted_emulator(emulator_rows):
    emulator_rows([[1, 0], [0, 0], [1, 1]])
    task = task_on([1, 0, 1])
    assert task.run() is task
    results = task.result()
    assert results.task_status is NrvJobStatusCode.Completed
    assert [s.post_sequence for s in results.shot_outputs] == [[0, 0, 1], [1, 0, 1], [0, 0, 0]]
    assert all(s.pre_sequence == [1, 0, 1] for s in results.shot_outputs)
    assert all(s.shot_status is NrvShotStatusCode.Completed for s in results.shot_outputs)
    lists = [id(s.post_sequence) for s in results.shot_outputs] + [id(s.pre_sequence) for s in results.shot_outputs]
    assert len(set(lists)) == len(lists)


def test_zero_rows_and_empty_registers(emulator_rows):
    emulator_rows([], atoms=2)
    assert task_on([1, 1]).run().result() == NrvJobResults(task_status="Completed", shot_outputs=[])
    emulator_rows([[], []])
    outputs = task_on([0, 0, 0]).run().result().shot_outputs
    assert [(s.pre_sequence, s.post_sequence) for s in outputs] == [([0, 0, 0], [0, 0, 0])] * 2


def test_emulator_calls_defaults_and_conversions(emulator_rows, monkeypatch):
    calls = emulator_rows([[0]])
    made = []
    real_init = RydbergHamiltonianCodeGen.__init__

    def recording_init(self, *args, **kwargs):
        made.append((args, kwargs))
        real_init(self, *args, **kwargs)

    monkeypatch.setattr(RydbergHamiltonianCodeGen, "__init__", recording_init)
    cache = CompileCache()
    task = Oruna1SimulatorTask(7, task_on([1]).emulator_ir, {"owner": "lab"}, cache)
    task.run()
    assert made == [((cache,), {})]
    gate, args, kwargs = calls[-1]
    assert args == (7,) and isinstance(gate, AnalogGate)
    assert kwargs == {"project_hyperfine": True, "solver_name": "dop853", "atol": 1e-14, "rtol": 1e-7,
                      "nsteps": 2147483647, "interaction_picture": False}
    assert list(kwargs) == ["project_hyperfine", "solver_name", "atol", "rtol", "nsteps", "interaction_picture"]
    task.run("dopri5", 1, 2, 12.9, 1)
    kwargs = calls[-1][2]
    assert kwargs["atol"] == 1.0 and type(kwargs["atol"]) is float and type(kwargs["rtol"]) is float
    assert kwargs["nsteps"] == 12 and kwargs["interaction_picture"] is True
    wrong = [((3,), "solver_name"), (("dop853", "x"), "atol"), (("dop853", 1, 1, "10"), "nsteps")]
    wrong += [({name: None}, name) for name in ("solver_name", "atol", "rtol", "nsteps")]
    for args, name in wrong:
        with pytest.raises(TypeError, match=f"Argument '{name}' has incorrect type .* got"):
            task.run(**args) if isinstance(args, dict) else task.run(*args)


def test_failed_run_keeps_earlier_results(emulator_rows, monkeypatch):
    emulator_rows([[1]])
    task = task_on([1]).run()
    before = task.task_result_ir

    def broken_emit(self, program):
        raise RuntimeError("compiler broke")

    monkeypatch.setattr(RydbergHamiltonianCodeGen, "emit", broken_emit)
    with pytest.raises(RuntimeError, match="compiler broke"):
        task.run()
    assert task.task_result_ir is before
    monkeypatch.undo()
    emulator_rows([[1, 0, 1]])
    with pytest.raises(ValueError):  # the array library's shape error
        task_on([1, 1]).run()


def test_nshots():
    task = task_on([1])
    task.shots = 4.9
    assert task.nshots == 4
    task.shots = "many"
    with pytest.raises(TypeError, match="Argument 'shots'"):
        task.nshots
    with pytest.raises(AttributeError):
        task.nshots = 3


def test_runs_on_the_real_emulator():
    # A pi pulse on isolated atoms: every atom ends in the Rydberg state, so the device
    # readout is 0 at every site.
    task = task_on([1, 0, 1], shots=5).run()
    assert [s.post_sequence for s in task.result().shot_outputs] == [[0, 0, 0]] * 5
    task.emulator_ir.hamiltonian.drive.amplitude.values = [0.0, 0.0]
    assert [s.post_sequence for s in task.run().result().shot_outputs] == [[1, 0, 1]] * 5


def test_serialize_and_deserialize(emulator_rows):
    emulator_rows([[1], [0]])
    task = task_on([1], metadata={"run": 1}).run()
    d = _serialize(task)
    assert list(d) == ["shots", "emulator_ir", "metadata", "task_result_ir"]
    assert d["emulator_ir"] is task.emulator_ir and d["metadata"] is task.metadata
    assert d["task_result_ir"] == task.task_result_ir.dict()
    back = _deserialize(d)
    assert back == task and isinstance(d["task_result_ir"], NrvJobResults)
    bare = task_on([1])
    d = _serialize(bare)
    assert d["task_result_ir"] is None and _deserialize(d) == bare
    with pytest.raises(KeyError):
        _deserialize({"shots": 1})
    with pytest.raises(TypeError):
        _deserialize({**_serialize(bare), "colour": "red"})
    assert loads(dumps(task)) == task and loads(dumps(bare)) == bare
    assert oruna1_simulator._serialize is _serialize
