"""Compilation of emulator programs into Rydberg Hamiltonians.

The Hamiltonian of a program on a register of n atoms (the filled sites, in site order) is

    H(t) = sum_k Omega(t)/2 (e^{i phi(t)} |g><r|_k + h.c.)
           - sum_k (Delta(t) + w_k Delta_loc(t)) n_k + sum_{j<k} C6 / |x_j - x_k|^6 n_j n_k

with n_k = |r><r|_k. Basis states are bit patterns with the first atom most significant,
0 = ground, 1 = Rydberg. The time-independent part (basis, interaction diagonal, hopping
tables) is the register's `AtomSpace`; a `CompileCache` keeps it for every program on an
equal register.
"""

from __future__ import annotations

from typing import Optional

import numpy as np

from .._rydberg import AtomSpace
from ..ir.emulator import EmulatorProgram, Register

__all__ = ["CompileCache", "RydbergHamiltonian", "RydbergHamiltonianCodeGen"]


class CompileCache:
    """Compiled state spaces by register value, shared by the programs compiled with it."""

    def __init__(self):
        self._spaces: dict[tuple, AtomSpace] = {}

    def space(self, register: Register) -> AtomSpace:
        """The state space of `register`, compiled on first use."""
        key = register._key()
        space = self._spaces.get(key)
        if space is None:
            space = _compile_space(register)
            self._spaces[key] = space
        return space

    def __len__(self) -> int:
        return len(self._spaces)

    def __repr__(self) -> str:
        return f"CompileCache(registers={len(self._spaces)})"


def _compile_space(register: Register) -> AtomSpace:
    return AtomSpace(register.atom_positions, register.c6, register.blockade_radius)


def _knots(waveform) -> tuple[list[float], list[float]]:
    return (list(waveform.times), list(waveform.values))


class RydbergHamiltonian:
    """A compiled program: the register's state space and the drive's waveforms.

    `amplitude`, `phase`, `detuning` and `local_detuning` are (times, values) knot lists of
    piecewise-linear waveforms (`local_detuning` None when the program has none);
    `local_weights` holds one weight per atom.
    """

    def __init__(self, space: AtomSpace, duration: float, amplitude, phase, detuning,
                 local_detuning=None, local_weights=None):
        self.space = space
        self.duration = duration
        self.amplitude = amplitude
        self.phase = phase
        self.detuning = detuning
        self.local_detuning = local_detuning
        self.local_weights = local_weights

    @property
    def n_atoms(self) -> int:
        return self.space.n_atoms

    @property
    def dim(self) -> int:
        return self.space.dim

    @property
    def basis(self) -> np.ndarray:
        """Bit pattern of every basis state (first atom most significant), in basis order."""
        return self.space.basis

    def __repr__(self) -> str:
        return (
            f"RydbergHamiltonian(n_atoms={self.n_atoms}, dim={self.dim}, "
            f"duration={self.duration!r}, local_detuning={self.local_detuning is not None})"
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
        if self.compile_cache is None:
            space = _compile_space(register)
        else:
            space = self.compile_cache.space(register)
        h = program.hamiltonian
        if h is None:
            return RydbergHamiltonian(space, 0.0, _NO_DRIVE, _NO_DRIVE, _NO_DRIVE)
        local, weights = None, None
        if h.local_detuning is not None:
            local = _knots(h.local_detuning.waveform)
            filling = register.geometry.filling
            weights = [w for w, filled in zip(h.local_detuning.weights, filling) if filled == 1]
        drive = h.drive
        return RydbergHamiltonian(
            space,
            program.duration,
            _knots(drive.amplitude),
            _knots(drive.phase),
            _knots(drive.detuning),
            local,
            weights,
        )
