"""Device noise in the analog emulator: readout and preparation errors exact in distribution,
quantum-jump trajectories against the Lindblad master equation, shot-to-shot fluctuations
against their averages, and a model of zeros identical to no model."""

import pickle

import numpy as np
import pytest

from analog_programs import chain, gate, hamiltonian, program, random_program
from norvane.quantum.serialize import dumps, loads
from norvane.quantum.job.base import Geometry
from norvane.quantum.simulator._rydberg import evolve_density_matrix, evolve_trajectory
from norvane.quantum.simulator.ir.noise import AnalogNoise
from norvane.quantum.simulator.ir.state_vector import AnalogGate
from reference.analog_reference import ReferenceEmulator

SIGMAS = 5  # statistical bounds: a correct engine fails one with probability ~1e-6


def noisy(prog, noise, seed=1):
    return AnalogGate(gate(prog).hamiltonian, seed=seed, noise=noise)


def assert_frequency(hits, trials, p):
    assert abs(hits - trials * p) <= SIGMAS * np.sqrt(trials * p * (1 - p)) + 1e-9, (hits, trials, p)


def test_a_model_of_zeros_gives_the_noiseless_shots_and_state():
    prog = random_program(np.random.default_rng(3), 5)
    plain = gate(prog, seed=4)
    zero = noisy(prog, AnalogNoise(), seed=4)
    np.testing.assert_array_equal(zero.run(300), plain.run(300))
    np.testing.assert_array_equal(zero.evolve(), plain.evolve())


def test_readout_errors_are_exact_in_distribution():
    # Undriven atoms stay in the ground state; a single atom after a pi pulse is Rydberg.
    ground = noisy(program(chain(4, 6e-6), hamiltonian(0.2e-6, 0.0)), AnalogNoise(false_positive=0.07))
    assert_frequency(int(ground.run(5000).sum()), 20000, 0.07)
    omega = 1e7
    flipped = noisy(program(chain(1, 6e-6), hamiltonian(np.pi / omega, omega)),
                    AnalogNoise(false_negative=0.2, false_positive=0.5))
    assert_frequency(int(flipped.run(5000).sum()), 5000, 0.8)


def test_missing_atoms_read_as_ground_and_leave_the_others_unblockaded():
    # Two atoms 4 um apart block each other: together they share one excitation, alone each
    # makes a full pi pulse. Every register of present atoms is evolved exactly.
    omega, prep = 1e7, 0.3
    prog = program(chain(2, 4e-6), hamiltonian(np.pi / omega, omega))
    shots = noisy(prog, AnalogNoise(state_prep_error=prep)).run(6000)
    pair = ReferenceEmulator(prog).final_state(atol=1e-13, rtol=1e-11)
    alone = (1 - prep) * prep  # this atom present, the other missing
    expected = {(1, 1): (1 - prep) ** 2 * abs(pair[3]) ** 2,
                (1, 0): (1 - prep) ** 2 * abs(pair[2]) ** 2 + alone,
                (0, 1): (1 - prep) ** 2 * abs(pair[1]) ** 2 + alone}
    for pattern, p in expected.items():
        assert_frequency(int((shots == pattern).all(axis=1).sum()), 6000, p)


@pytest.mark.parametrize("rates", [(2e6, 0.0), (0.0, 1.5e6), (1e6, 1e6)], ids=["dephasing", "relaxation", "both"])
def test_quantum_jump_trajectories_average_to_the_master_equation(rates):
    prog = random_program(np.random.default_rng(7), 3, duration=1e-6)
    h = gate(prog).hamiltonian
    rho = ReferenceEmulator(prog).density_matrix(*rates)
    trajectories = 2000
    states = np.array([evolve_trajectory(h.space, h.local_weights, h.amplitude, h.phase, h.detuning, h.local_detuning,
                                         h.duration, "dop853", 1e-12, 1e-9, 10**7, None, *rates, seed)[0]
                       for seed in range(trajectories)])
    samples = np.einsum("si,sj->sij", states, states.conj())
    error = samples.std(axis=0) / np.sqrt(trajectories)
    assert np.all(np.abs(samples.mean(axis=0) - rho) <= SIGMAS * error + 1e-3)
    assert np.abs(rho - np.outer(states[0], states[0].conj())).max() > 0.05  # the noise matters here


