"""The emulator gate: evolves a compiled Rydberg Hamiltonian and samples its final state."""

from __future__ import annotations

import operator
from typing import Any

import numpy as np

from .._rydberg import evolve, evolve_mps
from .mps import MPSState

__all__ = ["AnalogGate", "AUTO_EXACT_ATOMS"]


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


# Exact solvers (Runge-Kutta on the full or blockade-restricted space) and the
# matrix-product-state solver.
EXACT_SOLVERS = ("dop853", "dopri5")
MPS_SOLVER = "tdvp"
# "auto" takes the exact engine up to this many atoms (2^14 amplitudes, where it is exact and
# quick) and the matrix-product-state engine beyond.
AUTO_EXACT_ATOMS = 14
MPS_DEFAULTS = {"max_bond_dim": 256, "precision": 1e-6, "dt": 1e-8}


def _mps_options(solver: str, max_bond_dim, precision, dt) -> dict:
    given = {"max_bond_dim": max_bond_dim, "precision": precision, "dt": dt}
    if solver != MPS_SOLVER:
        named = [name for name, value in given.items() if value is not None]
        if named:
            raise ValueError(f"{', '.join(named)} apply to solver_name='tdvp' only, not {solver!r}")
        return {}
    options = {name: MPS_DEFAULTS[name] if value is None else value for name, value in given.items()}
    if isinstance(options["max_bond_dim"], bool) or _count(options["max_bond_dim"], "max_bond_dim") < 1:
        raise ValueError(f"max_bond_dim must be at least 1, got {options['max_bond_dim']!r}")
    return {"max_bond_dim": int(options["max_bond_dim"]),
            "precision": _tolerance(options["precision"], "precision"),
            "dt": _tolerance(options["dt"], "dt")}


class AnalogGate:
    """Evolution of `hamiltonian` (a `RydbergHamiltonian`) from the all-ground state over the
    program's duration, with shots drawn from NumPy's ``default_rng(seed)``.

    `solver_name` picks the engine: "dop853" or "dopri5" (exact, adaptive Runge-Kutta on the
    register's state space, up to some 25 atoms), "tdvp" (a matrix-product state evolved by
    two-site TDVP in steps of `dt` seconds, truncated to `max_bond_dim` and to a relative
    `precision`; for hundreds of atoms in chains and 2D arrays), or "auto" (exact up to
    `AUTO_EXACT_ATOMS` atoms, "tdvp" beyond). `max_bond_dim`, `precision` and `dt` are for
    "tdvp" (and "auto") only.

    After each `run`, `integration_stats` holds the engine's counts (the integrator's steps,
    accepted and rejected steps and derivative evaluations; or TDVP's steps, largest bond
    dimension and effective-Hamiltonian applications), and `run_info` which solver ran and,
    for "tdvp", the weight its truncations discarded.
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
        self.run_info: dict[str, Any] = {}

    def _solver(self, solver_name) -> str:
        if not isinstance(solver_name, str):
            raise TypeError(f"solver_name must be a str, got {type(solver_name).__name__}")
        if solver_name == "auto":
            return EXACT_SOLVERS[0] if self.hamiltonian.n_atoms <= AUTO_EXACT_ATOMS else MPS_SOLVER
        return solver_name

    def evolve(self, solver_name="dop853", atol=1e-14, rtol=1e-7, nsteps=2147483647,
               interaction_picture=False, *, max_bond_dim=None, precision=None, dt=None):
        """The final state: with an exact solver, one complex amplitude per basis state
        (`hamiltonian.basis`); with "tdvp", an `MPSState`."""
        solver = self._solver(solver_name)
        mps = _mps_options(solver, max_bond_dim, precision, dt)
        h = self.hamiltonian
        if solver == MPS_SOLVER:
            return self._evolve_mps(**mps)
        state, self.integration_stats = evolve(
            h.space,
            h.local_weights,
            h.amplitude,
            h.phase,
            h.detuning,
            h.local_detuning,
            h.duration,
            solver,
            _tolerance(atol, "atol"),
            _tolerance(rtol, "rtol"),
            _count(nsteps, "nsteps"),
            bool(interaction_picture),
        )
        self.run_info = {"solver": solver}
        return state

    def _evolve_mps(self, max_bond_dim: int, precision: float, dt: float) -> MPSState:
        h = self.hamiltonian
        atoms = h.atoms
        state, self.integration_stats, discarded = evolve_mps(
            list(atoms.positions), atoms.c6, atoms.blockade_radius, h.local_weights, h.amplitude, h.phase,
            h.detuning, h.local_detuning, h.duration, dt, max_bond_dim, precision)
        self.run_info = {"solver": MPS_SOLVER, "discarded_weight": discarded,
                         "max_bond_dim": self.integration_stats["max_bond_dim"]}
        return MPSState(state, discarded)

    def run(self, shots, project_hyperfine=True, solver_name="dop853", atol=1e-14, rtol=1e-7,
            nsteps=2147483647, interaction_picture=False, *, max_bond_dim=None, precision=None, dt=None):
        """Evolve, then either sample: an int array of shape (shots, atoms), 1 where the atom
        was found in its Rydberg state (atoms in site order); or, with `project_hyperfine`
        false, return the final state (an `MPSState` for "tdvp")."""
        shots = _count(shots, "shots")
        state = self.evolve(solver_name, atol, rtol, nsteps, interaction_picture,
                            max_bond_dim=max_bond_dim, precision=precision, dt=dt)
        if not project_hyperfine:
            return state
        if isinstance(state, MPSState):
            return state._sample(shots, self._rng)
        return self._sample(state, shots)

    def _sample(self, state: np.ndarray, shots: int) -> np.ndarray:
        probabilities = state.real**2 + state.imag**2
        probabilities /= probabilities.sum()
        picks = self._rng.choice(len(probabilities), size=shots, p=probabilities)
        n = self.hamiltonian.n_atoms
        patterns = self.hamiltonian.basis[picks]
        shifts = np.arange(n - 1, -1, -1, dtype=np.uint64)
        return ((patterns[:, None] >> shifts) & np.uint64(1)).astype(np.int64)
