"""The exact engine's Lanczos propagator (solver_name="krylov") against the dense reference and
a literal fourth-order Magnus scheme."""

import numpy as np
import pytest
from scipy.linalg import expm

from analog_programs import chain, constant, gate, hamiltonian, program, random_program, waveform
from norvane.quantum import native_threads
from norvane.quantum.job.base import Geometry
from norvane.quantum.simulator.ir.state_vector import choose_solver
from reference.analog_reference import ReferenceEmulator, fidelity


@pytest.mark.parametrize("seed", range(4))
def test_agrees_with_reference_on_random_programs(seed):
    # Random drives, phases, local detunings and empty sites; dt small enough for 1e-10.
    rng = np.random.default_rng(seed)
    prog = random_program(rng, n_sites=int(rng.integers(2, 6)))
    ours, reference = gate(prog, seed=seed), ReferenceEmulator(prog)
    expected = reference.final_state(atol=1e-13, rtol=1e-11)
    psi = ours.run(0, project_hyperfine=False, solver_name="krylov", dt=2e-9)
    assert ours.run_info == {"solver": "krylov"} and ours.integration_stats["steps"] >= 250
    assert fidelity(psi, expected) > 1 - 1e-10
    np.testing.assert_array_equal(ours.run(300, solver_name="krylov", dt=2e-9), reference.sample(expected, 300, seed))


def magnus4(reference, knots, dt):
    """The commutator-free fourth-order Magnus scheme written out with dense exponentials:
    steps of at most dt between knots, two exponentials at the Gauss points per step."""
    s3 = np.sqrt(3)
    nodes, weights = (0.5 - s3 / 6, 0.5 + s3 / 6), ((3 - 2 * s3) / 12, (3 + 2 * s3) / 12)
    psi = np.zeros(2**reference.n, dtype=complex)
    psi[0] = 1
    for start, end in zip(knots[:-1], knots[1:]):
        steps = int(np.ceil((end - start) / dt - 1e-9))
        h = (end - start) / steps
        for k in range(steps):
            h1, h2 = (reference.matrix(start + (k + c) * h) for c in nodes)
            psi = expm(-1j * h * (weights[1] * h1 + weights[0] * h2)) @ psi
            psi = expm(-1j * h * (weights[0] * h1 + weights[1] * h2)) @ psi
    return psi


def test_takes_the_fourth_order_magnus_steps():
    # Steps end at every knot; at dt 40 ns the scheme's own error (~1e-2) is far above the
    # Lanczos error, so agreement with the literal scheme checks the steps themselves, and
    # halving dt shrinks the error by about 2^4 once in the asymptotic range.
    duration = 1.2e-6
    knots = [0, 0.2e-6, 0.7e-6, duration]
    h = hamiltonian(duration, waveform(knots, [0, 2.5e7, 2.0e7, 0]),
                    detuning=waveform([0, 0.7e-6, duration], [-4e7, 2e7, 6e7]), phase=waveform([0, duration], [0, 1]))
    prog = program(chain(4, 5.5e-6), h)
    ours, reference = gate(prog), ReferenceEmulator(prog)
    coarse = ours.evolve(solver_name="krylov", dt=4e-8)
    assert np.abs(coarse - magnus4(reference, knots, 4e-8)).max() < 1e-9
    # 240 exponentials, each within 1e-11 of exact by the Lanczos error bound.
    fine = ours.evolve(solver_name="krylov", dt=1e-8)
    assert np.linalg.norm(fine - magnus4(reference, knots, 1e-8)) < 240 * 1e-11
    exact = reference.final_state(atol=1e-13, rtol=1e-11)
    errors = [np.linalg.norm(ours.evolve(solver_name="krylov", dt=dt) - exact) for dt in (1e-8, 5e-9, 2.5e-9)]
    assert errors[0] > 8 * errors[1] > 64 * errors[2]


def test_an_exponential_beyond_one_krylov_basis_is_taken_in_parts():
    # Atoms 3 um apart interact at ~7e9 rad/s: one 100 ns step turns the doubly excited states
    # by hundreds of radians, more than 30 Lanczos vectors resolve, so exponentials restart.
    # Six atoms: 64 states, so that 30 vectors do not span the space.
    prog = program(chain(6, 3e-6), hamiltonian(0.4e-6, 3e7, detuning=1e7))
    ours, reference = gate(prog), ReferenceEmulator(prog)
    psi = ours.evolve(solver_name="krylov", dt=1e-7)
    stats = ours.integration_stats
    assert stats["steps"] == 4 and stats["accepted"] > 2 * stats["steps"]
    assert fidelity(psi, reference.final_state(atol=1e-13, rtol=1e-11)) > 1 - 1e-7


def test_same_state_on_one_and_two_threads_and_in_a_blockade_space():
    # 17 atoms: the mirror sector's 2^16 + 2^8 amplitudes (the middle atom fixed), split over
    # threads; a blockade radius restricts the space.
    prog = program(chain(17, 5.5e-6), hamiltonian(0.05e-6, 2.5e7, detuning=1e7))
    states = []
    for threads in (1, 2):
        native_threads.set_max_threads(threads)
        try:
            states.append(gate(prog).evolve(solver_name="krylov"))
        finally:
            native_threads.set_max_threads(0)
    np.testing.assert_array_equal(states[0], states[1])
    sites = [(x * 5e-6, y * 5e-6) for y in range(3) for x in range(3)]
    blockaded = program(Geometry(sites=sites, filling=[1] * 9), hamiltonian(0.3e-6, 2e7, detuning=5e6),
                        blockade_radius=7.5e-6)
    ours = gate(blockaded)
    reference = ours.evolve(atol=1e-13, rtol=1e-11)
    assert fidelity(ours.evolve(solver_name="krylov", dt=2e-9), reference) > 1 - 1e-10


