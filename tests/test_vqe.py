"""The VQE driver, its result record and its optimiser loops.

Most tests run against an exact stand-in for the statevector simulator, installed in
sys.modules: the driver looks the simulator up at every cost evaluation, so the stand-in also
shows that lookup. The end-to-end tests at the bottom use the real simulator.
"""

import itertools
import math
import sys
import types

import numpy as np
import pytest

from norvane.quantum.ir.digital.circuit import DigitalCircuit
from norvane.quantum.ir.digital.gate import RX
from norvane.quantum.ir.digital.measurement import Measurement
from norvane.quantum.ir.routine.digital import DigitalRoutine
from norvane.quantum.ir.scalar import Variable
from norvane.quantum.optimizer import vqe
from norvane.quantum.optimizer.gradient import FiniteDiffGradient, parameter_shift_gradient
from norvane.quantum.optimizer.param_map import ParamMap
from norvane.quantum.optimizer.vqe import VQE, VQEResult
from tests.native_modules import assert_initialises_once
from tests.reference import vqe_reference

SIMULATOR_MODULE = "norvane.quantum.simulator.digital.dense_sim"


class ExactResult:
    def __init__(self, probabilities):
        self._probabilities = probabilities

    def probabilities(self):
        return dict(self._probabilities)


class ExactRXSimulator:
    """Exact outcome probabilities of RX(angle_k) on qubit k, angles taken in binding order."""

    instances = []

    def __init__(self, circuit, seed=None):
        self.circuit, self.seed, self.runs = circuit, seed, []
        ExactRXSimulator.instances.append(self)

    def run(self, shots=1024, **bindings):
        self.runs.append((shots, bindings))
        angles = list(bindings.values())
        probabilities = {}
        for bits in itertools.product("01", repeat=len(angles)):
            p = math.prod(math.sin(a / 2) ** 2 if b == "1" else math.cos(a / 2) ** 2 for a, b in zip(angles, bits))
            probabilities["".join(bits)] = p
        return ExactResult(probabilities)


@pytest.fixture
def exact(monkeypatch):
    ExactRXSimulator.instances = []
    module = types.ModuleType(SIMULATOR_MODULE)
    module.DigitalDenseSimulator = ExactRXSimulator
    monkeypatch.setitem(sys.modules, SIMULATOR_MODULE, module)
    return ExactRXSimulator


def rx_routine(n):
    names = ["theta", "phi", "chi"][:n]
    gates = [RX(targets=(k,), params=Variable(names[k])) for k in range(n)]
    return DigitalRoutine(None, DigitalCircuit(n, gates + [Measurement(tuple(range(n)))])), ParamMap(names)


# Two qubits, observable Z0 + 0.5 Z1: the cost is -cos(theta) - 0.5 cos(phi).
OBSERVABLE = [-1.5, -0.5, 0.5, 1.5]


def exact_cost(x):
    return -math.cos(x[0]) - 0.5 * math.cos(x[1])


def two_qubit_vqe(**kwargs):
    routine, spec = rx_routine(2)
    return VQE(routine, spec, OBSERVABLE, **kwargs)


def test_module_surface():
    assert vqe.__all__ == ["VQEResult", "VQE"]
    assert vqe.parameter_shift_gradient is parameter_shift_gradient and vqe.ParamMap is ParamMap
    assert vqe.FiniteDiffGradient is FiniteDiffGradient
    assert_initialises_once("norvane.quantum.optimizer.vqe")


def test_result_record():
    params = np.array([1.0])
    result = VQEResult(params, 2, [], 1, 3.9, 4.2)
    assert vars(result) == {"optimal_params": params, "optimal_value": 2.0, "history": [], "converged": True,
                            "n_iterations": 3, "n_evaluations": 4, "message": ""}
    assert result.optimal_params is params
    assert repr(result) == "VQEResult(optimal_value=2.000000, converged=True, n_iter=3)"
    assert repr(VQEResult(params, -0.998, [], False, 12, 1, "m")) == (
        "VQEResult(optimal_value=-0.998000, converged=False, n_iter=12)")
    with pytest.raises(TypeError, match="Argument 'history' has incorrect type"):
        VQEResult(params, 1.0, (), True, 1, 1)
    with pytest.raises(TypeError, match="Argument 'message' has incorrect type"):
        VQEResult(params, 1.0, [], True, 1, 1, message=b"x")


