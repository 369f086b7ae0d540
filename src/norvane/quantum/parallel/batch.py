"""run_batch: many circuits, each on its own simulator, serially or on an executor."""

from __future__ import annotations

import operator
import os
from collections.abc import Mapping, Sequence
from concurrent.futures import Executor

import numpy as np

from norvane.quantum.ir.digital.circuit import DigitalCircuit
from norvane.quantum.ir.routine.digital import DigitalRoutine
from norvane.quantum.noise import NoiseModel
from norvane.quantum.parallel.chunks import (chunk_bounds, map_chunks, one_kernel_thread_in_workers, run_guarded,
                                             worker_count)
from norvane.quantum.progress import ProgressArg, tracker
from norvane.quantum.simulator.digital.dense_sim import DigitalDenseSimulator, SimulationResult


def _simulate(task) -> SimulationResult:
    circuit, shots, bindings, seed, noise = task
    simulator = DigitalDenseSimulator(circuit, noise=noise)
    simulator._rng = np.random.default_rng(seed)
    return simulator.run(shots, **bindings)


def _run_chunk(tasks: list, caller_pid: int, first: int) -> list[SimulationResult]:
    one_kernel_thread_in_workers(caller_pid)
    return run_guarded(_simulate, tasks, first)


def _circuit_of(item, index: int) -> DigitalCircuit:
    if isinstance(item, DigitalRoutine):
        return item.circuit
    if isinstance(item, DigitalCircuit):
        return item
    raise TypeError(f"item {index} of the batch is a {type(item).__name__}, not a DigitalCircuit or DigitalRoutine")


def _check_bindings(bindings) -> None:
    if bindings is not None and (isinstance(bindings, Mapping) or not isinstance(bindings, Sequence)):
        raise TypeError(f"bindings must be a sequence of mappings, one per circuit, got {type(bindings).__name__}")


def _bindings_per_circuit(n: int, bindings, common: Mapping) -> list[dict]:
    if bindings is None:
        return [dict(common)] * n
    if len(bindings) != n:
        raise ValueError(f"bindings has {len(bindings)} entries for {n} circuits")
    return [{**common, **own} for own in bindings]


def run_batch(circuits, shots: int = 1024, executor: Executor | None = None, seed=None, *,
              bindings: Sequence[Mapping[str, float]] | None = None, chunk_size: int | None = None,
              noise: NoiseModel | None = None, progress: ProgressArg = False,
              **common_bindings: float) -> list[SimulationResult]:
    """Run every circuit (a DigitalCircuit or DigitalRoutine) for `shots` shots on a simulator
    of its own and return the results in input order.

    Keyword arguments bind the circuits' parameters; `bindings` gives one mapping per circuit
    instead, its entries taking precedence over the common ones (a one-circuit list with a
    thousand bindings is a parameter sweep). With an executor the circuits go out in chunks of
    `chunk_size` (by default two chunks per worker of the executor); without one they run here.

    With a seed (anything numpy.random.SeedSequence takes), circuit k draws from the k-th
    child of SeedSequence(seed), so the results do not depend on the executor or on how many
    workers it has. Without one, the children of a fresh SeedSequence: every circuit still
    draws its own stream, and no two tasks are alike (an executor that caches results by task
    content, as Dask's pure tasks do, cannot hand one circuit's draws to another).

    With a `noise` model every circuit samples one trajectory per shot under it.

    A circuit that fails, or whose worker dies, raises a BatchError naming its index; the
    chunks not yet started are cancelled.

    `progress` (see `norvane.quantum.progress`): False or None, silent (the default); True, a
    bar on standard error; or a callable progress(done, total) of the circuits whose results
    are in and the batch's size, called here after each circuit (serial runs) or each chunk
    (in input order, with an executor). What it raises stops the batch, cancelling the chunks
    not yet started. Results do not depend on it.
    """
    if noise is not None and not isinstance(noise, NoiseModel):
        raise TypeError(f"noise must be a NoiseModel or None, got {type(noise).__name__}")
    shots = operator.index(shots)
    if shots < 0:
        raise ValueError(f"shots must be a non-negative integer, got {shots}")
    _check_bindings(bindings)
    circuits = list(circuits)
    if len(circuits) == 1 and bindings is not None and len(bindings) > 1:
        circuits = circuits * len(bindings)
    circuits = [_circuit_of(item, k) for k, item in enumerate(circuits)]
    per_circuit = _bindings_per_circuit(len(circuits), bindings, common_bindings)
    seeds = np.random.SeedSequence(seed).spawn(len(circuits))
    tasks = [(circuit, shots, own, seed, noise) for circuit, own, seed in zip(circuits, per_circuit, seeds)]
    bounds = chunk_bounds(len(tasks), chunk_size, worker_count(executor))
    with tracker(progress, len(tasks), desc="run_batch", unit="circuit") as track:
        if executor is None and track.active:
            bounds = chunk_bounds(len(tasks), 1)  # serial chunks only group the work: report every circuit
        chunks = [(tasks[span.start:span.stop], os.getpid()) for span in bounds]
        results = map_chunks(executor, _run_chunk, chunks, bounds, track.hook())
        track.finish()
    return results
