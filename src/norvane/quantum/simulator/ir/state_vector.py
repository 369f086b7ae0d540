"""The emulator gate: evolves a compiled Rydberg Hamiltonian and samples its final state."""

from __future__ import annotations

import operator
from typing import Any

import numpy as np

from ...progress import ProgressArg, Tracker
from .._rydberg import evolve, evolve_mps
from .mps import MPSState
from .noise import AnalogNoise
from .noisy_runs import evolution_tracker, misread, noisy_shots, sample_bits

__all__ = ["AnalogGate", "AUTO_EXACT_ATOMS", "choose_solver"]


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


# Exact solvers: adaptive Runge-Kutta and Lanczos exponentials on the register's state space.
RUNGE_KUTTA_SOLVERS = ("dop853", "dopri5")
KRYLOV_SOLVER = "krylov"
MPS_SOLVER = "tdvp"
# "auto" runs the exact engine up to this many atoms (2^20 amplitudes: a few minutes at most
# for a sweep of microseconds) and the matrix-product-state engine beyond.
AUTO_EXACT_ATOMS = 20
# Exact runs on at least this many states take Lanczos exponentials where the fastest rate
# turns by at least KRYLOV_RADIANS per step of dt: strong interactions force the Runge-Kutta
# solvers into steps of a fraction of a radian, while a Krylov basis covers many: 3.5-4.3x
# faster on chains of 16-20 atoms (bench/results/krylov.md). On 10-12 atoms it is 1.5-2.3x
# faster, but those runs take a second at most: "auto" keeps what it has always run there.
KRYLOV_STATES = 1 << 15
KRYLOV_RADIANS = 10.0
DEFAULTS = {"max_bond_dim": 256, "precision": 1e-6, "dt": 1e-8}
# The options each solver takes beyond the Runge-Kutta ones.
SOLVER_OPTIONS = {MPS_SOLVER: ("max_bond_dim", "precision", "dt"), KRYLOV_SOLVER: ("dt",)}


def _solver_options(solver: str, requested: str, given: dict) -> dict:
    """The options of `solver` from `given` (None: the default), checked. With "auto" the
    options of any solver may be given; those of solvers it did not pick are unused."""
    for name, value in given.items():
        if value is not None and requested != "auto" and name not in SOLVER_OPTIONS.get(solver, ()):
            takers = " or ".join(repr(s) for s, names in SOLVER_OPTIONS.items() if name in names)
            raise ValueError(f"{name} applies to solver_name={takers} only, not {solver!r}")
    options = {name: DEFAULTS[name] if given[name] is None else given[name]
               for name in SOLVER_OPTIONS.get(solver, ())}
    if "max_bond_dim" in options:
        if _count(options["max_bond_dim"], "max_bond_dim") < 1:
            raise ValueError(f"max_bond_dim must be at least 1, got {options['max_bond_dim']!r}")
        options["max_bond_dim"] = int(options["max_bond_dim"])
    for name in ("precision", "dt"):
        if name in options:
            options[name] = _tolerance(options[name], name)
    return options


def _peak(samples) -> float:
    return float(np.abs(np.asarray(samples[1], dtype=float)).max(initial=0.0))


def choose_solver(hamiltonian, dt: float = DEFAULTS["dt"]) -> str:
    """The solver "auto" runs for `hamiltonian` (a `RydbergHamiltonian`), Lanczos steps of `dt`
    seconds considered: "dop853" or "krylov" up to `AUTO_EXACT_ATOMS` atoms, "tdvp" beyond."""
    if hamiltonian.n_atoms > AUTO_EXACT_ATOMS:
        return MPS_SOLVER
    space = hamiltonian.space
    if space.dim < KRYLOV_STATES:
        return RUNGE_KUTTA_SOLVERS[0]
    rates = [float(space.interaction.max()), 0.5 * _peak(hamiltonian.amplitude), _peak(hamiltonian.detuning)]
    if hamiltonian.local_detuning is not None and hamiltonian.local_weights is not None:
        rates.append(_peak(hamiltonian.local_detuning) * max(map(abs, hamiltonian.local_weights), default=0.0))
    return KRYLOV_SOLVER if max(rates) * dt >= KRYLOV_RADIANS else RUNGE_KUTTA_SOLVERS[0]


