"""Runs jobs on the norvane.quantum analog emulator, each worker thread's jobs in a process of
its own, and reads them out as the device does."""

from __future__ import annotations

import json
import queue
import random
import subprocess
import sys
import threading
import time
from typing import Any

from .jobs import JobStopped, RunResult, overdue
from .store import ClaimedJob

# How often a worker looks at its job's cancellation and time bound while the emulator runs.
_POLL_S = 0.1
# Time an emulator process gets to finish its job when the service stops, before it is killed.
_CLOSE_GRACE_S = 2.0


def job_seed(service_seed: int | None, seq: int) -> int | None:
    """The sampling seed of the `seq`-th job submitted to a service seeded with
    `service_seed`: the same for a job however many workers run and whenever it runs."""
    if service_seed is None:
        return None
    return random.Random(f"{service_seed}/{seq}").getrandbits(63)


# Bond dimension cap of the matrix-product-state engine for the service's jobs: enough for
# chains of hundreds of atoms; 2D registers saturate it at once, and their time grows with its cube.
DEFAULT_MAX_BOND_DIM = 64


def run_job(job: Any, seed: int | None, compile_cache: Any = None, noise: Any = None,
            max_bond_dim: int = DEFAULT_MAX_BOND_DIM) -> tuple[list[dict], str]:
    """The device readouts of job specification `job`, evolved from all atoms in the ground
    state by the engine its size calls for (the matrix-product-state engine with bonds capped
    at `max_bond_dim`) and sampled with `seed` (under the `AnalogNoise` model `noise`, when
    given); and that engine with the truncation it incurred."""
    from norvane.quantum.simulator.codegen.hamiltonian import RydbergHamiltonianCodeGen
    from norvane.quantum.simulator.ir.emulator import EmulatorProgram
    from norvane.quantum.simulator.ir.state_vector import AnalogGate

    program = EmulatorProgram.from_job(job)
    hamiltonian = RydbergHamiltonianCodeGen(compile_cache=compile_cache).emit(program)
    gate = AnalogGate(hamiltonian, seed=seed, noise=noise)
    rydberg = gate.run(job.nshots, solver_name="auto", max_bond_dim=max_bond_dim)
    return readouts(list(job.lattice.filling), rydberg.tolist()), engine_text(gate.run_info)


def engine_text(run_info: dict) -> str:
    """The engine of a run as the service records it, e.g. "tdvp (largest bond dimension 64,
    discarded weight 3.1e-07)", "dop853 (exact)" or "dop853 (exact, device noise)"."""
    if "noise" in run_info:
        return f"{run_info['solver']} (exact, device noise)"
    if "discarded_weight" not in run_info:
        return f"{run_info['solver']} (exact)"
    capped = ", capped: error beyond the discarded weight" if run_info.get("capped") else ""
    return (f"{run_info['solver']} (largest bond dimension {run_info['max_bond_dim']}{capped}, "
            f"discarded weight {run_info['discarded_weight']:.2g})")


def readouts(filling: list[int], rydberg: list[list[int]]) -> list[dict]:
    """Shot readouts from the emulator's samples: `rydberg[shot][k]` is 1 where the k-th
    filled site was found in the Rydberg state. The device reads an atom as present (1)
    after the sequence when it is in the ground state, so the readout is 1 minus the
    emulator's bit; every filled site reads 1 before the sequence, empty sites read 0."""
    filled = [site for site, entry in enumerate(filling) if entry == 1]
    pre = [1 if entry == 1 else 0 for entry in filling]
    shots = []
    for sample in rydberg:
        post = [0] * len(filling)
        for site, excited in zip(filled, sample, strict=True):
            post[site] = 1 - excited
        shots.append({"shot_status": "Completed", "pre_sequence": list(pre), "post_sequence": post})
    return shots


class _EmulatorProcess:
    """One emulator process, and a thread that collects its answers."""

    def __init__(self):
        self.process = subprocess.Popen([sys.executable, "-m", "tavla.service.emulator_worker"],
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, encoding="utf-8")
        self.answers: queue.SimpleQueue[str | None] = queue.SimpleQueue()
        threading.Thread(target=self._collect, name="tavla-emulator-answers", daemon=True).start()

    def _collect(self) -> None:
        for line in self.process.stdout:
            self.answers.put(line)
        self.answers.put(None)

    def send(self, request: str, seed: int | None, noise: dict | None, max_bond_dim: int) -> None:
        message = {"request": request, "seed": seed, "noise": noise, "max_bond_dim": max_bond_dim}
        self.process.stdin.write(json.dumps(message) + "\n")
        self.process.stdin.flush()

    def stop(self) -> None:
        """Ends the process at once, whatever it is doing."""
        self.process.kill()
        self.process.wait()
        self._close_pipes()

    def close(self) -> None:
        """Lets the process end once its job is done; stops it if it does not soon."""
        try:
            self.process.stdin.close()
            self.process.wait(_CLOSE_GRACE_S)
        except (OSError, subprocess.TimeoutExpired):
            self.process.kill()
            self.process.wait()
        self._close_pipes()

    def _close_pipes(self) -> None:
        for pipe in (self.process.stdin, self.process.stdout):
            try:
                pipe.close()
            except OSError:
                pass


class EmulatorRunner:
    """Runner of the job queue on the analog emulator. Each worker thread sends its jobs to
    an emulator process of its own, so that jobs run in parallel and a cancelled or overdue
    job is stopped by ending its process (a fresh one takes the next job).

    `seed` makes the runs reproducible: each job samples with `job_seed(seed, its place in
    submission order)`. `noise`, an `AnalogNoise` model, applies to every job, and
    `max_bond_dim` caps the matrix-product-state engine's bonds.
    """

    def __init__(self, seed: int | None = None, noise: Any = None, max_bond_dim: int = DEFAULT_MAX_BOND_DIM):
        self.seed = seed
        self.noise = noise
        self.max_bond_dim = max_bond_dim
        self._processes: dict[int, _EmulatorProcess] = {}  # by worker thread
        self._lock = threading.Lock()

    def run(self, job: ClaimedJob, stop: threading.Event, time_limit: float | None) -> RunResult:
        worker = self._process()
        deadline = None if time_limit is None else time.monotonic() + time_limit
        try:
            worker.send(job.request, job_seed(self.seed, job.seq), None if self.noise is None else self.noise.to_dict(),
                        self.max_bond_dim)
            while True:
                try:
                    answer = worker.answers.get(timeout=_POLL_S)
                    break
                except queue.Empty:
                    pass
                if stop.is_set():
                    raise JobStopped("cancelled")
                if deadline is not None and time.monotonic() > deadline:
                    raise JobStopped(overdue(time_limit))
            if answer is None:
                raise RuntimeError(f"the emulator process ended unexpectedly (exit status {worker.process.wait()})")
        except BaseException:
            self._discard(worker)
            raise
        outcome, _, payload = answer.partition(" ")
        if outcome != "ok":
            raise RuntimeError(json.loads(payload))
        answer = json.loads(payload)
        return RunResult(json.dumps(answer["readouts"]), answer["engine"])

    def close(self) -> None:
        with self._lock:
            processes, self._processes = list(self._processes.values()), {}
        for process in processes:
            process.close()

    def _process(self) -> _EmulatorProcess:
        key = threading.get_ident()
        with self._lock:
            process = self._processes.get(key)
            if process is None:
                process = self._processes[key] = _EmulatorProcess()
            return process

    def _discard(self, process: _EmulatorProcess) -> None:
        with self._lock:
            self._processes = {key: p for key, p in self._processes.items() if p is not process}
        process.stop()