def test_constructor_fields_and_checks():
    routine, spec = rx_routine(1)
    observable = [-1, 1]
    driver = VQE(routine, spec, observable)
    assert vars(driver) == {"routine": routine, "spec": spec, "observable": pytest.approx(np.array([-1.0, 1.0])),
                            "shots": 1024, "gradient_fn": parameter_shift_gradient, "optimizer": "adam",
                            "_n_evals": 0}
    assert driver.observable.dtype == np.float64
    assert VQE(routine, spec, observable, 100.7).shots == 100
    for kwargs, name in [({"shots": "10"}, "shots"), ({"optimizer": 3}, "optimizer")]:
        with pytest.raises(TypeError, match=f"Argument '{name}' has incorrect type"):
            VQE(routine, spec, observable, **kwargs)


def test_cost_builds_an_unseeded_simulator_per_evaluation(exact):
    driver = two_qubit_vqe(shots=77)
    assert driver.cost([0.4, 1.3]) == pytest.approx(exact_cost([0.4, 1.3]), abs=1e-14)
    assert driver.cost(np.array([0.1, 0.2]), shots=5) == pytest.approx(exact_cost([0.1, 0.2]), abs=1e-14)
    assert [(sim.circuit, sim.seed) for sim in exact.instances] == [(driver.routine.circuit, None)] * 2
    assert [sim.runs for sim in exact.instances] == [[(77, {"theta": 0.4, "phi": 1.3})],
                                                     [(5, {"theta": 0.1, "phi": 0.2})]]
    assert driver.shots == 77 and driver._n_evals == 2


def test_cost_counts_before_binding(exact):
    driver = two_qubit_vqe()
    with pytest.raises(ValueError, match=r"Expected parameter vector of length 2, got \(3,\)\."):
        driver.cost([1.0, 2.0, 3.0])
    assert driver._n_evals == 1 and exact.instances == []


def test_cost_errors_of_the_outcomes(exact, monkeypatch):
    routine, _ = rx_routine(1)
    with pytest.raises(TypeError, match="got multiple values for keyword argument 'shots'"):
        VQE(routine, ParamMap(["shots"]), [1.0, -1.0]).cost([0.0])
    monkeypatch.setattr(ExactRXSimulator, "run", lambda self, shots, **b: ExactResult({"101": 1.0}))
    with pytest.raises(IndexError, match="index 5 is out of bounds for axis 0 with size 2"):
        VQE(routine, ParamMap(["theta"]), [1.0, -1.0]).cost([0.0])
    monkeypatch.setattr(ExactRXSimulator, "run", lambda self, shots, **b: ExactResult({"1": 1.0}))
    with pytest.raises(ValueError, match="not aligned"):
        VQE(routine, ParamMap(["theta"]), [1.0, -1.0, 0.0]).cost([0.0])


def test_gradient_uses_the_given_shots_everywhere(exact):
    driver = two_qubit_vqe(shots=64)
    x = np.array([0.3, -0.8])
    grad = driver.gradient(x, shots=9)
    assert grad == pytest.approx([math.sin(0.3), 0.5 * math.sin(-0.8)], abs=1e-14)
    assert [sim.runs[0][0] for sim in exact.instances] == [9] * 4
    assert driver._n_evals == 4 and x.tolist() == [0.3, -0.8]


def test_finite_difference_gradient_function(exact):
    driver = two_qubit_vqe(gradient=FiniteDiffGradient())
    driver.gradient([1.0, 2.0])
    seen = np.array([list(sim.runs[0][1].values()) for sim in exact.instances])
    assert np.allclose(seen, [[1.0001, 2.0], [0.9999, 2.0], [1.0, 2.0001], [1.0, 1.9999]], rtol=0, atol=1e-15)