def test_options():
    g = gate(random_program(np.random.default_rng(1), 3))
    with pytest.raises(ValueError, match="dt applies to solver_name='tdvp' or 'krylov' only, not 'dop853'"):
        g.evolve(dt=1e-9)
    with pytest.raises(ValueError, match="max_bond_dim applies to solver_name='tdvp' only, not 'krylov'"):
        g.evolve(solver_name="krylov", max_bond_dim=8)
    for dt, message in [(-1.0, "dt must be a positive"), (float("nan"), "dt must be"), (1e-15, "time steps")]:
        with pytest.raises(ValueError, match=message):
            g.evolve(solver_name="krylov", dt=dt)
    with pytest.raises(TypeError):
        g.evolve(solver_name="krylov", dt="1e-9")


def test_auto_takes_lanczos_steps_where_interactions_dominate_a_large_space():
    strong, weak = (gate(program(chain(15, spacing), hamiltonian(0.2e-6, 2.5e7, detuning=1e7))).hamiltonian
                    for spacing in (5.5e-6, 12e-6))
    assert (choose_solver(strong), choose_solver(weak), choose_solver(strong, dt=1e-10)) == ("krylov", "dop853", "dop853")
    small = gate(program(chain(5, 3e-6), hamiltonian(0.2e-6, 2.5e7)))
    small.evolve(solver_name="auto", max_bond_dim=8)  # options of solvers it does not pick are unused
    assert small.run_info == {"solver": "dop853"}


def grid(columns, rows, spacing=5.5e-6):
    return [(x * spacing, y * spacing) for y in range(rows) for x in range(columns)]


MIRRORED = {
    # sites, filling, amplitudes of the mirror sector (16 x 16 blocks on and above the diagonal)
    "chain of 12": (grid(12, 1), None, 10 * 256),
    "chain of 11, middle atom fixed": (grid(11, 1), None, 2 * 3 * 256),
    "4 x 3 array": (grid(4, 3), None, 10 * 256),
    "3 x 3 array, half turn": (grid(3, 3), None, 2 * 3 * 64),
    "empty sites": (grid(5, 2), [1, 0, 1, 0, 1, 1, 1, 0, 1, 1], 2 * 3 * 16),
    "five atoms on the axis": ([(x * 5.5e-6, 0) for x in (0, 1, 2, 3, 5)]
                               + [(x * 5.5e-6, y * 5.5e-6) for x in (1, 2, 3) for y in (1, -1)], None, 2**5 * 3 * 16),
}


@pytest.mark.parametrize("name", MIRRORED)
def test_mirror_symmetric_registers_evolve_in_the_symmetric_states_alone(name):
    # The same physics twice: with weights on a local detuning of zero that no mirror keeps,
    # the full space evolves. The sector must give the same state within the Lanczos error.
    sites, filling, amplitudes = MIRRORED[name]
    filling = filling or [1] * len(sites)
    geometry = Geometry(sites=sites, filling=filling)
    n = sum(filling)
    duration = 0.3e-6
    amplitude = waveform([0, 0.1e-6, duration], [0, 2.5e7, 1e7])
    drive = dict(detuning=waveform([0, duration], [-2e7, 3e7]), phase=waveform([0, duration], [0, 0.7]))
    symmetric = gate(program(geometry, hamiltonian(duration, amplitude, **drive)))
    weights = [float(w) for w in np.random.default_rng(7).uniform(0, 1, len(sites))]  # all different
    broken = gate(program(geometry, hamiltonian(duration, amplitude, **drive,
                                                local={"waveform": constant(duration, 0.0), "weights": weights})))
    psi = symmetric.evolve(solver_name="krylov", dt=5e-9)
    full = broken.evolve(solver_name="krylov", dt=5e-9)
    assert broken.integration_stats["amplitudes"] == 2**n
    assert symmetric.integration_stats["amplitudes"] == amplitudes
    assert np.abs(psi - full).max() < 1e-11
    assert abs(np.linalg.norm(psi) - 1) < 1e-12


def test_a_mirror_must_keep_every_interaction_and_weight():
    # Symmetric local-detuning weights keep the mirror; moving one atom by 1e-4 of the spacing,
    # or weights that differ, lose it.
    duration = 0.2e-6
    local = {"waveform": waveform([0, duration], [1e7, -2e7]), "weights": [0.5, 1, 0.25, 0.25, 1, 0.5]}
    h = hamiltonian(duration, 2e7, detuning=1e7, local=local)
    kept = gate(program(chain(6, 5.5e-6), h))
    reference = ReferenceEmulator(program(chain(6, 5.5e-6), h))
    assert fidelity(kept.evolve(solver_name="krylov", dt=2e-9), reference.final_state(atol=1e-13, rtol=1e-11)) > 1 - 1e-10
    assert kept.integration_stats["amplitudes"] == 3 * 16
    moved = Geometry(sites=[(0, 0), *grid(6, 1)[1:5], (5 * 5.5e-6 + 5.5e-10, 0)], filling=[1] * 6)
    uneven = dict(local, weights=[0.5, 1, 0.25, 0.25, 1, 0.5 + 1e-9])
    for prog in (program(moved, h), program(chain(6, 5.5e-6), hamiltonian(duration, 2e7, detuning=1e7, local=uneven))):
        g = gate(prog)
        g.evolve(solver_name="krylov", dt=2e-9)
        assert g.integration_stats["amplitudes"] == 64
