"""Batches and gradients on executors: the same results serially, on a process pool and on a
local Dask cluster; failures name their index; VQE's evaluation count stays exact."""

import multiprocessing
import pickle
from concurrent.futures import ProcessPoolExecutor, ThreadPoolExecutor

import numpy as np
import pytest

from norvane.quantum.ir.routine.digital import DigitalRoutine
from norvane.quantum.ir.scalar import UnboundVariableError
from norvane.quantum.optimizer.gradient import FiniteDiffGradient, parameter_shift_gradient
from norvane.quantum.optimizer.qaoa import QAOAAnsatz
from norvane.quantum.parallel import BatchError, ExecutorGradient, run_batch
from norvane.quantum.parallel.chunks import worker_count
from norvane.quantum.simulator.digital.dense_sim import DigitalDenseSimulator
from tests import parallel_helpers as helpers

RULES = [parameter_shift_gradient, FiniteDiffGradient(1e-3, "central"), FiniteDiffGradient(1e-2, "forward"),
         FiniteDiffGradient(1e-2, "backward")]


@pytest.fixture(scope="module")
def pool():
    # Spawned workers: forking a process that runs other threads (a Dask client) is unsafe.
    with ProcessPoolExecutor(2, mp_context=multiprocessing.get_context("spawn")) as executor:
        yield executor


def sweep_bindings(count, n_qubits=4, seed=0):
    angles = np.random.default_rng(seed).uniform(0, np.pi, (count, n_qubits))
    return [{f"t{k}": float(a) for k, a in enumerate(row)} for row in angles]


def memories(results):
    return [r.memory for r in results]


def test_seeded_batches_are_identical_whatever_runs_them(pool):
    circuit, bindings = helpers.sweep_circuit(), sweep_bindings(30)
    serial = run_batch([circuit], 40, seed=123, bindings=bindings)
    assert len(serial) == 30 and all(r.shots == 40 for r in serial)
    # Circuit k draws from child k of the seed sequence, as its own simulator would.
    child = np.random.SeedSequence(123).spawn(30)[7]
    own = DigitalDenseSimulator(circuit)
    own._rng = np.random.default_rng(child)
    assert own.run(40, **bindings[7]).memory == serial[7].memory
    for chunk_size in (None, 1, 7, 30):
        assert memories(run_batch([circuit], 40, pool, 123, bindings=bindings, chunk_size=chunk_size)) == \
            memories(serial)
    assert memories(run_batch([circuit], 40, seed=124, bindings=bindings)) != memories(serial)


def test_results_come_back_in_input_order_with_common_and_own_bindings(pool):
    assert (worker_count(pool), worker_count(None)) == (2, 1)   # default chunks: two per worker
    circuits = [helpers.marked_circuit(k) for k in range(40)]
    results = run_batch(circuits, 3, pool, chunk_size=6)
    assert [r.counts for r in results] == [{format(k, "06b"): 3} for k in range(40)]
    # Common keywords bind every circuit; a circuit's own mapping wins over them.
    circuit = helpers.sweep_circuit(2)
    results = run_batch([DigitalRoutine(None, circuit)] * 2, 5, pool, t1=np.pi,
                        bindings=[{"t0": 0.0}, {"t0": np.pi, "t1": 0.0}])
    assert [r.counts for r in results] == [{"01": 5}, {"11": 5}]


def test_a_failing_circuit_is_reported_with_its_index(pool):
    circuits = [helpers.sweep_circuit(2)] * 9
    bindings = [{"t0": 0.1, "t1": 0.2}] * 9
    bindings[5] = {"t0": 0.1}
    for executor in (None, pool):
        with pytest.raises(BatchError, match="item 5 of the batch failed: UnboundVariableError") as info:
            run_batch(circuits, 4, executor, bindings=bindings, chunk_size=4)
        assert info.value.index == 5 and isinstance(info.value.error, UnboundVariableError)


def test_a_worker_that_dies_is_reported_with_the_lost_indices():
    circuits = [helpers.sweep_circuit(2)] * 6 + [helpers.circuit_with_custom(helpers.exit_process)]
    with ProcessPoolExecutor(1, mp_context=multiprocessing.get_context("spawn")) as executor:
        with pytest.raises(BatchError, match="items 4-6 of the batch were lost: BrokenProcessPool") as info:
            run_batch(circuits, 4, executor, chunk_size=4, t0=0.3, t1=0.2)
    assert info.value.index == 4 and info.value.indices == range(4, 7)


def test_bad_batches_are_refused_before_anything_runs():
    circuit = helpers.sweep_circuit(2)
    with pytest.raises(ValueError, match="bindings has 2 entries for 3 circuits"):
        run_batch([circuit] * 3, 1, bindings=[{}, {}])
    with pytest.raises(TypeError, match="bindings must be a sequence of mappings, one per circuit, got dict"):
        run_batch([circuit], 1, bindings={"t0": 1.0})
    with pytest.raises(TypeError, match="item 1 of the batch is a str"):
        run_batch([circuit, "H 0"], 1)
    with pytest.raises(ValueError, match="chunk_size must be a positive integer"):
        run_batch([circuit], 1, chunk_size=0)
    with pytest.raises(ValueError, match="shots must be a non-negative integer"):
        run_batch([circuit], -1)