def test_run_resets_the_counter_and_draws_a_start(exact):
    class RecordingMap(ParamMap):
        drawn = 0

        def random(self, seed=None):
            RecordingMap.drawn += 1
            return super().random(seed)

    routine, _ = rx_routine(2)
    driver = VQE(routine, RecordingMap(["theta", "phi"]), OBSERVABLE, optimizer="Adam")
    for _ in range(3):
        driver.cost([0.0, 0.0])
    assert driver._n_evals == 3
    with pytest.raises(ValueError) as info:
        driver.run()
    assert str(info.value) == "Unknown optimizer 'Adam'. Choose 'adam', 'gradient_descent', or 'scipy_minimize'."
    assert driver._n_evals == 0 and RecordingMap.drawn == 1


@pytest.mark.parametrize("optimizer, reference", [("adam", vqe_reference.adam),
                                                  ("gradient_descent", vqe_reference.gradient_descent)])
def test_loops_follow_the_reference_model(exact, optimizer, reference):
    driver = two_qubit_vqe(optimizer=optimizer)
    x0 = np.array([2.0, -1.0])
    result = driver.run(x0, max_iter=25, lr=0.2)
    history, final, converged, iterations = reference(
        lambda x: driver.cost(x), lambda x: driver.gradient(x), x0, 25, lr=0.2)
    assert len(result.history) == len(history) == result.n_iterations + 1 == iterations + 1
    for (x, value), (x_ref, value_ref) in zip(result.history, history):
        assert np.array_equal(x, x_ref) and value == value_ref
    assert np.array_equal(result.optimal_params, final) and result.converged == converged
    assert result.n_evaluations == 1 + iterations * (2 * 2 + 1)
    assert x0.tolist() == [2.0, -1.0]


@pytest.mark.parametrize("optimizer, message", [("adam", "Converged (parameter change < tol)."),
                                                ("gradient_descent", "Converged.")])
def test_convergence(exact, optimizer, message):
    driver = two_qubit_vqe(optimizer=optimizer)
    result = driver.run([0.5, 0.2], max_iter=2000, lr=0.05, tol=1e-7)
    assert result.converged and result.message == message
    assert result.optimal_value == pytest.approx(-1.5, abs=1e-9)
    assert len(result.history) == result.n_iterations + 1 < 2001
    assert result.n_evaluations == 1 + result.n_iterations * 5
    last_x, last_value = result.history[-1]
    assert last_x is not result.optimal_params and np.array_equal(last_x, result.optimal_params)
    assert last_value == result.optimal_value
    # A gradient that is zero at the start converges in the first iteration.
    at_minimum = driver.run([0.0, 0.0], max_iter=10)
    assert at_minimum.converged and at_minimum.n_iterations == 1 and at_minimum.message == message


@pytest.mark.parametrize("optimizer", ["adam", "gradient_descent"])
@pytest.mark.parametrize("max_iter", [0, -3])
def test_no_iterations(exact, optimizer, max_iter):
    result = two_qubit_vqe(optimizer=optimizer).run([0.5, 0.2], max_iter=max_iter)
    assert (result.converged, result.n_iterations, result.n_evaluations) == (False, max_iter, 1)
    assert result.optimal_params.tolist() == [0.5, 0.2] and len(result.history) == 1
    assert result.message == "Maximum iterations reached."


def constant_gradient(value):
    return lambda f, x: np.full(len(x), value)


def test_a_change_equal_to_tol_does_not_converge(exact):
    driver = two_qubit_vqe(gradient=constant_gradient(0.5), optimizer="gradient_descent")
    result = driver.run([1.0, 1.0], max_iter=4, lr=0.5, tol=0.25)
    assert not result.converged and result.n_iterations == 4
    assert [x.tolist() for x, _ in result.history] == [[1.0, 1.0], [0.75, 0.75], [0.5, 0.5], [0.25, 0.25], [0.0, 0.0]]
    assert not driver.run([1.0, 1.0], max_iter=3, tol=0.0).converged


def test_loops_refuse_unknown_keywords_and_wrong_gradients(exact):
    with pytest.raises(TypeError):
        two_qubit_vqe(optimizer="gradient_descent").run([1.0, 1.0], max_iter=1, beta1=0.5)
    with pytest.raises(TypeError):
        two_qubit_vqe().run([1.0, 1.0], max_iter=1, method="BFGS")
    with pytest.raises(ValueError, match=r"the gradient has shape \(3,\), but the parameter vector has shape \(2,\)"):
        two_qubit_vqe(gradient=lambda f, x: np.zeros(3)).run([1.0, 1.0], max_iter=1)


