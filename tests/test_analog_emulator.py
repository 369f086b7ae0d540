"""The analog emulator against its literal reference model and against known physics."""

import numpy as np
import pytest

from analog_programs import chain, constant, gate, hamiltonian, program, random_program, waveform
from reference.analog_reference import ReferenceEmulator, dop853, fidelity


@pytest.mark.parametrize("seed", range(6))
@pytest.mark.parametrize("solver", ["dop853", "dopri5"])
def test_agrees_with_reference_on_random_programs(seed, solver):
    rng = np.random.default_rng(seed)
    prog = random_program(rng, n_sites=int(rng.integers(1, 5)))
    ours = gate(prog, seed=seed)
    reference = ReferenceEmulator(prog)
    psi = ours.run(0, project_hyperfine=False, solver_name=solver)
    expected = reference.final_state(solver)
    assert fidelity(psi, expected) > 1 - 1e-7
    in_frame = ours.run(0, project_hyperfine=False, solver_name=solver, interaction_picture=True)
    assert fidelity(in_frame, expected) > 1 - 1e-7
    shots = ours.run(200, solver_name=solver)
    np.testing.assert_array_equal(shots, reference.sample(expected, 200, seed))


def smooth_program():
    ramp = waveform([0, 0.5e-6, 1e-6], [0, 1.2e7, 3e6])
    h = hamiltonian(1e-6, ramp, waveform([0, 1e-6], [-1e7, 2e7]), waveform([0, 1e-6], [0, 0.7]))
    return program(chain(2, 7e-6), h)


def test_dop853_takes_the_literal_algorithms_steps():
    # Same steps as Hairer's algorithm written out: agreement far below the tolerance (a
    # different step sequence lands ~1e-8 away).
    prog = smooth_program()
    ours, reference = gate(prog), ReferenceEmulator(prog)
    psi = ours.run(0, project_hyperfine=False)

    def f(t, y):
        return (-1j * (reference.matrix(t) @ y.view(complex))).view(float)

    start = np.zeros(4, dtype=complex)
    start[0] = 1
    expected, times = dop853(f, 0.0, 1e-6, start.view(float), 1e-14, 1e-7, 2147483647)
    assert ours.integration_stats["accepted"] == len(times) - 1
    assert np.abs(psi - expected.view(complex)).max() < 1e-10


def test_dopri5_takes_scipys_steps():
    # The same step sequence as SciPy's dopri5 on a smooth drive: agreement far below the
    # tolerance, and the same smallest sufficient step limit.
    prog = smooth_program()
    ours, reference = gate(prog), ReferenceEmulator(prog)
    psi = ours.run(0, project_hyperfine=False, solver_name="dopri5")
    assert np.abs(psi - reference.final_state("dopri5")).max() < 1e-12
    steps = ours.integration_stats["steps"]
    ours.run(0, project_hyperfine=False, solver_name="dopri5", nsteps=steps - 1)
    with pytest.raises(RuntimeError, match="nsteps=%d" % (steps - 2)):
        ours.run(0, project_hyperfine=False, solver_name="dopri5", nsteps=steps - 2)
    with pytest.warns(UserWarning), pytest.raises(RuntimeError):
        reference.final_state("dopri5", nsteps=steps - 2)
    reference.final_state("dopri5", nsteps=steps - 1)


def rydberg_density(psi, basis, n):
    p = np.abs(psi) ** 2
    bits = (basis[:, None] >> np.arange(n - 1, -1, -1, dtype=np.uint64)) & np.uint64(1)
    return p @ bits.astype(float)


def test_single_atom_rabi_oscillation():
    omega = 2 * np.pi * 2e6
    for t in [0.1e-6, 0.25e-6, 0.4e-6]:
        g = gate(program(chain(1, 5e-6), hamiltonian(t, omega)))
        psi = g.run(0, project_hyperfine=False)
        assert abs(abs(psi[1]) ** 2 - np.sin(omega * t / 2) ** 2) < 1e-7