@pytest.mark.parametrize("rule", RULES)
def test_executor_gradient_returns_what_the_wrapped_rule_returns(pool, rule):
    x = np.array([0.3, -1.2, 2.0, 0.7, 0.1])
    expected = rule(helpers.smooth_cost, x)
    assert np.array_equal(ExecutorGradient(rule)(helpers.smooth_cost, x), expected)
    assert np.array_equal(ExecutorGradient(rule, pool, chunk_size=3)(helpers.smooth_cost, x), expected)


def test_executor_gradient_errors_and_pickling(pool):
    with pytest.raises(BatchError, match="item 2 of the batch failed: ArithmeticError: no cost at 1.57"):
        ExecutorGradient(parameter_shift_gradient, pool)(helpers.failing_cost, np.zeros(3))
    # A rule whose points depend on the values cannot be replayed: refused, not miscomputed.
    def adaptive(f, x):
        return np.array([f(x + f(x))])
    with pytest.raises(RuntimeError, match="different points on its second pass"):
        ExecutorGradient(adaptive)(helpers.smooth_cost, np.ones(2))
    copy = pickle.loads(pickle.dumps(ExecutorGradient(RULES[1], pool, chunk_size=2)))
    assert copy.executor is None and copy.chunk_size == 2 and copy.gradient.eps == 1e-3
    with pytest.raises(TypeError, match="gradient must be callable"):
        ExecutorGradient(None, pool)


@pytest.mark.parametrize("executor", ["processes", "threads"])
def test_vqe_counts_every_evaluation_made_in_workers(pool, executor):
    ansatz = QAOAAnsatz(4, [(0, 1, 1.0), (1, 2, 1.0), (2, 3, 1.0)], p=2)
    spec = ansatz.param_map()
    with ThreadPoolExecutor(2) as threads:
        gradient = ExecutorGradient(FiniteDiffGradient(0.1, "forward"), pool if executor == "processes" else threads)
        driver = helpers.SquareCostVQE(ansatz.build(), spec, ansatz.max_cut_observable(), shots=64,
                                       gradient=gradient, optimizer="gradient_descent")
        result = driver.run(np.ones(spec.n), max_iter=2, lr=0.25)
    # Per iteration: the rule's n + 1 points and the cost at the new point.
    assert result.n_evaluations == 1 + 2 * (spec.n + 1 + 1) == driver._n_evals
    # The workers evaluate through the subclass's cost: the same steps as the rule run here.
    serial = helpers.SquareCostVQE(ansatz.build(), spec, ansatz.max_cut_observable(), shots=64,
                                   gradient=FiniteDiffGradient(0.1, "forward"), optimizer="gradient_descent")
    expected = serial.run(np.ones(spec.n), max_iter=2, lr=0.25)
    assert np.array_equal(result.optimal_params, expected.optimal_params)
    assert result.n_evaluations == expected.n_evaluations
    # The VQE pickles with its ExecutorGradient; the copy evaluates in its own process.
    copy = pickle.loads(pickle.dumps(driver))
    assert copy.gradient(spec.zeros()).shape == (spec.n,) and copy._n_evals == driver._n_evals + spec.n + 1


# -- a local Dask cluster: two worker processes on 127.0.0.1 ---------------------------------

@pytest.fixture(scope="module")
def dask_client():
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as client:
        yield client


def test_dask_batches_match_the_serial_run(dask_client):
    circuit, bindings = helpers.sweep_circuit(), sweep_bindings(40, seed=1)
    serial = run_batch([circuit], 30, seed=9, bindings=bindings)
    assert worker_count(dask_client.get_executor()) == 2
    on_cluster = run_batch([circuit], 30, dask_client.get_executor(), 9, bindings=bindings, chunk_size=5)
    assert memories(on_cluster) == memories(serial)
    x = np.array([0.4, 1.1, -0.3])
    assert np.array_equal(ExecutorGradient(parameter_shift_gradient, dask_client.get_executor())(helpers.smooth_cost, x),
                          parameter_shift_gradient(helpers.smooth_cost, x))
    # Unseeded batches draw afresh every time, though Dask caches tasks by their content.
    def unseeded():
        return memories(run_batch([helpers.sweep_circuit(2)] * 4, 64, dask_client.get_executor(), t0=1.5, t1=1.5))
    first, second = unseeded(), unseeded()
    assert first != second and len({tuple(m) for m in first}) == 4


def test_dask_reschedules_the_work_of_a_killed_worker(dask_client, tmp_path):
    # Circuit 13 ends its worker's process the first time it runs; Dask runs it again elsewhere.
    circuits = [helpers.sweep_circuit(2)] * 20
    circuits[13] = helpers.circuit_with_custom(helpers.ExitOnce(tmp_path / "exited"))
    on_cluster = run_batch(circuits, 16, dask_client.get_executor(), 5, chunk_size=2, t0=0.4, t1=1.3)
    assert (tmp_path / "exited").exists()
    assert memories(on_cluster) == memories(run_batch(circuits, 16, seed=5, t0=0.4, t1=1.3))
