"""Runs one adiabatic sweep on emu-mps, emu-sv or pulser-simulation, in an environment that has
them (they bring PyTorch, so they stay out of the project's own environment): bench_mps.py,
bench_krylov.py and bench_analog_noise.py start this file with the Python named by EMU_PYTHON
and read one JSON line back.

    python emu_peer.py '{"backend": "mps", "sv" or "pulser", "sites_um": [[x, y], ...], ...}'

"pulser" runs pulser-simulation's QutipEmulator with a dephasing noise model
("dephasing_per_us", in pulser's convention: Lindblad operator sqrt(2 rate) |r><r|) and
samples "shots" from the final state.

Units are the peer's: micrometres, nanoseconds, rad/us. Prints {"seconds", "densities",
"peak_rss_mib"}: the wall time of the backend's run and the final Rydberg densities.
"""

import json
import resource
import sys
import time

import pulser
from pulser.devices import MockDevice
from pulser.waveforms import CompositeWaveform, ConstantWaveform, RampWaveform

import emu_mps
import emu_sv


def sequence(case):
    register = pulser.Register({f"q{k}": xy for k, xy in enumerate(case["sites_um"])})
    device = MockDevice
    sequence = pulser.Sequence(register, device)
    sequence.declare_channel("global", "rydberg_global")
    ramp, duration = case["ramp_ns"], case["duration_ns"]
    omega, start, end = case["omega"], case["detuning_start"], case["detuning_end"]
    amplitude = CompositeWaveform(RampWaveform(ramp, 0.0, omega), ConstantWaveform(duration - 2 * ramp, omega),
                                  RampWaveform(ramp, omega, 0.0))
    detuning = CompositeWaveform(ConstantWaveform(ramp, start), RampWaveform(duration - 2 * ramp, start, end),
                                 ConstantWaveform(ramp, end))
    sequence.add(pulser.Pulse(amplitude, detuning, 0.0), "global")
    return sequence


def main():
    case = json.loads(sys.argv[1])
    if case["backend"] == "mps":
        occupation = emu_mps.Occupation(evaluation_times=[1.0])
        config = emu_mps.MPSConfig(dt=case["dt_ns"], precision=case["precision"], max_bond_dim=case["max_bond_dim"],
                                   observables=[occupation], log_level=40)
        backend = emu_mps.MPSBackend(sequence(case), config=config)
    elif case["backend"] == "sv":
        occupation = emu_sv.Occupation(evaluation_times=[1.0])
        config = emu_sv.SVConfig(dt=case["dt_ns"], observables=[occupation], log_level=40)
        backend = emu_sv.SVBackend(sequence(case), config=config)
    else:
        print(json.dumps(pulser_run(case)))
        return
    start = time.perf_counter()
    results = backend.run()
    seconds = time.perf_counter() - start
    densities = results.get_result(occupation, 1.0)
    print(json.dumps({"seconds": seconds, "densities": [float(d) for d in densities],
                      "peak_rss_mib": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024}))


def pulser_run(case):
    from pulser.noise_model import NoiseModel
    from pulser_simulation import QutipEmulator, SimConfig

    start = time.perf_counter()
    config = SimConfig.from_noise_model(NoiseModel(dephasing_rate=case["dephasing_per_us"]))
    emulator = QutipEmulator.from_sequence(sequence(case), evaluation_times="Minimal", config=config)
    counts = emulator.run().sample_final_state(N_samples=case["shots"])
    seconds = time.perf_counter() - start
    n = len(case["sites_um"])
    densities = [sum(c for bits, c in counts.items() if bits[k] == "1") / case["shots"] for k in range(n)]
    return {"seconds": seconds, "densities": densities,
            "peak_rss_mib": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024}


if __name__ == "__main__":
    main()
