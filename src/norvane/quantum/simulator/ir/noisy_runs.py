"""Shots of an analog program under an `AnalogNoise` model.

Readout errors flip the sampled values. Atoms missing from the start leave a smaller
register: shots with the same missing atoms share its evolution. Dephasing and relaxation
are integrated exactly over the density matrix where that is cheaper than one quantum-jump
trajectory per shot (at most as many basis states as shots, and at most 1024), by
trajectories otherwise. The drive amplitude and the atoms' Doppler shifts, drawn per shot,
make every shot's evolution its own.
"""

from __future__ import annotations

import numpy as np

from ...progress import ProgressArg, Tracker, tracker
from .._rydberg import evolve, evolve_density_matrix, evolve_trajectory
from .noise import AnalogNoise


# Density matrices of spaces of at most this many states (the native engine's bound).
DENSITY_MATRIX_STATES = 1024


def sample_bits(state: np.ndarray, basis: np.ndarray, n: int, shots: int, rng: np.random.Generator) -> np.ndarray:
    """`shots` draws from `state` over `basis` as a (shots, n) 0/1 array (first atom first)."""
    return sample_patterns(state.real**2 + state.imag**2, basis, n, shots, rng)


def sample_patterns(probabilities: np.ndarray, basis: np.ndarray, n: int, shots: int,
                    rng: np.random.Generator) -> np.ndarray:
    """`shots` draws of the basis states by `probabilities` (normalised here), as 0/1 rows."""
    probabilities /= probabilities.sum()
    picks = rng.choice(len(probabilities), size=shots, p=probabilities)
    shifts = np.arange(n - 1, -1, -1, dtype=np.uint64)
    return ((basis[picks][:, None] >> shifts) & np.uint64(1)).astype(np.int64)


def evolution_tracker(progress: ProgressArg, total: float) -> Tracker:
    """The progress of evolutions over `total` seconds of simulated time (shown in microseconds)."""
    return tracker(progress, total, desc="analog evolution", unit="µs", scale=1e6)


def misread(bits: np.ndarray, noise: AnalogNoise, rng: np.random.Generator) -> np.ndarray:
    """`bits` with each 0 read as 1 with probability `false_positive` and each 1 as 0 with
    probability `false_negative`."""
    if noise.false_positive == 0.0 and noise.false_negative == 0.0:
        return bits
    draws = rng.random(bits.shape)
    flip = np.where(bits == 1, draws < noise.false_negative, draws < noise.false_positive)
    return np.where(flip, 1 - bits, bits)


def _subset(hamiltonian, present: np.ndarray, cache):
    """The program's Hamiltonian on the atoms marked present (a new register)."""
    from ..codegen.hamiltonian import Atoms, RydbergHamiltonian

    if present.all():
        return hamiltonian
    atoms = hamiltonian.atoms
    kept = np.flatnonzero(present)
    register = Atoms(tuple(atoms.positions[k] for k in kept), atoms.c6, atoms.blockade_radius)
    weights = None if hamiltonian.local_weights is None else [hamiltonian.local_weights[k] for k in kept]
    return RydbergHamiltonian(register, hamiltonian.duration, hamiltonian.amplitude, hamiltonian.phase,
                              hamiltonian.detuning, hamiltonian.local_detuning, weights, compile_cache=cache)


