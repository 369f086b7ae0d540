"""Digital noise: channels by Kraus operators, readout errors and noise models.

Loading the package registers channels, readout errors and models with the serializer
registry (`norvane.quantum.serialize`).
"""

from norvane.quantum.noise.channels import (
    KrausChannel, ReadoutError, amplitude_damping, bit_flip, depolarizing, kraus, phase_damping,
    phase_flip, readout_error,
)
from norvane.quantum.noise.model import NoiseModel
from norvane.quantum.noise import _serialize  # noqa: F401  (registers the encodings)

__all__ = [
    "KrausChannel", "ReadoutError", "NoiseModel", "kraus", "depolarizing", "bit_flip", "phase_flip",
    "amplitude_damping", "phase_damping", "readout_error",
]
