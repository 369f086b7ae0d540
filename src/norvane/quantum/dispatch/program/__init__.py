"""Program records of the dispatch layer: job specification, job results, capabilities."""

from .capabilities import (
    NrvCapabilities,
    NrvDriveCapabilities,
    NrvLocalDetuningCapabilities,
    NrvLatticeCapabilities,
    NrvTaskCapabilities,
)
from .job_results import NrvJobResults, NrvJobStatusCode, NrvShotResult, NrvShotStatusCode
from .job_specification import (
    NrvDrive,
    NrvHamiltonian,
    NrvJobSpecification,
    NrvLattice,
    NrvLocalDetuning,
    NrvWaveform,
)

__all__ = [
    "NrvCapabilities",
    "NrvDriveCapabilities",
    "NrvLocalDetuningCapabilities",
    "NrvLatticeCapabilities",
    "NrvTaskCapabilities",
    "NrvJobResults",
    "NrvJobStatusCode",
    "NrvShotResult",
    "NrvShotStatusCode",
    "NrvDrive",
    "NrvHamiltonian",
    "NrvJobSpecification",
    "NrvLattice",
    "NrvLocalDetuning",
    "NrvWaveform",
]