def noisy_shots(hamiltonian, noise: AnalogNoise, shots: int, rng: np.random.Generator, solver: str,
                control: tuple[float, float, int], cache, progress: ProgressArg = False) -> tuple[np.ndarray, dict]:
    """(shots, atoms) 0/1 values of a noisy run and its counts; `control` is (atol, rtol, nsteps)
    of the Runge-Kutta `solver`; `cache` compiles the smaller registers; `progress` reports the
    simulated time summed over the evolutions."""
    n = hamiltonian.n_atoms
    present = (rng.random((shots, n)) >= noise.state_prep_error if noise.state_prep_error
               else np.ones((shots, n), dtype=bool))
    bits = np.zeros((shots, n), dtype=np.int64)
    counts = {"evolutions": 0, "density_matrices": 0, "trajectories": 0, "jumps": 0}
    rates = (noise.dephasing_rate, noise.relaxation_rate)
    duration = hamiltonian.duration
    if noise.amplitude_sigma or noise.doppler_sigma:
        with evolution_tracker(progress, duration * int(present.any(axis=1).sum())) as track:
            for shot in range(shots):
                bits[shot] = _trajectory_shot(hamiltonian, present[shot], noise, rng, solver, control, cache, counts,
                                              track)
            track.finish()
        return misread(bits, noise, rng), counts
    patterns, group_of = np.unique(present, axis=0, return_inverse=True)
    # Each group of shots with the same atoms present: its register, and whether it takes one
    # trajectory per shot (else one evolution, of the state or the density matrix).
    groups = []
    for group, mask in enumerate(patterns):
        if mask.any():
            rows, h = np.flatnonzero(group_of.ravel() == group), _subset(hamiltonian, mask, cache)
            groups.append((rows, mask, h, any(rates) and h.dim > min(DENSITY_MATRIX_STATES, len(rows))))
    evolutions = sum(len(rows) if shot_wise else 1 for rows, _, _, shot_wise in groups)
    with evolution_tracker(progress, duration * evolutions) as track:
        for rows, mask, h, shot_wise in groups:
            if shot_wise:
                for row in rows:
                    bits[row] = _trajectory_shot(hamiltonian, mask, noise, rng, solver, control, cache, counts,
                                                 track)
                continue
            kept, start = np.flatnonzero(mask), track.done
            args = (h.space, h.local_weights, h.amplitude, h.phase, h.detuning, h.local_detuning, h.duration,
                    solver, *control)
            if not any(rates):
                state, _ = evolve(*args, False, progress=track.hook(start))
                bits[np.ix_(rows, kept)] = sample_bits(state, h.basis, len(kept), len(rows), rng)
                counts["evolutions"] += 1
            else:
                rho, _ = evolve_density_matrix(*args, *rates, progress=track.hook(start))
                bits[np.ix_(rows, kept)] = sample_patterns(np.diag(rho).real.copy(), h.basis, len(kept), len(rows),
                                                           rng)
                counts["density_matrices"] += 1
            track.update(start + duration)
        track.finish()
    return misread(bits, noise, rng), counts


def _trajectory_shot(hamiltonian, mask, noise, rng, solver, control: tuple[float, float, int], cache, counts,
                     track: Tracker) -> np.ndarray:
    """One shot's 0/1 values from its own evolution: the atoms in `mask`, the drive amplitude
    and Doppler shifts drawn now, one quantum-jump trajectory."""
    kept = np.flatnonzero(mask)
    factor = max(0.0, 1.0 + noise.amplitude_sigma * rng.standard_normal()) if noise.amplitude_sigma else 1.0
    doppler = list(noise.doppler_sigma * rng.standard_normal(len(kept))) if noise.doppler_sigma else None
    seed = int(rng.integers(1 << 63))
    row = np.zeros(hamiltonian.n_atoms, dtype=np.int64)
    if not len(kept):
        return row
    h = _subset(hamiltonian, mask, cache)
    times, values = h.amplitude
    start = track.done
    state, run = evolve_trajectory(h.space, h.local_weights, (times, [v * factor for v in values]), h.phase,
                                   h.detuning, h.local_detuning, h.duration, solver, *control, doppler,
                                   noise.dephasing_rate, noise.relaxation_rate, seed, progress=track.hook(start))
    track.update(start + h.duration)
    row[kept] = sample_bits(state, h.basis, len(kept), 1, rng)[0]
    counts["trajectories"] += 1
    counts["jumps"] += run["jumps"]
    return row
