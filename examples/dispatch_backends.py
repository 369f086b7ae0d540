"""The same analog job through two dispatch back ends: the cloud back end talking to a local
device service (which runs it on the analog emulator), then the mock back end.

Sites 0 and 1 sit 5 um apart, close enough for the Rydberg blockade: a pi pulse excites at
most one of them. Site 2 is far away and is excited alone. An excited atom is lost to the
device's readout, so site 2 is lost in almost every shot and sites 0 and 1 share their losses.
"""

import math
import secrets
import tempfile
import time
from pathlib import Path

from norvane.quantum.dispatch.mock import MockBackend
from norvane.quantum.dispatch.oruna1 import Oruna1Backend
from norvane.quantum.dispatch.program import NrvJobSpecification, NrvJobStatusCode
from tavla.service import start_service

OMEGA, RAMP = 1.5e7, 1e-7  # rad/s, s


def pi_pulse_job(nshots=200):
    flat = math.pi / OMEGA - RAMP
    times = [0.0, RAMP, RAMP + flat, 2 * RAMP + flat]
    zero = {"times": [0.0, times[-1]], "values": [0.0, 0.0]}
    drive = {"amplitude": {"times": times, "values": [0.0, OMEGA, OMEGA, 0.0]}, "phase": zero, "detuning": zero}
    lattice = {"sites": [[0.0, 0.0], [5e-6, 0.0], [7e-5, 0.0]], "filling": [1, 1, 1]}
    return NrvJobSpecification(nshots=nshots, lattice=lattice, effective_hamiltonian={"drive": drive})


def loss_fractions(results):
    """Per site: the fraction of shots in which a loaded atom was not seen after the program."""
    shots = results.shot_outputs
    n_sites = len(shots[0].pre_sequence)
    return [sum(s.pre_sequence[i] == 1 and s.post_sequence[i] == 0 for s in shots) / len(shots)
            for i in range(n_sites)]


def show(name, backend, job):
    task_id = backend.submit_task(job)
    while (status := backend.task_status(task_id)) in (NrvJobStatusCode.Queued, NrvJobStatusCode.Running):
        time.sleep(0.05)
    if status is not NrvJobStatusCode.Completed:
        raise RuntimeError(f"task {task_id} ended {status.value}")
    losses = ", ".join(f"site {i}: {f:.2f}" for i, f in enumerate(loss_fractions(backend.task_results(task_id))))
    print(f"   {name}: task {task_id[:8]}..., {job.nshots} shots, lost fraction {losses}")


def main():
    job = pi_pulse_job()
    access_key, secret_key = "demo", secrets.token_urlsafe(16)
    service = start_service({access_key: secret_key}, seed=2026)
    try:
        print(f"== one analog job, two back ends (local device service at {service.url})")
        cloud = Oruna1Backend(api_hostname=service.url, qpu_id="local", access_key=access_key,
                              secret_key=secret_key)
        cloud.validate_task(job)
        show("Oruna1Backend -> local device (emulator)", cloud, job)
    finally:
        service.close()
    with tempfile.TemporaryDirectory() as folder:
        show("MockBackend (fabricated readouts)      ", MockBackend(state_file=str(Path(folder) / "state.txt")), job)


if __name__ == "__main__":
    main()
