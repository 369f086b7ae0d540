"""The emulator gate: evolves a compiled Rydberg Hamiltonian and samples its final state."""

from __future__ import annotations

import operator
from typing import Any

import numpy as np

from .._rydberg import evolve

__all__ = ["AnalogGate"]


def _count(value: Any, what: str) -> int:
    if isinstance(value, bool):
        raise TypeError(f"{what} must be an integer, got bool")
    try:
        number = operator.index(value)
    except TypeError:
        raise TypeError(f"{what} must be an integer, got {type(value).__name__} {value!r}") from None
    if number < 0:
        raise ValueError(f"{what} must not be negative, got {number}")
    return number


def _tolerance(value: Any, what: str) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float, np.floating, np.integer)):
        raise TypeError(f"{what} must be a real number, got {type(value).__name__} {value!r}")
    return float(value)


class AnalogGate:
    """Evolution of `hamiltonian` (a `RydbergHamiltonian`) from the all-ground state over the
    program's duration, with shots drawn from NumPy's ``default_rng(seed)``.

    After each `run`, `integration_stats` holds the integrator's counts of steps, accepted
    and rejected steps and derivative evaluations.
    """

    def __init__(self, hamiltonian, *, seed=None):
        from ..codegen.hamiltonian import RydbergHamiltonian

        if not isinstance(hamiltonian, RydbergHamiltonian):
            raise TypeError(
                f"AnalogGate needs a RydbergHamiltonian (from RydbergHamiltonianCodeGen.emit), "
                f"got {type(hamiltonian).__name__}"
            )
        self.hamiltonian = hamiltonian
        self._rng = np.random.default_rng(seed)
        self.integration_stats: dict[str, int] = {}

    def evolve(self, solver_name="dop853", atol=1e-14, rtol=1e-7, nsteps=2147483647,
               interaction_picture=False) -> np.ndarray:
        """The final state: one complex amplitude per basis state (`hamiltonian.basis`)."""
        if not isinstance(solver_name, str):
            raise TypeError(f"solver_name must be a str, got {type(solver_name).__name__}")
        h = self.hamiltonian
        state, self.integration_stats = evolve(
            h.space,
            h.local_weights,
            h.amplitude,
            h.phase,
            h.detuning,
            h.local_detuning,
            h.duration,
            solver_name,
            _tolerance(atol, "atol"),
            _tolerance(rtol, "rtol"),
            _count(nsteps, "nsteps"),
            bool(interaction_picture),
        )
        return state

    def run(self, shots, project_hyperfine=True, solver_name="dop853", atol=1e-14, rtol=1e-7,
            nsteps=2147483647, interaction_picture=False) -> np.ndarray:
        """Evolve, then either sample: an int array of shape (shots, atoms), 1 where the atom
        was found in its Rydberg state (atoms in site order); or, with `project_hyperfine`
        false, return the final state."""
        shots = _count(shots, "shots")
        state = self.evolve(solver_name, atol, rtol, nsteps, interaction_picture)
        if not project_hyperfine:
            return state
        return self._sample(state, shots)

    def _sample(self, state: np.ndarray, shots: int) -> np.ndarray:
        probabilities = state.real**2 + state.imag**2
        probabilities /= probabilities.sum()
        picks = self._rng.choice(len(probabilities), size=shots, p=probabilities)
        n = self.hamiltonian.n_atoms
        patterns = self.hamiltonian.basis[picks]
        shifts = np.arange(n - 1, -1, -1, dtype=np.uint64)
        return ((patterns[:, None] >> shifts) & np.uint64(1)).astype(np.int64)
