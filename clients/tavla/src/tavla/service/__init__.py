"""A local device service: the device service's protocol on this machine, running jobs on the
norvane.quantum analog emulator. `start_service` starts one in this process;
``python -m tavla.service`` runs one on its own."""

from __future__ import annotations

from typing import Mapping

from .device import Device
from .emulator import EmulatorRunner
from .jobs import Runner
from .server import DeviceService

__all__ = ["DeviceService", "Device", "EmulatorRunner", "start_service"]

DEFAULT_QPU_ID = "local"


def start_service(credentials: Mapping[str, str], host: str = "127.0.0.1", port: int = 0,
                  qpu_id: str = DEFAULT_QPU_ID, runner: Runner | None = None, use_experimental: bool = False,
                  max_filled_sites: int = 12, seed: int | None = None) -> DeviceService:
    """A device service serving from a background thread; `close()` it when done. Jobs run on
    the analog emulator unless another `runner` is given."""
    device = Device(qpu_id, runner if runner is not None else EmulatorRunner(seed), use_experimental,
                    max_filled_sites)
    return DeviceService(device, credentials, host, port).start()