def test_empty_parameter_vector_fails_the_convergence_test():
    routine = DigitalRoutine(None, DigitalCircuit(1, [Measurement((0,))]))
    with pytest.raises(ValueError, match="zero-size array to reduction operation maximum"):
        VQE(routine, ParamMap([]), [1.0, -1.0]).run([], max_iter=1)


def test_scipy_loop(exact):
    driver = two_qubit_vqe(optimizer="scipy_minimize")
    x0 = np.array([2.0, -1.0])
    result = driver.run(x0, max_iter=50)
    assert result.converged and result.optimal_value == pytest.approx(-1.5, abs=1e-9)
    assert type(result.optimal_value) is float and isinstance(result.message, str)
    assert len(result.history) >= result.n_iterations > 0
    assert all(value == pytest.approx(exact_cost(x), abs=1e-14) for x, value in result.history)
    assert x0.tolist() == [2.0, -1.0]


def test_scipy_loop_call(exact, monkeypatch):
    import scipy.optimize

    calls = []

    def minimize(fun, x0, **kwargs):
        calls.append((x0.tolist(), kwargs))
        fun(x0)
        kwargs["jac"](x0)
        return scipy.optimize.OptimizeResult(x=x0, fun=np.float64(-1.25), success=1, message="done")

    monkeypatch.setattr(scipy.optimize, "minimize", minimize)
    driver = two_qubit_vqe(optimizer="scipy_minimize")
    result = driver.run([1.0, 2.0], max_iter=7, method="BFGS", tol=1e-3)
    (x0, kwargs), = calls
    assert x0 == [1.0, 2.0] and set(kwargs) == {"jac", "method", "options", "tol"}
    assert (kwargs["method"], kwargs["options"], kwargs["tol"]) == ("BFGS", {"maxiter": 7}, 1e-3)
    assert (result.optimal_value, result.converged, result.n_iterations, result.n_evaluations) == (-1.25, True, 1, 5)
    assert result.message == "done"
    with pytest.raises(TypeError, match="got multiple values for keyword argument 'options'"):
        driver.run([1.0, 2.0], options={})
    with pytest.raises(TypeError, match="Argument 'method' has incorrect type"):
        driver.run([1.0, 2.0], method=minimize)
    assert calls[1:] == []


def test_scipy_missing(exact, monkeypatch):
    monkeypatch.setitem(sys.modules, "scipy.optimize", None)
    driver = two_qubit_vqe(optimizer="scipy_minimize")
    with pytest.raises(ImportError) as info:
        driver.run([1.0, 2.0])
    assert str(info.value) == "scipy is required for optimizer='scipy_minimize'. Install with: pip install scipy"
    assert driver._n_evals == 0


# End to end, on the statevector simulator.


def one_qubit_vqe(**kwargs):
    routine, spec = rx_routine(1)
    return VQE(routine, spec, [-1.0, 1.0], **kwargs)


def test_cost_on_the_simulator():
    driver = one_qubit_vqe()
    assert driver.cost([0.0]) == -1.0 and driver.cost([math.pi]) == 1.0
    assert driver.cost([math.pi / 2], shots=0) == 0.0
    # At theta = pi/2 each shot is +-1 with equal probability: standard error 1/sqrt(shots).
    shots = 4096
    assert abs(driver.cost([math.pi / 2], shots=shots)) < 5 / math.sqrt(shots)
    # At theta = 2.0 the exact cost is -cos(2.0); each shot has variance sin(2.0)^2.
    assert abs(driver.cost([2.0], shots=shots) + math.cos(2.0)) < 5 * math.sin(2.0) / math.sqrt(shots)


def test_one_qubit_run_reaches_the_minimum():
    driver = one_qubit_vqe()
    result = driver.run(driver.spec.random(0), shots=4096)
    assert result.optimal_value < -0.99
    assert len(result.history) == result.n_iterations + 1
    assert result.n_evaluations == 1 + result.n_iterations * 3
