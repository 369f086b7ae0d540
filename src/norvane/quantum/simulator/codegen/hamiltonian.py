"""Compilation of emulator programs into Rydberg Hamiltonians.

The Hamiltonian of a program on a register of n atoms (the filled sites, in site order) is

    H(t) = sum_k Omega(t)/2 (e^{i phi(t)} |g><r|_k + h.c.)
           - sum_k (Delta(t) + w_k Delta_loc(t)) n_k + sum_{j<k} C6 / |x_j - x_k|^6 n_j n_k

with n_k = |r><r|_k. Basis states are bit patterns with the first atom most significant,
0 = ground, 1 = Rydberg. The time-independent part of the exact engine (basis, interaction
diagonal, hopping tables) is the register's `AtomSpace`, compiled when the exact engine first
needs it (the matrix-product-state engine takes the atoms themselves); a `CompileCache` keeps
it for every program on an equal register.
"""

from __future__ import annotations

from typing import Optional

import numpy as np

from dataclasses import dataclass

from .._rydberg import AtomSpace, check_register
from ..ir.emulator import EmulatorProgram, Register

__all__ = ["Atoms", "CompileCache", "RydbergHamiltonian", "RydbergHamiltonianCodeGen"]


@dataclass(frozen=True)
class Atoms:
    """A register as the engines take it: the filled sites' positions in site order (metres),
    C6 (rad m^6/s) and the blockade radius (metres; 0 for none)."""

    positions: tuple[tuple[float, float], ...]
    c6: float
    blockade_radius: float

    @classmethod
    def of(cls, register: Register) -> "Atoms":
        return cls(tuple(register.atom_positions), register.c6, register.blockade_radius)

    def compile(self) -> AtomSpace:
        return AtomSpace(list(self.positions), self.c6, self.blockade_radius)


class CompileCache:
    """Compiled state spaces by register value, shared by the programs compiled with it."""

    def __init__(self):
        self._spaces: dict[Atoms, AtomSpace] = {}

    def space(self, register: Register) -> AtomSpace:
        """The state space of `register`, compiled on first use."""
        return self.space_of(Atoms.of(register))

    def space_of(self, atoms: Atoms) -> AtomSpace:
        """The state space of `atoms`, compiled on first use."""
        space = self._spaces.get(atoms)
        if space is None:
            space = atoms.compile()
            self._spaces[atoms] = space
        return space

    def __len__(self) -> int:
        return len(self._spaces)

    def __repr__(self) -> str:
        return f"CompileCache(registers={len(self._spaces)})"


def _knots(waveform) -> tuple[list[float], list[float]]:
    return (list(waveform.times), list(waveform.values))


class RydbergHamiltonian:
    """A compiled program: the register's atoms and the drive's waveforms.

    `register` is the `Atoms` of the program, or an `AtomSpace` already compiled from them;
    `space` is the exact engine's state space, compiled on first use (through
    `compile_cache` when given). `duration` is in seconds. `amplitude`, `phase`, `detuning`
    and `local_detuning` are (times, values) knot lists of piecewise-linear waveforms, times in
    seconds, values in rad/s (radians for `phase`); `local_detuning` is None when the program
    has none; `local_weights` holds one weight per atom.
    """

    def __init__(self, register: Atoms | AtomSpace, duration: float, amplitude, phase, detuning,
                 local_detuning=None, local_weights=None, *, compile_cache: Optional[CompileCache] = None):
        if isinstance(register, AtomSpace):
            self._space: Optional[AtomSpace] = register
            self.atoms = Atoms(tuple(register.positions), register.c6, register.blockade_radius)
        else:
            self._space = None
            self.atoms = register
        self._compile_cache = compile_cache
        self.duration = duration
        self.amplitude = amplitude
        self.phase = phase
        self.detuning = detuning
        self.local_detuning = local_detuning
        self.local_weights = local_weights

    @property
    def space(self) -> AtomSpace:
        """The exact engine's state space (MemoryError where it cannot fit)."""
        if self._space is None:
            cache = self._compile_cache
            self._space = self.atoms.compile() if cache is None else cache.space_of(self.atoms)
        return self._space

    @property
    def n_atoms(self) -> int:
        return len(self.atoms.positions)

    @property
    def dim(self) -> int:
        return self.space.dim

    @property
    def basis(self) -> np.ndarray:
        """Bit pattern of every basis state (first atom most significant), in basis order."""
        return self.space.basis

    def __repr__(self) -> str:
        return (
            f"RydbergHamiltonian(n_atoms={self.n_atoms}, duration={self.duration!r}, "
            f"local_detuning={self.local_detuning is not None})"
        )


_NO_DRIVE = ([0.0, 0.0], [0.0, 0.0])


class RydbergHamiltonianCodeGen:
    """Turns an `EmulatorProgram` into its `RydbergHamiltonian`."""

    def __init__(self, compile_cache: Optional[CompileCache] = None):
        if compile_cache is not None and not isinstance(compile_cache, CompileCache):
            raise TypeError(
                f"compile_cache must be a CompileCache or None, got {type(compile_cache).__name__}"
            )
        self.compile_cache = compile_cache

    def emit(self, program: EmulatorProgram) -> RydbergHamiltonian:
        if not isinstance(program, EmulatorProgram):
            raise TypeError(f"emit needs an EmulatorProgram, got {type(program).__name__}")
        register = program.register
        atoms = Atoms.of(register)
        check_register(list(atoms.positions), atoms.c6, atoms.blockade_radius)
        cache = self.compile_cache
        h = program.hamiltonian
        if h is None:
            return RydbergHamiltonian(atoms, 0.0, _NO_DRIVE, _NO_DRIVE, _NO_DRIVE, compile_cache=cache)
        local, weights = None, None
        if h.local_detuning is not None:
            local = _knots(h.local_detuning.waveform)
            filling = register.geometry.filling
            weights = [w for w, filled in zip(h.local_detuning.weights, filling) if filled == 1]
        drive = h.drive
        return RydbergHamiltonian(
            atoms,
            program.duration,
            _knots(drive.amplitude),
            _knots(drive.phase),
            _knots(drive.detuning),
            local,
            weights,
            compile_cache=cache,
        )
