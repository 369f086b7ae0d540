"""Z2 order in a chain of 51 Rydberg atoms, beyond any exact emulator, by a matrix-product state.

A sweep like that of z2_adiabatic_sweep.py, on 51 atoms (2^51 basis states) and under a
stronger drive: the detuning goes from negative to positive while the drive holds, and the
chain ends close to the ordered state Rydberg, ground, Rydberg, ... with both ends excited.
Two neighbours in the same state (here: both in the ground state, since blockade forbids both
excited) are a domain wall; the slower the sweep against the drive's gap, the rarer they are.
The state is evolved by TDVP (solver_name="tdvp": two-site updates where bonds can grow,
one-site updates at the bond cap), whose truncation is reported, and sampled shot by shot.
About 50 s on two cores.
"""

import time
from collections import Counter

import numpy as np

from norvane.quantum.dispatch.program.job_specification import NrvHamiltonian
from norvane.quantum.job.base import Geometry
from norvane.quantum.simulator.codegen.hamiltonian import RydbergHamiltonianCodeGen
from norvane.quantum.simulator.ir.emulator import EmulatorProgram, Register
from norvane.quantum.simulator.ir.state_vector import AnalogGate

ATOMS, SPACING = 51, 5.5e-6          # metres
DURATION, RAMP = 4.0e-6, 0.25e-6    # seconds
OMEGA = 2.5e7                        # rad/s
DELTA_START, DELTA_END = -4.0e7, 6.0e7
MAX_BOND_DIM, DT = 24, 1e-8


def program():
    t = [0.0, RAMP, DURATION - RAMP, DURATION]
    h = NrvHamiltonian(drive={
        "amplitude": {"times": t, "values": [0.0, OMEGA, OMEGA, 0.0]},
        "phase": {"times": [0.0, DURATION], "values": [0.0, 0.0]},
        "detuning": {"times": t, "values": [DELTA_START, DELTA_START, DELTA_END, DELTA_END]},
    })
    sites = [(k * SPACING, 0.0) for k in range(ATOMS)]
    return EmulatorProgram(Register(Geometry(sites=sites, filling=[1] * ATOMS)), h)


def domain_walls(shots):
    """Neighbouring pairs in the same state, per shot."""
    return (shots[:, 1:] == shots[:, :-1]).sum(axis=1)


def main(shots=1000):
    gate = AnalogGate(RydbergHamiltonianCodeGen().emit(program()), seed=7)
    print(f"== adiabatic sweep on a chain of {ATOMS} atoms, {SPACING * 1e6:.1f} um apart, {DURATION * 1e6:.1f} us, "
          f"detuning {DELTA_START:.1e} -> {DELTA_END:.1e} rad/s")
    start = time.perf_counter()
    state = gate.evolve(solver_name="tdvp", max_bond_dim=MAX_BOND_DIM, dt=DT)
    capped = " (reached: one-site updates there)" if state.capped else ""
    print(f"   evolved in {time.perf_counter() - start:.1f} s by TDVP: steps of {DT * 1e9:.0f} ns, bond dimension cap "
          f"{MAX_BOND_DIM}{capped}, discarded weight {state.discarded_weight:.1e}")
    densities = state.densities()
    print("   Rydberg density per site:")
    for row in range(0, ATOMS, 17):
        print("     " + " ".join(f"{d:.2f}" for d in densities[row:row + 17]))
    ideal = np.arange(ATOMS) % 2 == 0
    print(f"   mean density on even sites {densities[ideal].mean():.3f}, on odd sites {densities[~ideal].mean():.3f}")
    samples = state.sample(shots, seed=7)
    walls = domain_walls(samples)
    counts = np.bincount(walls)
    print(f"   domain walls per shot over {shots} shots: mean {walls.mean():.2f}; "
          + ", ".join(f"{k}: {c}" for k, c in enumerate(counts) if c))
    print(f"   neighbours both excited in any shot: {int((samples[:, 1:] & samples[:, :-1]).sum())} (blockade)")
    readouts = Counter("".join(map(str, s)) for s in samples)
    print("   most common readouts (1 = Rydberg):")
    for readout, count in readouts.most_common(3):
        print(f"     {readout}  {count}")


if __name__ == "__main__":
    main()
