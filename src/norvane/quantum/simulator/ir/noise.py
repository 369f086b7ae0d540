"""Device noise for the analog emulator: state preparation and readout errors, dephasing and
relaxation (quantum-jump trajectories), and shot-to-shot laser amplitude and Doppler shifts."""

from __future__ import annotations

import dataclasses
import json
import math
from typing import Any

from ...serialize import Serializer

__all__ = ["AnalogNoise"]

_PROBABILITIES = ("state_prep_error", "false_positive", "false_negative")
_RATES = ("dephasing_rate", "relaxation_rate", "amplitude_sigma", "doppler_sigma")


@dataclasses.dataclass(frozen=True)
class AnalogNoise:
    """A device noise model; every field defaults to 0 (no noise of that kind).

    - `state_prep_error`: probability that an atom is missing from the start of a shot (it
      takes no part in the evolution and reads as ground);
    - `false_positive`, `false_negative`: readout errors on the sampled 0/1 values (1 =
      Rydberg): a ground atom read as Rydberg, a Rydberg atom read as ground;
    - `dephasing_rate`, `relaxation_rate` (1/s): Lindblad operators sqrt(rate) n_k and
      sqrt(rate) |g><r|_k on each atom, one quantum-jump trajectory per shot;
    - `amplitude_sigma`: relative standard deviation of the drive amplitude, drawn per shot;
    - `doppler_sigma` (rad/s): standard deviation of a constant detuning drawn per atom and shot.
    """

    state_prep_error: float = 0.0
    false_positive: float = 0.0
    false_negative: float = 0.0
    dephasing_rate: float = 0.0
    relaxation_rate: float = 0.0
    amplitude_sigma: float = 0.0
    doppler_sigma: float = 0.0

    def __post_init__(self):
        for field in dataclasses.fields(self):
            value = getattr(self, field.name)
            if isinstance(value, bool) or not isinstance(value, (int, float)):
                raise TypeError(f"{field.name} must be a real number, got {type(value).__name__} {value!r}")
            if not math.isfinite(value) or value < 0:
                raise ValueError(f"{field.name} must be a finite number >= 0, got {value!r}")
            if field.name in _PROBABILITIES and value > 1:
                raise ValueError(f"{field.name} is a probability, got {value!r}")
            object.__setattr__(self, field.name, float(value))

    @property
    def readout_only(self) -> bool:
        """True when the model changes only the sampled values, not the evolution."""
        return all(getattr(self, name) == 0.0 for name in ("state_prep_error", *_RATES))

    @property
    def is_zero(self) -> bool:
        return self.readout_only and self.false_positive == 0.0 and self.false_negative == 0.0

    def to_dict(self) -> dict[str, float]:
        return dataclasses.asdict(self)

    @classmethod
    def from_dict(cls, fields: Any) -> "AnalogNoise":
        """The model of a mapping of field names to numbers (unknown names are a ValueError)."""
        if not isinstance(fields, dict):
            raise TypeError(f"a noise model is a mapping of field names to numbers, got {type(fields).__name__}")
        unknown = sorted(set(fields) - {f.name for f in dataclasses.fields(cls)})
        if unknown:
            raise ValueError(f"unknown noise fields {unknown}; known: {[f.name for f in dataclasses.fields(cls)]}")
        return cls(**fields)

    @classmethod
    def from_json_file(cls, path: str) -> "AnalogNoise":
        with open(path, encoding="utf-8") as f:
            try:
                fields = json.load(f)
            except json.JSONDecodeError as error:
                raise ValueError(f"{path}: not JSON ({error})") from None
        return cls.from_dict(fields)


Serializer.register(AnalogNoise)
AnalogNoise.set_serializer(AnalogNoise.to_dict)
AnalogNoise.set_deserializer(AnalogNoise.from_dict)
