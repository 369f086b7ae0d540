from collections.abc import Callable, Sequence
from typing import Annotated

import numpy
from numpy.typing import NDArray


class AtomSpace:
    """Basis, interaction diagonal and hopping tables of a register's atoms."""

    def __init__(self, positions: Sequence[tuple[float, float]], c6: float, blockade_radius: float) -> None:
        """
        Positions of the atoms in metres (first atom: most significant bit), c6 in rad m^6/s; a positive radius keeps only states with no two Rydberg atoms closer than it. ValueError for positions that are not finite, MemoryError when the space cannot fit in the memory available.
        """

    @property
    def n_atoms(self) -> int: ...

    @property
    def dim(self) -> int: ...

    @property
    def positions(self) -> list[tuple[float, float]]:
        """The atoms' positions (metres)."""

    @property
    def c6(self) -> float: ...

    @property
    def blockade_radius(self) -> float: ...

    @property
    def basis(self) -> NDArray[numpy.uint64]:
        """The bit pattern of every basis state, in basis order."""

    @property
    def interaction(self) -> NDArray[numpy.float64]:
        """The van der Waals energy (rad/s) of every basis state."""

def evolve(space: AtomSpace, weights: Sequence[float] | None, amplitude: tuple[Sequence[float], Sequence[float]], phase: tuple[Sequence[float], Sequence[float]], detuning: tuple[Sequence[float], Sequence[float]], local_detuning: tuple[Sequence[float], Sequence[float]] | None, duration: float, solver_name: str, atol: float, rtol: float, nsteps: int, interaction_picture: bool, dt: float = 1e-08, progress: Callable | None = None) -> tuple:
    """
    The final state of the evolution from all-ground, and the integrator's step counts. solver_name 'dop853' or 'dopri5' (adaptive Runge-Kutta: atol, rtol, nsteps, interaction_picture) or 'krylov' (Lanczos exponentials over steps of dt: steps, exponentials as 'accepted', products with H as 'evaluations'). Times in seconds, waveform values in rad/s (the phase in rad). `progress`, when given, is called with the simulated time reached (seconds) at most every 0.1 s; what it raises ends the evolution. ValueError before any work for numbers that are not finite and for an evolution too long to finish; KeyboardInterrupt on Ctrl-C.
    """

def evolve_trajectory(space: AtomSpace, weights: Sequence[float] | None, amplitude: tuple[Sequence[float], Sequence[float]], phase: tuple[Sequence[float], Sequence[float]], detuning: tuple[Sequence[float], Sequence[float]], local_detuning: tuple[Sequence[float], Sequence[float]] | None, duration: float, solver_name: str, atol: float, rtol: float, nsteps: int, doppler: Sequence[float] | None, dephasing_rate: float, relaxation_rate: float, seed: int, progress: Callable | None = None) -> tuple:
    """
    One quantum-jump trajectory from all-ground under dephasing (L = sqrt(rate) n_k) and relaxation (L = sqrt(rate) |g><r|_k) of every atom (1/s), with a constant detuning per atom (`doppler`, rad/s; None: none), its jumps drawn from `seed`: the normalised final state and the counts ('jumps' among them). Runge-Kutta solvers, lab frame; otherwise as evolve.
    """

def evolve_density_matrix(space: AtomSpace, weights: Sequence[float] | None, amplitude: tuple[Sequence[float], Sequence[float]], phase: tuple[Sequence[float], Sequence[float]], detuning: tuple[Sequence[float], Sequence[float]], local_detuning: tuple[Sequence[float], Sequence[float]] | None, duration: float, solver_name: str, atol: float, rtol: float, nsteps: int, dephasing_rate: float, relaxation_rate: float, progress: Callable | None = None) -> tuple:
    """
    The density matrix (dim x dim) at the end of the Lindblad evolution from all-ground under dephasing and relaxation of every atom (1/s), and the integrator's counts; spaces of at most 1024 states. Runge-Kutta solvers, lab frame; otherwise as evolve.
    """

class MpsState:
    """
    A register's state as a matrix-product state (the engine's own object).
    """

    @property
    def n_atoms(self) -> int: ...

    @property
    def bond_dims(self) -> list[int]:
        """The bond dimensions along the chain, between consecutive chain sites."""

    @property
    def chain(self) -> list[int]:
        """The atom (caller's order) at each chain position."""

    def densities(self) -> NDArray[numpy.float64]:
        """<n_k> per atom."""

    def correlations(self) -> NDArray[numpy.float64]:
        """<n_j n_k> as an (n, n) array."""

    def sample(self, draws: Annotated[NDArray[numpy.float64], dict(shape=(None,), order='C', writable=False)]) -> NDArray[numpy.int64]:
        """
        Shots drawn exactly from the state, given uniform draws in [0, 1): one per atom per shot (chain order, shot after shot). An (shots, n) array of 0/1, 1 for a Rydberg atom.
        """

    def to_statevector(self) -> NDArray[numpy.complex128]:
        """
        The amplitudes in the exact engine's basis (first atom most significant).
        """

def check_register(positions: Sequence[tuple[float, float]], c6: float, blockade_radius: float) -> None:
    """
    Check a register as AtomSpace does (ValueError for positions that are not finite, coincident atoms or bad constants; a warning for spacings that suggest a unit mistake), without building its space.
    """

def evolve_mps(positions: Sequence[tuple[float, float]], c6: float, blockade_radius: float, weights: Sequence[float] | None, amplitude: tuple[Sequence[float], Sequence[float]], phase: tuple[Sequence[float], Sequence[float]], detuning: tuple[Sequence[float], Sequence[float]], local_detuning: tuple[Sequence[float], Sequence[float]] | None, duration: float, dt: float, max_bond_dim: int, precision: float, progress: Callable | None = None) -> tuple:
    """
    The final matrix-product state of the evolution from all-ground by TDVP in steps of dt (seconds), the Hamiltonian taken at each step's midpoint; its counts; the discarded weight. `progress` as for evolve. ValueError before any work for bad numbers; KeyboardInterrupt on Ctrl-C.
    """
