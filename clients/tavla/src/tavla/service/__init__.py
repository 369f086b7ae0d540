"""A local device service: the device service's protocol on this machine, running jobs on the
norvane.quantum analog emulator. `start_service` starts one in this process;
``python -m tavla.service`` runs one on its own."""

from __future__ import annotations

from typing import Any, Callable, Mapping

from .device import Device
from .emulator import DEFAULT_MAX_BOND_DIM, EmulatorRunner
from .jobs import Runner
from .server import DeviceService

__all__ = ["DeviceService", "Device", "EmulatorRunner", "start_service"]

DEFAULT_QPU_ID = "local"
# Longest run of one job, in seconds, unless the service is told otherwise.
DEFAULT_MAX_JOB_SECONDS = 600.0


def start_service(credentials: Mapping[str, str], host: str = "127.0.0.1", port: int = 0,
                  qpu_id: str = DEFAULT_QPU_ID, runner: Runner | Callable[[Any], list] | None = None,
                  use_experimental: bool = False, max_filled_sites: int | None = None, seed: int | None = None, *,
                  database: str | None = None, workers: int = 1,
                  max_job_seconds: float | None = DEFAULT_MAX_JOB_SECONDS,
                  keep_results_for: float | None = None, noise: Any = None,
                  max_bond_dim: int = DEFAULT_MAX_BOND_DIM) -> DeviceService:
    """A device service serving from a background thread; `close()` it when done. Jobs run on
    the analog emulator, under the `AnalogNoise` model `noise` when given and with the
    matrix-product-state engine's bonds capped at `max_bond_dim`, unless another `runner` is
    given (see `Device` for the rest)."""
    emulator = EmulatorRunner(seed, noise, max_bond_dim)
    device = Device(qpu_id, runner if runner is not None else emulator, use_experimental,
                    max_filled_sites, database=database, workers=workers, max_job_seconds=max_job_seconds,
                    keep_results_for=keep_results_for)
    return DeviceService(device, credentials, host, port).start()
