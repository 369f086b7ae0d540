"""Runs a job on the norvane.quantum analog emulator and reads it out as the device does."""

from __future__ import annotations

import random
import threading
from typing import Any


class EmulatorRunner:
    """Runner of the job queue: integrates each job's program from all atoms in the ground
    state and samples its shots. The device reads an atom as present (1) after the sequence
    when it is in the ground state, so the readout is 1 minus the emulator's Rydberg bit;
    every filled site reads 1 before the sequence, empty sites read 0 in both readouts.

    `seed` makes the runs reproducible: job k gets the k-th seed of a generator seeded by it.
    """

    def __init__(self, seed: int | None = None):
        self._cache = None  # made by the first run, which imports the emulator
        self._seeds = random.Random(seed)
        self._lock = threading.Lock()

    def __call__(self, job: Any) -> list[dict]:
        from norvane.quantum.simulator.codegen.hamiltonian import CompileCache, RydbergHamiltonianCodeGen
        from norvane.quantum.simulator.ir.emulator import EmulatorProgram
        from norvane.quantum.simulator.ir.state_vector import AnalogGate

        with self._lock:
            seed = self._seeds.getrandbits(63)
            if self._cache is None:
                self._cache = CompileCache()
        program = EmulatorProgram.from_job(job)
        hamiltonian = RydbergHamiltonianCodeGen(compile_cache=self._cache).emit(program)
        rydberg = AnalogGate(hamiltonian, seed=seed).run(job.nshots)
        return readouts(list(job.lattice.filling), rydberg.tolist())


def readouts(filling: list[int], rydberg: list[list[int]]) -> list[dict]:
    """Shot readouts from the emulator's samples: `rydberg[shot][k]` is 1 where the k-th
    filled site was found in the Rydberg state."""
    filled = [site for site, entry in enumerate(filling) if entry == 1]
    pre = [1 if entry == 1 else 0 for entry in filling]
    shots = []
    for sample in rydberg:
        post = [0] * len(filling)
        for site, excited in zip(filled, sample, strict=True):
            post[site] = 1 - excited
        shots.append({"shot_status": "Completed", "pre_sequence": list(pre), "post_sequence": post})
    return shots
