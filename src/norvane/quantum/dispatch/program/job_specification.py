"""Job specification: the analog program and register that a neutral-atom device runs.

Times are in seconds, positions in metres, frequencies in rad/s and phases in radians.
JSON export under aliases (``json(by_alias=True)``) uses camelCase keys; the constructor
accepts both the field names and the aliases.
"""

import operator
from typing import List, Optional, Tuple

from pydantic.v1 import BaseModel, root_validator, validator

from ._checks import binary_list, real_list, site_list

__all__ = [
    "NrvWaveform",
    "NrvDrive",
    "NrvLocalDetuning",
    "NrvHamiltonian",
    "NrvLattice",
    "NrvJobSpecification",
]


def _camel(name: str) -> str:
    head, *rest = name.split("_")
    return head + "".join(word.capitalize() for word in rest)


class _SpecRecord(BaseModel):
    class Config:
        extra = "forbid"
        validate_assignment = True
        alias_generator = _camel
        allow_population_by_field_name = True


class NrvWaveform(_SpecRecord):
    """Piecewise-linear waveform: `values[i]` at `times[i]`, linear in between.

    Times are in seconds; they start at 0 and never decrease, and there are at least two
    points. Values are in the unit of the quantity: rad/s for an amplitude or a detuning,
    radians for a phase.
    """

    times: List[float]
    values: List[float]

    @validator("times", "values", pre=True)
    def _reals(cls, value, field):
        return real_list(value, field.name)

    @validator("times")
    def _times_ordered(cls, times):
        if len(times) < 2:
            raise ValueError(f"a waveform needs at least two time points, got {len(times)}")
        if times[0] != 0.0:
            raise ValueError(f"a waveform starts at time 0, got {times[0]}")
        for before, after in zip(times, times[1:]):
            if after < before:
                raise ValueError(f"waveform times must not decrease: {before} then {after}")
        return times

    @root_validator(skip_on_failure=True)
    def _same_length(cls, values):
        if len(values["times"]) != len(values["values"]):
            raise ValueError(
                f"a waveform needs one value per time point: {len(values['times'])} times, "
                f"{len(values['values'])} values"
            )
        return values

    @property
    def duration(self) -> float:
        """The time of the last point, in seconds."""
        return self.times[-1]


class NrvDrive(_SpecRecord):
    """Global drive of every atom: Rabi frequency amplitude (rad/s), phase (radians) and
    detuning (rad/s)."""

    amplitude: NrvWaveform
    phase: NrvWaveform
    detuning: NrvWaveform


class NrvLocalDetuning(_SpecRecord):
    """Site-dependent detuning: `waveform` (rad/s) scaled by one weight in [0, 1] per site."""

    waveform: NrvWaveform
    weights: List[float]

    @validator("weights", pre=True)
    def _weights(cls, value):
        weights = real_list(value, "weights")
        for i, weight in enumerate(weights):
            if not 0.0 <= weight <= 1.0:
                raise ValueError(f"weights[{i}] must lie in [0, 1], got {weight}")
        return weights


class NrvHamiltonian(_SpecRecord):
    """Effective Hamiltonian of the program; all its waveforms span the same duration."""

    drive: NrvDrive
    local_detuning: Optional[NrvLocalDetuning] = None

    @root_validator(skip_on_failure=True)
    def _same_duration(cls, values):
        drive = values["drive"]
        waveforms = {
            "drive.amplitude": drive.amplitude,
            "drive.phase": drive.phase,
            "drive.detuning": drive.detuning,
        }
        if values.get("local_detuning") is not None:
            waveforms["local_detuning.waveform"] = values["local_detuning"].waveform
        durations = {name: wave.duration for name, wave in waveforms.items()}
        if len(set(durations.values())) > 1:
            listed = ", ".join(f"{name} {d}" for name, d in durations.items())
            raise ValueError(f"all waveforms must span the same duration, got {listed}")
        return values


class NrvLattice(_SpecRecord):
    """Atom register: site positions as [x, y] pairs in metres and a 0/1 filling per site."""

    sites: List[Tuple[float, float]]
    filling: List[int]

    @validator("sites", pre=True)
    def _sites(cls, value):
        return site_list(value, "sites")

    @validator("filling", pre=True)
    def _filling(cls, value):
        return binary_list(value, "filling")

    @root_validator(skip_on_failure=True)
    def _one_filling_per_site(cls, values):
        if len(values["sites"]) != len(values["filling"]):
            raise ValueError(
                f"filling needs one entry per site: {len(values['sites'])} sites, "
                f"{len(values['filling'])} filling entries"
            )
        return values


class NrvJobSpecification(_SpecRecord):
    """One job: the number of shots, the register and, optionally, the Hamiltonian."""

    nshots: int
    lattice: NrvLattice
    effective_hamiltonian: Optional[NrvHamiltonian] = None

    @validator("nshots", pre=True)
    def _nshots(cls, value):
        if isinstance(value, bool):
            raise TypeError("nshots must be an integer, got bool")
        try:
            count = operator.index(value)
        except TypeError:
            raise TypeError(
                f"nshots must be an integer, got {type(value).__name__} {value!r}"
            ) from None
        if count < 0:
            raise ValueError(f"nshots must not be negative, got {count}")
        return count

    @root_validator(skip_on_failure=True)
    def _weights_per_site(cls, values):
        hamiltonian = values.get("effective_hamiltonian")
        if hamiltonian is not None and hamiltonian.local_detuning is not None:
            n_weights = len(hamiltonian.local_detuning.weights)
            n_sites = len(values["lattice"].sites)
            if n_weights != n_sites:
                raise ValueError(
                    f"local detuning needs one weight per site: {n_sites} sites, "
                    f"{n_weights} weights"
                )
        return values
