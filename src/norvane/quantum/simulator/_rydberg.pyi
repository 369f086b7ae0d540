from collections.abc import Sequence

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
    def basis(self) -> NDArray[numpy.uint64]:
        """The bit pattern of every basis state, in basis order."""

    @property
    def interaction(self) -> NDArray[numpy.float64]:
        """The van der Waals energy (rad/s) of every basis state."""

def evolve(space: AtomSpace, weights: Sequence[float] | None, amplitude: tuple[Sequence[float], Sequence[float]], phase: tuple[Sequence[float], Sequence[float]], detuning: tuple[Sequence[float], Sequence[float]], local_detuning: tuple[Sequence[float], Sequence[float]] | None, duration: float, solver_name: str, atol: float, rtol: float, nsteps: int, interaction_picture: bool) -> tuple:
    """
    The final state of the evolution from all-ground, and the integrator's step counts. Times in seconds, waveform values in rad/s (the phase in rad). ValueError before any work for numbers that are not finite and for an evolution too long to finish; KeyboardInterrupt on Ctrl-C.
    """
