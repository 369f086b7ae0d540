"""Programs of the analog emulator: a register of atoms and the Hamiltonian that drives it.

Units are SI: positions in metres, times in seconds, frequencies in rad/s and the van der
Waals coefficient C6 in rad m^6 / s.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Optional

from ...dispatch.program._checks import real
from ...dispatch.program.job_specification import NrvHamiltonian, NrvJobSpecification, NrvLattice
from ...job.base import Geometry
from ...serialize import Serializer

__all__ = ["Register", "EmulatorProgram", "DEFAULT_C6"]

DEFAULT_C6 = 5.42e-24


@dataclass
class Register:
    """Atoms at the filled sites of `geometry`, interacting as C6 / r^6 (rad/s), with `c6`
    in rad m^6/s and the distance r in metres.

    A positive `blockade_radius` (metres) leaves out every state with two Rydberg atoms
    closer than it, which shrinks the state space of large registers.
    """

    geometry: Geometry
    c6: float = DEFAULT_C6
    blockade_radius: float = 0.0

    def __post_init__(self):
        if isinstance(self.geometry, NrvLattice) and not isinstance(self.geometry, Geometry):
            self.geometry = Geometry(**self.geometry.dict())
        if not isinstance(self.geometry, Geometry):
            raise TypeError(
                f"Register needs a Geometry, got {type(self.geometry).__name__}"
            )
        self.c6 = real(self.c6, "c6")
        if self.c6 <= 0:
            raise ValueError(f"c6 must be positive, got {self.c6}")
        self.blockade_radius = real(self.blockade_radius, "blockade_radius")
        if self.blockade_radius < 0:
            raise ValueError(f"blockade_radius must not be negative, got {self.blockade_radius}")

    @property
    def atom_positions(self) -> list[tuple[float, float]]:
        """Positions of the filled sites in site order: the atoms of the emulator."""
        geometry = self.geometry
        return [tuple(site) for site, filled in zip(geometry.sites, geometry.filling) if filled == 1]

    @property
    def n_atoms(self) -> int:
        return sum(1 for filled in self.geometry.filling if filled == 1)


@dataclass
class EmulatorProgram:
    """An analog program: `register` driven by `hamiltonian` (None: no drive, no duration)."""

    register: Register
    hamiltonian: Optional[NrvHamiltonian] = None

    def __post_init__(self):
        if not isinstance(self.register, Register):
            raise TypeError(f"EmulatorProgram needs a Register, got {type(self.register).__name__}")
        if self.hamiltonian is not None:
            if not isinstance(self.hamiltonian, NrvHamiltonian):
                raise TypeError(
                    f"hamiltonian must be an NrvHamiltonian or None, got "
                    f"{type(self.hamiltonian).__name__}"
                )
            local = self.hamiltonian.local_detuning
            n_sites = len(self.register.geometry.sites)
            if local is not None and len(local.weights) != n_sites:
                raise ValueError(
                    f"local detuning needs one weight per site: {n_sites} sites, "
                    f"{len(local.weights)} weights"
                )

    @property
    def duration(self) -> float:
        """The program's duration in seconds (0 without a Hamiltonian)."""
        return 0.0 if self.hamiltonian is None else self.hamiltonian.drive.amplitude.duration

    @classmethod
    def from_job(cls, spec: NrvJobSpecification) -> "EmulatorProgram":
        """The program of a job: its lattice as the register (default C6, no blockade radius)
        and its effective Hamiltonian."""
        if not isinstance(spec, NrvJobSpecification):
            raise TypeError(f"from_job needs an NrvJobSpecification, got {type(spec).__name__}")
        return cls(Register(Geometry(**spec.lattice.dict())), spec.effective_hamiltonian)


def _serialize_register(register: Register) -> dict:
    return {
        "geometry": register.geometry.dict(),
        "c6": register.c6,
        "blockade_radius": register.blockade_radius,
    }


def _deserialize_register(d: dict) -> Register:
    return Register(Geometry(**d["geometry"]), d["c6"], d["blockade_radius"])


def _serialize_program(program: EmulatorProgram) -> dict:
    hamiltonian = program.hamiltonian
    return {"register": program.register, "hamiltonian": None if hamiltonian is None else hamiltonian.dict()}


def _deserialize_program(d: dict) -> EmulatorProgram:
    hamiltonian = d["hamiltonian"]
    return EmulatorProgram(d["register"], None if hamiltonian is None else NrvHamiltonian(**hamiltonian))


Serializer.register(Register)
Register.set_serializer(_serialize_register)
Register.set_deserializer(_deserialize_register)
Serializer.register(EmulatorProgram)
EmulatorProgram.set_serializer(_serialize_program)
EmulatorProgram.set_deserializer(_deserialize_program)
