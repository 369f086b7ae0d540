"""Programs for the analog emulator tests: registers, waveforms and random drives."""

import numpy as np

from norvane.quantum.dispatch.program.job_specification import NrvHamiltonian
from norvane.quantum.job.base import Geometry
from norvane.quantum.simulator.codegen.hamiltonian import RydbergHamiltonianCodeGen
from norvane.quantum.simulator.ir.emulator import EmulatorProgram, Register
from norvane.quantum.simulator.ir.state_vector import AnalogGate


def waveform(times, values):
    return {"times": list(times), "values": list(values)}


def constant(duration, value):
    return waveform([0.0, duration], [value, value])


def hamiltonian(duration, amplitude, detuning=0.0, phase=0.0, local=None):
    """Constant waveforms from numbers, or waveform mappings passed through."""
    def wave(w):
        return constant(duration, w) if isinstance(w, (int, float)) else w

    drive = {"amplitude": wave(amplitude), "phase": wave(phase), "detuning": wave(detuning)}
    return NrvHamiltonian(drive=drive, local_detuning=local)


def chain(n, spacing, filling=None):
    return Geometry(sites=[(k * spacing, 0.0) for k in range(n)], filling=filling or [1] * n)


def program(geometry, h, blockade_radius=0.0, c6=5.42e-24):
    return EmulatorProgram(Register(geometry, c6=c6, blockade_radius=blockade_radius), h)


def gate(prog, seed=None, cache=None):
    return AnalogGate(RydbergHamiltonianCodeGen(cache).emit(prog), seed=seed)


def random_program(rng, n_sites, duration=0.5e-6, knots=4, local=True):
    """A random register (some sites empty) and random piecewise-linear waveforms."""
    sites = [(float(x), float(y)) for x, y in rng.uniform(0, 15e-6, size=(n_sites, 2))]
    # Keep atoms at least 4 um apart so interactions stay moderate.
    for k in range(1, n_sites):
        sites[k] = (sites[k - 1][0] + 4e-6 + rng.uniform(0, 4e-6), sites[k][1] * 0.3)
    filling = [1] * n_sites
    if n_sites > 2:
        filling[int(rng.integers(n_sites))] = 0

    def random_wave(scale, positive=False):
        times = np.sort(rng.uniform(0, duration, size=knots - 2))
        values = rng.uniform(0 if positive else -scale, scale, size=knots)
        return waveform([0.0, *times, duration], values)

    local_detuning = None
    if local:
        local_detuning = {
            "waveform": random_wave(2e7),
            "weights": [float(w) for w in rng.uniform(0, 1, size=n_sites)],
        }
    h = NrvHamiltonian(
        drive={
            "amplitude": random_wave(1.5e7, positive=True),
            "phase": random_wave(3.0),
            "detuning": random_wave(3e7),
        },
        local_detuning=local_detuning,
    )
    return program(Geometry(sites=sites, filling=filling), h)