def test_blockaded_pair_oscillates_sqrt2_faster_and_never_doubly_excited():
    omega = 2 * np.pi * 1e6
    for radius in (0.0, 8e-6):  # strong interaction alone, then the blockade subspace
        for t in [0.15e-6, 0.3e-6]:
            g = gate(program(chain(2, 4e-6), hamiltonian(t, omega), blockade_radius=radius))
            psi = g.run(0, project_hyperfine=False)
            p = dict(zip(g.hamiltonian.basis.tolist(), np.abs(psi) ** 2))
            assert abs(p[0b01] + p[0b10] - np.sin(np.sqrt(2) * omega * t / 2) ** 2) < 2e-3
            assert p.get(0b11, 0.0) < 1e-3


def test_far_apart_atoms_evolve_independently():
    omega, delta, t = 2 * np.pi * 1.5e6, 2 * np.pi * 0.7e6, 0.37e-6
    single = gate(program(chain(1, 1e-3), hamiltonian(t, omega, delta))).run(0, project_hyperfine=False)
    pair = gate(program(chain(2, 1e-3), hamiltonian(t, omega, delta))).run(0, project_hyperfine=False)
    assert fidelity(pair, np.kron(single, single)) > 1 - 1e-9


def adiabatic_sweep(n, spacing=5.5e-6, duration=1.5e-6, radius=0.0):
    omega, delta = 2 * np.pi * 2.5e6, 2 * np.pi * 6e6
    ramp = duration / 6
    h = hamiltonian(
        duration,
        waveform([0, ramp, duration - ramp, duration], [0, omega, omega, 0]),
        waveform([0, ramp, duration - ramp, duration], [-delta, -delta, delta, delta]),
    )
    return program(chain(n, spacing), h, blockade_radius=radius)


def test_interaction_picture_matches_lab_frame():
    g = gate(adiabatic_sweep(6))
    lab = g.run(0, project_hyperfine=False)
    rotating = g.run(0, project_hyperfine=False, interaction_picture=True)
    assert fidelity(lab, rotating) > 1 - 1e-7


def test_blockade_subspace_matches_full_space():
    # At 4 um spacing the nearest-neighbour energy is ~100x the drive: states with adjacent
    # Rydberg atoms keep negligible weight, and a radius dropping them changes little.
    h = hamiltonian(0.6e-6, 2 * np.pi * 1e6, 2 * np.pi * 0.3e6)
    full = gate(program(chain(6, 4e-6), h))
    sub = gate(program(chain(6, 4e-6), h, blockade_radius=5e-6))
    psi_full = full.run(0, project_hyperfine=False)
    psi_sub = sub.run(0, project_hyperfine=False)
    basis = sub.hamiltonian.basis
    assert len(basis) == 21  # Fibonacci: 6 atoms with no two neighbours excited
    kept = psi_full[basis.astype(np.int64)]
    assert 1 - np.vdot(kept, kept).real < 5e-5
    assert fidelity(kept, psi_sub) > 1 - 5e-5
    np.testing.assert_allclose(
        rydberg_density(psi_sub, basis, 6), rydberg_density(psi_full, full.hamiltonian.basis, 6), atol=1e-3
    )


def test_results_do_not_depend_on_thread_count():
    # 2^16 amplitudes: large enough for the kernels and sums to split over threads.
    from norvane.quantum.simulator import _rydberg

    g = gate(adiabatic_sweep(16, duration=0.01e-6))
    try:
        _rydberg._set_max_threads(1)
        one = g.run(0, project_hyperfine=False, atol=1e-8, rtol=1e-5)
        _rydberg._set_max_threads(3)
        three = g.run(0, project_hyperfine=False, atol=1e-8, rtol=1e-5)
    finally:
        _rydberg._set_max_threads(0)
    np.testing.assert_array_equal(one, three)


def test_seeded_shots_repeat_and_have_the_right_shape():
    prog = program(chain(3, 6e-6, filling=[1, 0, 1]), hamiltonian(0.3e-6, 2 * np.pi * 1e6))
    first = gate(prog, seed=5).run(50)
    assert first.shape == (50, 2) and first.dtype == np.int64
    np.testing.assert_array_equal(first, gate(prog, seed=5).run(50))
    assert set(np.unique(first)) <= {0, 1}