class AnalogGate:
    """Evolution of `hamiltonian` (a `RydbergHamiltonian`) from the all-ground state over the
    program's duration, with shots drawn from NumPy's ``default_rng(seed)``.

    `solver_name` picks the engine. Exact, on the register's state space (up to some 25
    atoms): "dop853" or "dopri5" (adaptive Runge-Kutta to `atol` and `rtol`, in at most
    `nsteps` steps, optionally in the interaction picture) and "krylov" (Lanczos exponentials
    over steps of `dt` seconds, fourth order in `dt`; fastest where strong interactions force
    the Runge-Kutta solvers into tiny steps). Approximate, for hundreds of atoms in chains and
    2D arrays: "tdvp" (a matrix-product state evolved by TDVP in steps of `dt`, two sites at
    a time while a bond can grow, truncated to `max_bond_dim` and to a relative `precision`,
    one site at a time across bonds that have reached `max_bond_dim`). "auto" picks by estimated cost
    and memory (see `choose_solver`). `max_bond_dim` and `precision` are for "tdvp", `dt` for
    "tdvp" and "krylov"; "auto" takes them all and uses those of the solver it picks.

    With a `noise` model (an `AnalogNoise`), `run` samples noisy shots: readout errors with any
    solver; any other noise by one evolution per shot (per register, for missing atoms alone)
    with a Runge-Kutta solver ("auto" picks "dop853"), whose final state `evolve` then refuses
    to give as one. A model of zeros gives exactly the noiseless results.

    After each `run`, `integration_stats` holds the engine's counts (the integrator's steps,
    accepted and rejected steps, derivative evaluations and the amplitudes it evolved, which
    for "krylov" on a mirror-symmetric register are the symmetric states alone, about half
    the space; or TDVP's steps, largest bond
    dimension and effective-Hamiltonian applications; or, for noisy shots, the evolutions and
    quantum jumps), and `run_info` which solver ran and, for "tdvp", the weight its
    truncations discarded and whether bonds reached `max_bond_dim` (see `MPSState.capped`).

    `run` and `evolve` take a keyword-only `progress` (see `norvane.quantum.progress`):
    False or None, silent (the default); True, a bar on standard error; or a callable
    progress(done, total) of the simulated time reached and the program's duration, in
    seconds (for noisy shots, summed over their evolutions), called at most every 0.1 s of
    work. Results do not depend on it.
    """

    def __init__(self, hamiltonian, *, seed=None, noise=None):
        from ..codegen.hamiltonian import RydbergHamiltonian

        if not isinstance(hamiltonian, RydbergHamiltonian):
            raise TypeError(
                f"AnalogGate needs a RydbergHamiltonian (from RydbergHamiltonianCodeGen.emit), "
                f"got {type(hamiltonian).__name__}"
            )
        if noise is not None and not isinstance(noise, AnalogNoise):
            raise TypeError(f"noise must be an AnalogNoise or None, got {type(noise).__name__}")
        self.hamiltonian = hamiltonian
        self.noise = noise
        self._subsets = None  # compiled registers of shots with missing atoms
        self._rng = np.random.default_rng(seed)
        self.integration_stats: dict[str, int] = {}
        self.run_info: dict[str, Any] = {}

    def _solver(self, solver_name, dt) -> str:
        if not isinstance(solver_name, str):
            raise TypeError(f"solver_name must be a str, got {type(solver_name).__name__}")
        if solver_name == "auto":
            return choose_solver(self.hamiltonian, DEFAULTS["dt"] if dt is None else _tolerance(dt, "dt"))
        return solver_name

    def evolve(self, solver_name="dop853", atol=1e-14, rtol=1e-7, nsteps=2147483647,
               interaction_picture=False, *, max_bond_dim=None, precision=None, dt=None,
               progress: ProgressArg = False):
        """The final state: with an exact solver, one complex amplitude per basis state
        (`hamiltonian.basis`); with "tdvp", an `MPSState`."""
        if self.noise is not None and not self.noise.readout_only:
            raise ValueError("a register under this noise model has no single final state: run(shots) samples "
                             "one noisy evolution per shot")
        solver = self._solver(solver_name, dt)
        options = _solver_options(solver, solver_name,
                                  {"max_bond_dim": max_bond_dim, "precision": precision, "dt": dt})
        with evolution_tracker(progress, self.hamiltonian.duration) as track:
            state = self._evolve(solver, atol, rtol, nsteps, interaction_picture, options, track)
            track.finish()
        return state

    def _evolve(self, solver, atol, rtol, nsteps, interaction_picture, options, track: Tracker):
        h = self.hamiltonian
        if solver == MPS_SOLVER:
            return self._evolve_mps(**options, track=track)
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
            **options,
            progress=track.hook(),
        )
        self.run_info = {"solver": solver}
        return state

    def _evolve_mps(self, max_bond_dim: int, precision: float, dt: float, track: Tracker) -> MPSState:
        h = self.hamiltonian
        atoms = h.atoms
        state, self.integration_stats, discarded = evolve_mps(
            list(atoms.positions), atoms.c6, atoms.blockade_radius, h.local_weights, h.amplitude, h.phase,
            h.detuning, h.local_detuning, h.duration, dt, max_bond_dim, precision, progress=track.hook())
        capped = self.integration_stats["capped_crossings"] > 0
        self.run_info = {"solver": MPS_SOLVER, "discarded_weight": discarded,
                         "max_bond_dim": self.integration_stats["max_bond_dim"], "capped": capped}
        return MPSState(state, discarded, capped)

    def run(self, shots, project_hyperfine=True, solver_name="dop853", atol=1e-14, rtol=1e-7,
            nsteps=2147483647, interaction_picture=False, *, max_bond_dim=None, precision=None, dt=None,
            progress: ProgressArg = False):
        """Evolve, then either sample: an int array of shape (shots, atoms), 1 where the atom
        was found in its Rydberg state (atoms in site order); or, with `project_hyperfine`
        false, return the final state (an `MPSState` for "tdvp")."""
        shots = _count(shots, "shots")
        noise = self.noise
        if noise is not None and not noise.readout_only and project_hyperfine:
            return self._noisy_run(shots, solver_name, atol, rtol, nsteps, interaction_picture,
                                   {"max_bond_dim": max_bond_dim, "precision": precision, "dt": dt}, progress)
        state = self.evolve(solver_name, atol, rtol, nsteps, interaction_picture,
                            max_bond_dim=max_bond_dim, precision=precision, dt=dt, progress=progress)
        if not project_hyperfine:
            return state
        bits = state._sample(shots, self._rng) if isinstance(state, MPSState) else self._sample(state, shots)
        if noise is None:
            return bits
        self.run_info["noise"] = noise.to_dict()
        return misread(bits, noise, self._rng)

    def _noisy_run(self, shots, solver_name, atol, rtol, nsteps, interaction_picture, options,
                   progress: ProgressArg) -> np.ndarray:
        from ..codegen.hamiltonian import CompileCache

        n = self.hamiltonian.n_atoms
        solver = solver_name
        if solver_name == "auto" and n <= AUTO_EXACT_ATOMS:
            solver = RUNGE_KUTTA_SOLVERS[0]
        if solver not in RUNGE_KUTTA_SOLVERS or interaction_picture:
            raise ValueError(
                f"noise beyond readout errors is simulated in the lab frame with solver_name 'dop853' or 'dopri5' "
                f"('auto' up to {AUTO_EXACT_ATOMS} atoms), not {solver_name!r}"
                + (" in the interaction picture" if interaction_picture else ""))
        _solver_options(solver, solver_name, options)
        if self._subsets is None:
            self._subsets = CompileCache()
        bits, self.integration_stats = noisy_shots(
            self.hamiltonian, self.noise, shots, self._rng, solver,
            (_tolerance(atol, "atol"), _tolerance(rtol, "rtol"), _count(nsteps, "nsteps")), self._subsets,
            progress)
        self.run_info = {"solver": solver, "noise": self.noise.to_dict()}
        return bits

    def _sample(self, state: np.ndarray, shots: int) -> np.ndarray:
        return sample_bits(state, self.hamiltonian.basis, self.hamiltonian.n_atoms, shots, self._rng)
