"""Opt-in progress reports: VQE iterations, batches and analog evolutions report monotone
(done, total) pairs that reach the total, results do not depend on them, what a progress
function raises propagates, and nothing is shown unless asked for."""

from concurrent.futures import ThreadPoolExecutor
from contextlib import nullcontext

import numpy as np
import pytest

from norvane.quantum.optimizer.param_map import ParamMap
from norvane.quantum.optimizer.vqe import VQE
from norvane.quantum.parallel import run_batch
from norvane.quantum.progress import tracker
from norvane.quantum.simulator.ir.noise import AnalogNoise
from norvane.quantum.simulator.ir.state_vector import AnalogGate
from tests import analog_programs as programs
from tests import parallel_helpers as helpers
from tests.test_vqe import rx_routine


class Recorder:
    """A progress function that keeps its calls, raising `error` once done passes `after`."""

    def __init__(self, error=None, after=None):
        self.calls, self.error, self.after = [], error, after

    def __call__(self, done, total):
        self.calls.append((done, total))
        if self.error is not None and done > self.after:
            raise self.error

    def check_complete(self, total):
        """Starts at 0, never goes back, ends at the total, which never changes."""
        dones = [done for done, _ in self.calls]
        assert self.calls[0] == (0, total) and self.calls[-1] == (total, total)
        assert dones == sorted(dones) and {t for _, t in self.calls} == {total}


class SmoothVQE(VQE):
    """A VQE with a deterministic cost (the real one samples unseeded simulators)."""

    def cost(self, x, shots=None):
        self._n_evals += 1
        return helpers.smooth_cost(x)


def smooth_vqe(optimizer):
    routine, spec = rx_routine(2)
    return SmoothVQE(routine, spec, [0.0] * 4, optimizer=optimizer)


def test_tracker_reports_monotone_values_within_the_total_and_refuses_other_arguments():
    recorder = Recorder()
    with tracker(recorder, 10, desc="work", unit="item") as track:
        for done in (3, 2, 3, 7, 12):
            track.update(done)
        track.finish()
    assert recorder.calls == [(0, 10), (3, 10), (7, 10), (10, 10)]
    silent = tracker(None, 5, desc="work", unit="item")
    assert not silent.active and silent.hook() is None and not tracker(False, 5, desc="w", unit="i").active
    for wrong in (1, "yes", [recorder]):
        with pytest.raises(TypeError, match="progress must be True, False, None or a callable"):
            tracker(wrong, 5, desc="work", unit="item")


@pytest.mark.parametrize("optimizer, options", [("adam", {"lr": 0.05}), ("gradient_descent", {}),
                                                ("scipy_minimize", {"method": "BFGS"})])
def test_vqe_reports_iterations_up_to_max_iter_and_gives_the_same_result(optimizer, options):
    x0 = np.array([0.4, -0.3])
    plain = smooth_vqe(optimizer).run(x0, max_iter=6, **options)
    recorder = Recorder()
    reported = smooth_vqe(optimizer).run(x0, max_iter=6, progress=recorder, **options)
    recorder.check_complete(6)
    assert len(recorder.calls) >= 2
    np.testing.assert_array_equal(reported.optimal_params, plain.optimal_params)
    assert (reported.optimal_value, reported.n_iterations, reported.n_evaluations) == \
        (plain.optimal_value, plain.n_iterations, plain.n_evaluations)
    assert [v for _, v in reported.history] == [v for _, v in plain.history]


def test_vqe_progress_is_no_optimizer_option_and_a_converged_run_jumps_to_the_total():
    recorder = Recorder()
    result = smooth_vqe("gradient_descent").run(np.array([0.4, -0.3]), max_iter=50, progress=recorder, tol=0.5)
    assert result.converged and result.n_iterations < 50
    assert recorder.calls[-2] == (result.n_iterations, 50)
    recorder.check_complete(50)
    with pytest.raises(TypeError):  # unknown loop options are still refused
        smooth_vqe("adam").run(np.array([0.1, 0.2]), max_iter=2, progress=Recorder(), learning_rate=0.1)
    with pytest.raises(TypeError, match="progress must be"):
        smooth_vqe("adam").run(np.array([0.1, 0.2]), max_iter=2, progress="bar")


def test_the_callers_minimize_callback_still_receives_what_it_asks_for():
    seen = []

    def by_point(xk):
        seen.append(np.array(xk).shape)

    def by_result(intermediate_result):
        seen.append(float(intermediate_result.fun))
        if len(seen) == 2:
            raise StopIteration  # ends the minimisation, as it does without progress

    recorder = Recorder()
    smooth_vqe("scipy_minimize").run(np.array([0.4, -0.3]), max_iter=8, progress=recorder, callback=by_point)
    # The start, one report per iteration the minimiser tells, and the jump to the total.
    assert seen and set(seen) == {(2,)} and len(recorder.calls) == 1 + min(len(seen), 8) + (len(seen) < 8)
    seen.clear()
    result = smooth_vqe("scipy_minimize").run(np.array([0.4, -0.3]), max_iter=8, progress=Recorder(),
                                              callback=by_result)
    assert len(seen) == 2 and all(isinstance(value, float) for value in seen) and result.n_iterations <= 2


