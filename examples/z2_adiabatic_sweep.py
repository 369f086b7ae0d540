"""Preparing antiferromagnetic (Z2) order in a chain of 9 Rydberg atoms by an adiabatic sweep.

Neighbours 5.5 um apart block each other's excitation (their interaction far exceeds the Rabi
frequency), next-nearest neighbours do not. Sweeping the detuning from negative to positive
under a steady drive turns the all-ground state into the ordered state with every other atom
excited: Rydberg, ground, Rydberg, ... The job is written as for the device, run on the local
emulator task, and inspected through the emulator's final state; then the same sweep runs on
the matrix-product-state engine (solver_name="tdvp"), which takes registers of hundreds of
atoms, and is checked against the exact state.
"""

from collections import Counter

import numpy as np

from norvane.quantum.dispatch.program.job_specification import NrvJobSpecification
from norvane.quantum.job.oruna1_simulator import Oruna1SimulatorTask
from norvane.quantum.simulator.codegen.hamiltonian import RydbergHamiltonianCodeGen
from norvane.quantum.simulator.ir.emulator import EmulatorProgram
from norvane.quantum.simulator.ir.state_vector import AnalogGate

ATOMS, SPACING = 9, 5.5e-6          # metres
DURATION, RAMP = 3.5e-6, 0.25e-6    # seconds
OMEGA = 1.5e7                        # rad/s, the device's largest Rabi frequency
DELTA_START, DELTA_END = -3.0e7, 4.5e7


def sweep_job(shots):
    t = [0.0, RAMP, DURATION - RAMP, DURATION]
    return NrvJobSpecification(
        nshots=shots,
        lattice={"sites": [[k * SPACING, 0.0] for k in range(ATOMS)], "filling": [1] * ATOMS},
        effective_hamiltonian={
            "drive": {
                "amplitude": {"times": t, "values": [0.0, OMEGA, OMEGA, 0.0]},
                "phase": {"times": [0.0, DURATION], "values": [0.0, 0.0]},
                "detuning": {"times": t, "values": [DELTA_START, DELTA_START, DELTA_END, DELTA_END]},
            }
        },
    )


def rydberg_densities(program):
    gate = AnalogGate(RydbergHamiltonianCodeGen().emit(program))
    probabilities = np.abs(gate.run(0, project_hyperfine=False)) ** 2
    bits = (np.arange(2**ATOMS)[:, None] >> np.arange(ATOMS - 1, -1, -1)) & 1
    return probabilities @ bits, probabilities


def matrix_product_state(program, exact_densities):
    gate = AnalogGate(RydbergHamiltonianCodeGen().emit(program), seed=1)
    state = gate.evolve(solver_name="tdvp", max_bond_dim=32)
    difference = np.max(np.abs(state.densities() - exact_densities))
    print(f"   the same sweep as a matrix-product state: bond dimensions {state.bond_dims}, "
          f"discarded weight {state.discarded_weight:.1e}")
    print(f"   largest difference from the exact densities: {difference:.1e} (time step 10 ns)")


def main(shots=1000):
    job = sweep_job(shots)
    program = EmulatorProgram.from_job(job)
    densities, probabilities = rydberg_densities(program)
    print(f"== adiabatic sweep on a chain of {ATOMS} atoms, {SPACING * 1e6:.1f} um apart, "
          f"{DURATION * 1e6:.1f} us, detuning {DELTA_START:.1e} -> {DELTA_END:.1e} rad/s")
    print("   Rydberg density per site: " + " ".join(f"{d:.3f}" for d in densities))
    z2 = int("10" * (ATOMS // 2) + "1", 2)  # Rydberg at sites 0, 2, 4, ...
    print(f"   probability of the Z2 pattern {z2:0{ATOMS}b} (1 = Rydberg): {probabilities[z2]:.4f}")

    task = Oruna1SimulatorTask(shots, program, {"example": "z2 sweep"}).run()
    readouts = Counter("".join(map(str, s.post_sequence)) for s in task.result().shot_outputs)
    print(f"   most common device readouts of {shots} shots (1 = atom still in the ground state):")
    for readout, count in readouts.most_common(4):
        print(f"     {readout}  {count}")
    matrix_product_state(program, densities)


if __name__ == "__main__":
    main()