def test_density_matrices_follow_the_master_equation_in_full_and_blockade_spaces():
    rates = (1e6, 8e5)
    prog = random_program(np.random.default_rng(11), 4, duration=1e-6)
    h = gate(prog).hamiltonian
    args = (h.local_weights, h.amplitude, h.phase, h.detuning, h.local_detuning, h.duration, "dop853", 1e-12, 1e-9,
            10**7)
    rho, _ = evolve_density_matrix(h.space, *args, *rates)
    assert np.abs(rho - ReferenceEmulator(prog).density_matrix(*rates)).max() < 1e-8
    # Under a blockade radius relaxation must stay within the space: the density matrix
    # against the mean of trajectories, whose jumps are computed apart from it.
    sites = [(x * 5e-6, y * 5e-6) for y in range(2) for x in range(3)]
    blockaded = gate(program(Geometry(sites=sites, filling=[1] * 6), hamiltonian(0.6e-6, 2e7, detuning=5e6),
                             blockade_radius=7.5e-6)).hamiltonian
    args = (blockaded.local_weights, blockaded.amplitude, blockaded.phase, blockaded.detuning,
            blockaded.local_detuning, blockaded.duration, "dop853", 1e-12, 1e-9, 10**7)
    rho, _ = evolve_density_matrix(blockaded.space, *args, *rates)
    assert blockaded.dim < 2**6 and abs(np.trace(rho) - 1) < 1e-9
    states = np.array([evolve_trajectory(blockaded.space, *args, None, *rates, seed)[0] for seed in range(1500)])
    samples = np.einsum("si,sj->sij", states, states.conj())
    error = samples.std(axis=0) / np.sqrt(len(states))
    assert np.all(np.abs(samples.mean(axis=0) - rho) <= SIGMAS * error + 1e-3)
    with pytest.raises(ValueError, match="at most 1024 states"):
        big = gate(program(chain(11, 6e-6), hamiltonian(0.1e-6, 1e7))).hamiltonian
        evolve_density_matrix(big.space, None, big.amplitude, big.phase, big.detuning, None, big.duration, "dop853",
                              1e-12, 1e-9, 10**7, *rates)


def test_shots_under_decay_come_from_the_density_matrix_or_trajectories_by_cost():
    prog = random_program(np.random.default_rng(5), 3, duration=1e-6)
    model = AnalogNoise(dephasing_rate=1.5e6, relaxation_rate=5e5)
    rho = ReferenceEmulator(prog).density_matrix(model.dephasing_rate, model.relaxation_rate)
    many = noisy(prog, model)
    shots = many.run(6000)
    assert many.integration_stats["density_matrices"] == 1 and many.integration_stats["trajectories"] == 0
    n = many.hamiltonian.n_atoms
    bits = (np.arange(2**n)[:, None] >> np.arange(n - 1, -1, -1)) & 1
    for k, p in enumerate(np.diag(rho).real @ bits):
        assert_frequency(int(shots[:, k].sum()), 6000, p)
    few = noisy(prog, model)
    few.run(2**n - 1)  # fewer shots than basis states: a trajectory each
    assert few.integration_stats["trajectories"] == 2**n - 1 and few.integration_stats["density_matrices"] == 0


def test_shot_to_shot_amplitude_and_doppler_fluctuations_average_over_their_spreads():
    # A single atom's resonant pi pulse: P(Rydberg) = Omega^2 / W^2 sin^2(W t / 2), W^2 = Omega^2
    # + delta^2, averaged over Omega = (1 + s z) Omega_0 or over delta = sigma z.
    omega = 1e7
    t = np.pi / omega
    z = np.linspace(-8, 8, 4001)
    gauss = np.exp(-z**2 / 2) / np.sqrt(2 * np.pi) * (z[1] - z[0])
    prog = program(chain(1, 6e-6), hamiltonian(t, omega))
    rabi = np.maximum(0, 1 + 0.3 * z) * omega
    expected = {AnalogNoise(amplitude_sigma=0.3): gauss @ np.sin(rabi * t / 2) ** 2}
    w = np.hypot(omega, 8e6 * z)
    expected[AnalogNoise(doppler_sigma=8e6)] = gauss @ (omega**2 / w**2 * np.sin(w * t / 2) ** 2)
    for noise, p in expected.items():
        assert p < 0.9  # far from the noiseless 1
        assert_frequency(int(noisy(prog, noise).run(3000).sum()), 3000, p)


def test_noise_models_are_checked_kept_and_refused_where_unsupported():
    for bad, error in [({"false_positive": 1.5}, ValueError), ({"dephasing_rate": -1.0}, ValueError),
                       ({"doppler_sigma": float("nan")}, ValueError), ({"amplitude_sigma": True}, TypeError)]:
        with pytest.raises(error):
            AnalogNoise(**bad)
    with pytest.raises(ValueError, match="unknown noise fields"):
        AnalogNoise.from_dict({"dephasing": 1.0})
    model = AnalogNoise(state_prep_error=0.01, false_negative=0.05, dephasing_rate=1e5)
    assert loads(dumps(model)) == model == pickle.loads(pickle.dumps(model))
    g = noisy(program(chain(3, 6e-6), hamiltonian(0.2e-6, 1e7)), model)
    with pytest.raises(ValueError, match="no single final state"):
        g.evolve()
    with pytest.raises(ValueError, match="solver_name 'dop853' or 'dopri5'"):
        g.run(10, solver_name="tdvp")
    with pytest.raises(ValueError, match="interaction picture"):
        g.run(10, interaction_picture=True)
    assert g.run(10, solver_name="auto").shape == (10, 3) and g.run_info["solver"] == "dop853"
    with pytest.raises(TypeError):
        AnalogGate(g.hamiltonian, noise={"dephasing_rate": 1.0})