@pytest.mark.parametrize("optimizer", ["adam", "scipy_minimize"])
def test_a_raising_progress_function_ends_a_vqe_run_with_its_error(optimizer):
    error = RuntimeError("stop here")
    vqe = smooth_vqe(optimizer)
    with pytest.raises(RuntimeError) as caught:
        vqe.run(np.array([0.4, -0.3]), max_iter=8, progress=Recorder(error, after=1))
    assert caught.value is error
    assert vqe.run(np.array([0.4, -0.3]), max_iter=2).n_iterations == 2  # the driver is still usable


@pytest.mark.parametrize("executor", [None, "threads"])
def test_run_batch_reports_circuits_and_gives_the_same_results(executor):
    circuits = [helpers.sweep_circuit() for _ in range(5)]
    bindings = [{f"t{k}": 0.3 * (j + k) for k in range(4)} for j in range(5)]
    recorder = Recorder()
    with ThreadPoolExecutor(2) if executor else nullcontext() as pool:
        reported = run_batch(circuits, 30, pool, seed=5, bindings=bindings, chunk_size=2 if pool else None,
                             progress=recorder)
    recorder.check_complete(5)
    if executor is None:
        assert recorder.calls == [(k, 5) for k in range(6)]  # after every circuit
    assert [r.memory for r in reported] == [r.memory for r in run_batch(circuits, 30, seed=5, bindings=bindings)]


@pytest.mark.parametrize("executor", [None, "threads"])
def test_a_raising_progress_function_stops_a_batch_with_its_own_error(executor):
    error = KeyError("enough")
    with ThreadPoolExecutor(2) if executor else nullcontext() as pool:
        with pytest.raises(KeyError) as caught:
            run_batch([helpers.marked_circuit(k) for k in range(6)], 3, pool, chunk_size=1,
                      progress=Recorder(error, after=2))
    assert caught.value is error


def chain_gate(atoms, duration=1e-6, seed=3, noise=None):
    prog = programs.program(programs.chain(atoms, 6e-6), programs.hamiltonian(duration, 2e7, 1e7))
    gate = programs.gate(prog, seed=seed)
    return gate if noise is None else AnalogGate(gate.hamiltonian, seed=seed, noise=noise)


@pytest.mark.parametrize("solver, options", [("dop853", {}), ("krylov", {}), ("tdvp", {"max_bond_dim": 8})])
def test_analog_evolutions_report_simulated_time_and_keep_their_results(solver, options):
    recorder = Recorder()
    reported = chain_gate(6).run(200, solver_name=solver, progress=recorder, **options)
    recorder.check_complete(1e-6)
    np.testing.assert_array_equal(reported, chain_gate(6).run(200, solver_name=solver, **options))
    state = chain_gate(6).evolve(solver_name=solver, progress=Recorder(), **options)
    plain = chain_gate(6).evolve(solver_name=solver, **options)
    if solver == "tdvp":
        state, plain = state.to_statevector(), plain.to_statevector()
    np.testing.assert_array_equal(state, plain)


@pytest.mark.parametrize("noise", [AnalogNoise(state_prep_error=0.2, dephasing_rate=2e5),
                                   AnalogNoise(amplitude_sigma=0.05)])
def test_noisy_shots_report_the_time_of_all_their_evolutions(noise):
    recorder = Recorder()
    gate = chain_gate(3, noise=noise)
    shots = gate.run(12, progress=recorder)
    np.testing.assert_array_equal(shots, chain_gate(3, noise=noise).run(12))
    stats = gate.integration_stats
    evolutions = stats["evolutions"] + stats["density_matrices"] + stats["trajectories"]
    total = recorder.calls[0][1]
    assert evolutions >= 1 and total == pytest.approx(evolutions * 1e-6)
    recorder.check_complete(total)


def test_a_raising_progress_function_ends_an_analog_evolution_with_its_error():
    # Long enough for the engine to report while it runs; a shorter one raises at its end.
    error = ValueError("stop the evolution")
    gate = chain_gate(10, duration=3e-6)
    with pytest.raises(ValueError) as caught:
        gate.evolve(solver_name="tdvp", max_bond_dim=16, progress=Recorder(error, after=0))
    assert caught.value is error
    assert gate.evolve(solver_name="dop853").shape == (2 ** 10,)  # the engine is still usable


def test_silent_by_default_and_a_bar_on_stderr_when_asked(capfd):
    smooth_vqe("adam").run(np.array([0.1, 0.2]), max_iter=2)
    run_batch([helpers.marked_circuit(1)], 2)
    chain_gate(3).run(5)
    assert capfd.readouterr().err == ""
    chain_gate(3).run(5, progress=True)
    smooth_vqe("adam").run(np.array([0.1, 0.2]), max_iter=2, progress=True)
    err = capfd.readouterr().err
    assert "analog evolution" in err and "1/1 µs" in err and "VQE" in err and "2/2" in err
