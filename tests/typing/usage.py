"""Typed use of the native modules, checked by mypy against the generated stubs."""

import numpy as np
from numpy.typing import NDArray

from bokeh.plotting import figure

from norvane.quantum.compiler.analysis.digital.validate import DigitalCircuitValidator, ValidationError
from norvane.quantum.ir.digital.circuit import DigitalCircuit
from norvane.quantum.ir.digital.gate import CX, H, RY
from norvane.quantum.ir.digital.measurement import Measurement
from norvane.quantum.dispatch.mock import MockBackend, simulate_job_results
from norvane.quantum.dispatch.oruna1 import Oruna1Backend
from norvane.quantum.dispatch.program import NrvJobResults, NrvJobSpecification, NrvJobStatusCode
from norvane.quantum.ir.digital.qasm import dumps, loads
from norvane.quantum.job.oruna1_simulator import Oruna1SimulatorTask
from norvane.quantum.optimizer.gradient import FiniteDiffGradient, parameter_shift_gradient
from norvane.quantum.optimizer.param_map import ParamMap
from norvane.quantum.optimizer.qaoa import QAOAAnsatz
from norvane.quantum.optimizer.vqe import VQE, VQEResult
from norvane.quantum.simulator.digital.dense_sim import DigitalDenseSimulator, SimulationResult
from norvane.quantum.simulator.digital.unitab import GateMatrixCache
from norvane.quantum.visualization.circuitview import WIRE_SPACING, get_circuit_figure


def bell_counts(shots: int) -> dict[str, int]:
    circuit = DigitalCircuit(2, [H([0]), CX([0, 1]), Measurement([0, 1])])
    result: SimulationResult = DigitalDenseSimulator(circuit, seed=1).run(shots)
    top: list[tuple[str, int]] = result.most_common(2)
    probabilities: dict[str, float] = result.probabilities()
    assert top and probabilities and result.shots == shots
    return result.counts


def state(theta: float) -> NDArray[np.complex128]:
    circuit = loads(dumps(DigitalCircuit(1, [RY([0], ["theta"])]), version=3))
    matrix = GateMatrixCache().get(RY([0], [theta]))
    assert matrix.shape == (2, 2)
    return DigitalDenseSimulator(circuit).statevector(theta=theta)


def check(circuit: DigitalCircuit) -> str | None:
    try:
        DigitalCircuitValidator(allow_mid_circuit_measurement=True).validate(circuit)
    except ValidationError as error:
        return str(error)
    return None


def optimise() -> VQEResult:
    ansatz = QAOAAnsatz(3, [(0, 1, 1.0), (1, 2, 0.5)], p=1)
    spec: ParamMap = ansatz.param_map()
    names: list[str] = spec.names
    bindings: dict[str, float] = spec.bind(spec.zeros())
    assert len(names) == len(bindings)
    gradient = FiniteDiffGradient(eps=0.1)
    slope = parameter_shift_gradient(lambda x: float(np.sum(x)), spec.random(3))
    assert gradient(lambda x: float(x[0]), spec.zeros()).shape == slope.shape
    driver = VQE(ansatz.build(), spec, ansatz.max_cut_observable(), shots=64, gradient=gradient)
    result = driver.run(spec.random(1), max_iter=2)
    value: float = result.optimal_value
    return result if value <= 0 else result


def dispatch(job: NrvJobSpecification, folder: str) -> tuple[NrvJobResults, NrvJobStatusCode]:
    mock = MockBackend(state_file=folder + "/state.txt")
    task_id: str = mock.submit_task(job)
    fabricated: NrvJobResults = simulate_job_results(job, p_full=1.0)
    cloud = Oruna1Backend(api_hostname="http://localhost", qpu_id="local", session_expires=60)
    cloud.update_credential(secret_key="secret")
    cloud.validate_task(job)
    hosts: list[str | None] = [cloud.api_hostname, cloud.access_key, mock.state_file]
    assert hosts and fabricated and not mock.submission_error
    assert cloud.get_capabilities(use_experimental=True) is not None
    return mock.task_results(task_id), cloud.task_status(cloud.submit_task(job))


def emulate(task: Oruna1SimulatorTask) -> NrvJobResults | None:
    shots: int = task.nshots + task.shots
    assert shots and task.compile_cache is None and task.emulator_ir is not None
    return task.run(atol=1e-9, nsteps=1000).result()


def draw(circuit: DigitalCircuit) -> figure:
    assert WIRE_SPACING > 0
    return get_circuit_figure(circuit)
