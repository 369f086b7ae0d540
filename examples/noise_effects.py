"""The same algorithms on a perfect device and on a noisy one.

A QAOA max-cut circuit (8 vertices, p = 1, angles from a grid search of the ideal expected
cut) runs ideal and under depolarizing
noise after every gate with readout errors: the expected cut falls towards the 50% a random
cut gets, and the exact density matrix says how mixed the state has become. An adiabatic
sweep of 7 Rydberg atoms runs ideal and under device noise (missing atoms, dephasing, readout
errors): the Z2 pattern becomes rarer and blockade-violating readouts appear.
"""

import numpy as np

from norvane.quantum import noise
from norvane.quantum.dispatch.program.job_specification import NrvHamiltonian
from norvane.quantum.job.base import Geometry
from norvane.quantum.optimizer.qaoa import QAOAAnsatz
from norvane.quantum.simulator.codegen.hamiltonian import RydbergHamiltonianCodeGen
from norvane.quantum.simulator.digital.dense_sim import DigitalDenseSimulator
from norvane.quantum.simulator.ir.emulator import EmulatorProgram, Register
from norvane.quantum.simulator.ir.noise import AnalogNoise
from norvane.quantum.simulator.ir.state_vector import AnalogGate

EDGES = [(0, 1), (0, 4), (0, 7), (1, 2), (1, 5), (2, 3), (2, 6), (3, 4), (3, 7), (4, 5), (5, 6), (6, 7)]
SHOTS = 2000


def cut(bits):
    return sum(bits[i] != bits[j] for i, j in EDGES)


def expected_cut(probabilities):
    """The mean cut of the outcome distribution (outcome index: qubit 0 most significant)."""
    return sum(p * cut(f"{k:08b}") for k, p in enumerate(probabilities))


def best_angles(circuit, spec):
    """The (gamma, beta) of a 16 x 16 grid with the largest ideal expected cut."""
    grid = [(g, b) for g in np.linspace(0.05, np.pi / 2, 16) for b in np.linspace(0.05, np.pi / 2, 16)]
    values = [expected_cut(np.abs(DigitalDenseSimulator(circuit).statevector(**spec.bind(np.array(x)))) ** 2)
              for x in grid]
    return spec.bind(np.array(grid[int(np.argmax(values))]))


def digital():
    ansatz = QAOAAnsatz(8, [(i, j, 1.0) for i, j in EDGES], p=1)
    spec = ansatz.param_map()
    circuit = ansatz.build().circuit
    bindings = best_angles(circuit, spec)
    model = noise.NoiseModel()
    model.add(noise.depolarizing(0.002))          # after every gate, on each target
    model.add(noise.depolarizing(0.02, 2))        # after every two-qubit gate, on both
    model.add_readout(noise.readout_error(0.01, 0.03))
    angles = ", ".join(f"{name} {value:.3f}" for name, value in bindings.items())
    print(f"== QAOA max-cut, 8 vertices, p = 1 ({angles}), {len(circuit.instructions)} instructions, {SHOTS} shots")
    best = max(cut(f"{k:08b}") for k in range(256))
    for label, simulator in [("ideal", DigitalDenseSimulator(circuit, seed=3)),
                             ("noisy", DigitalDenseSimulator(circuit, seed=3, noise=model))]:
        counts = simulator.run(SHOTS, **bindings).counts
        expected = sum(cut(b) * c for b, c in counts.items()) / SHOTS
        optimal = sum(c for b, c in counts.items() if cut(b) == best) / SHOTS
        rho = simulator.density_matrix(**bindings)
        print(f"   {label}: expected cut {expected:.2f} of {best} (random: {len(EDGES) / 2:g}), optimal cuts "
              f"{optimal:.1%}, purity tr(rho^2) {np.vdot(rho, rho).real:.3f}")


def analog():
    atoms, spacing, duration = 7, 5.5e-6, 3.0e-6
    t = [0.0, 0.25e-6, duration - 0.25e-6, duration]
    h = NrvHamiltonian(drive={
        "amplitude": {"times": t, "values": [0.0, 1.5e7, 1.5e7, 0.0]},
        "phase": {"times": [0.0, duration], "values": [0.0, 0.0]},
        "detuning": {"times": t, "values": [-3e7, -3e7, 4.5e7, 4.5e7]},
    })
    program = EmulatorProgram(Register(Geometry(sites=[(k * spacing, 0.0) for k in range(atoms)],
                                                filling=[1] * atoms)), h)
    hamiltonian = RydbergHamiltonianCodeGen().emit(program)
    device = AnalogNoise(state_prep_error=0.01, false_positive=0.01, false_negative=0.05, dephasing_rate=2e5)
    print(f"== adiabatic sweep of {atoms} atoms {spacing * 1e6:g} um apart, {duration * 1e6:g} us, {SHOTS // 4} shots")
    print(f"   device noise: {device}")
    for label, model in [("ideal", None), ("noisy", device)]:
        gate = AnalogGate(hamiltonian, seed=5, noise=model)
        shots = gate.run(SHOTS // 4)
        z2 = np.mean((shots == (np.arange(atoms) % 2 == 0)).all(axis=1))
        violations = np.mean((shots[:, 1:] & shots[:, :-1]).any(axis=1))
        print(f"   {label}: Rydberg density " + " ".join(f"{d:.2f}" for d in shots.mean(axis=0))
              + f"; Z2 pattern {z2:.1%}; neighbours both read Rydberg {violations:.1%}")


def main():
    digital()
    analog()


if __name__ == "__main__":
    main()
