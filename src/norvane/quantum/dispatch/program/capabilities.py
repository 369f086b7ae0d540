"""Device capabilities: the limits a job must respect on a neutral-atom device.

Times are in seconds, lengths in metres, frequencies in rad/s, phases in radians.
"""

from typing import Optional

from pydantic.v1 import BaseModel, NonNegativeFloat, PositiveFloat, PositiveInt, root_validator

__all__ = [
    "NrvTaskCapabilities",
    "NrvLatticeCapabilities",
    "NrvDriveCapabilities",
    "NrvLocalDetuningCapabilities",
    "NrvCapabilities",
]


class _Record(BaseModel):
    class Config:
        extra = "forbid"
        validate_assignment = True


def _ordered(values: dict, low: str, high: str) -> dict:
    if values[low] > values[high]:
        raise ValueError(f"{low} ({values[low]}) exceeds {high} ({values[high]})")
    return values


class NrvTaskCapabilities(_Record):
    """Shot count range of one job."""

    nshots_min: PositiveInt
    nshots_max: PositiveInt

    @root_validator(skip_on_failure=True)
    def _range(cls, values):
        return _ordered(values, "nshots_min", "nshots_max")


class NrvLatticeCapabilities(_Record):
    """Area, spacing and size limits of the atom register (the lattice).

    `width`, `height` (sites lie in [0, width] x [0, height]), `min_spacing` and
    `position_resolution` are in metres.
    """

    width: PositiveFloat
    height: PositiveFloat
    min_spacing: PositiveFloat
    position_resolution: PositiveFloat
    max_sites: PositiveInt
    max_filled_sites: PositiveInt

    @root_validator(skip_on_failure=True)
    def _range(cls, values):
        return _ordered(values, "max_filled_sites", "max_sites")


class NrvDriveCapabilities(_Record):
    """Limits of the global drive waveforms.

    Rabi frequencies and detunings, and their resolutions, are in rad/s; slew rates (the
    largest change of a waveform per second) in rad/s^2; `phase_resolution` in radians;
    `duration_max` and `time_resolution` in seconds.
    """

    rabi_frequency_max: PositiveFloat
    rabi_frequency_resolution: PositiveFloat
    rabi_slew_rate_max: PositiveFloat
    detuning_min: float
    detuning_max: float
    detuning_resolution: PositiveFloat
    detuning_slew_rate_max: PositiveFloat
    phase_resolution: PositiveFloat
    duration_max: PositiveFloat
    time_resolution: PositiveFloat

    @root_validator(skip_on_failure=True)
    def _range(cls, values):
        return _ordered(values, "detuning_min", "detuning_max")


class NrvLocalDetuningCapabilities(_Record):
    """Limits of the site-dependent detuning: `detuning_max` (the waveform lies in
    [-detuning_max, detuning_max]) in rad/s, `slew_rate_max` in rad/s^2, and
    `weight_resolution` of the per-site weights (no unit)."""

    detuning_max: NonNegativeFloat
    slew_rate_max: PositiveFloat
    weight_resolution: PositiveFloat


class NrvCapabilities(_Record):
    """Capabilities of one device; `local_detuning` is None where the device has none.
    `c6_coefficient` is the van der Waals coefficient of its atoms, in rad m^6/s."""

    version: str
    task: NrvTaskCapabilities
    lattice: NrvLatticeCapabilities
    drive: NrvDriveCapabilities
    c6_coefficient: PositiveFloat
    local_detuning: Optional[NrvLocalDetuningCapabilities] = None
