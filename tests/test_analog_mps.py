"""The matrix-product-state engine (solver_name="tdvp") against the exact engine on registers
both can run, and its physics on registers only it can run."""

import numpy as np
import pytest

from analog_programs import chain, constant, gate, hamiltonian, program, random_program, waveform
from norvane.quantum import native_threads
from norvane.quantum.job.base import Geometry
from norvane.quantum.simulator.ir.mps import MPSState
from norvane.quantum.simulator.ir.state_vector import AUTO_EXACT_ATOMS


def exact_observables(g, state):
    """Densities and <n_j n_k> of an exact final state, from its basis patterns."""
    n = g.hamiltonian.n_atoms
    probabilities = np.abs(state) ** 2
    bits = ((g.hamiltonian.basis[:, None] >> np.arange(n - 1, -1, -1, dtype=np.uint64)) & np.uint64(1)).astype(float)
    correlations = bits.T @ (bits * probabilities[:, None])
    return np.diag(correlations).copy(), correlations


def full_state(g, exact):
    """An exact state in the full 2^n basis (a blockade space holds only some patterns)."""
    full = np.zeros(1 << g.hamiltonian.n_atoms, dtype=complex)
    full[g.hamiltonian.basis.astype(np.int64)] = exact
    return full


def grid_program(rng, rows, columns, blockade_radius=0.0):
    """A square array 6 um apart with two empty sites, a local detuning and random drives."""
    sites = [(x * 6e-6, y * 6e-6) for y in range(rows) for x in range(columns)]
    filling = [1] * len(sites)
    for k in rng.choice(len(sites), size=2, replace=False):
        filling[int(k)] = 0
    duration = 0.6e-6
    local = {"waveform": constant(duration, -2e7), "weights": [float(w) for w in rng.uniform(0, 1, len(sites))]}
    h = hamiltonian(duration, waveform([0, 0.2e-6, duration], [0, 1.5e7, 1.2e7]),
                    detuning=waveform([0, duration], [-1e7, 2e7]), phase=0.4, local=local)
    return program(Geometry(sites=sites, filling=filling), h, blockade_radius=blockade_radius)


REGISTERS = {
    "chain": lambda rng: random_program(rng, 8),
    "chain without local detuning": lambda rng: random_program(rng, 10, local=False),
    "2D with empty sites": lambda rng: grid_program(rng, 3, 4),
    "2D under a blockade radius": lambda rng: grid_program(rng, 3, 4, blockade_radius=7e-6),
}


@pytest.mark.parametrize("make", REGISTERS.values(), ids=REGISTERS.keys())
def test_tdvp_agrees_with_the_exact_engine(make):
    g = gate(make(np.random.default_rng(len(REGISTERS))), seed=3)
    exact = g.evolve(atol=1e-12, rtol=1e-10)
    densities, correlations = exact_observables(g, exact)
    mps = g.evolve(solver_name="tdvp", precision=1e-8, dt=1e-9)
    assert isinstance(mps, MPSState) and g.run_info["solver"] == "tdvp"
    assert mps.n_atoms == g.hamiltonian.n_atoms and len(mps.bond_dims) == mps.n_atoms - 1
    fidelity = abs(np.vdot(full_state(g, exact), mps.to_statevector())) ** 2
    assert fidelity > 1 - 1e-6
    np.testing.assert_allclose(mps.densities(), densities, atol=1e-4)
    np.testing.assert_allclose(mps.correlations(), correlations, atol=1e-4)


def test_sampled_shots_follow_the_state_and_the_seed():
    g = gate(random_program(np.random.default_rng(5), 7), seed=11)
    n = g.hamiltonian.n_atoms
    exact = np.abs(full_state(g, g.evolve())) ** 2
    shots = g.run(20000, solver_name="tdvp")
    assert shots.shape == (20000, n) and shots.dtype == np.int64
    patterns = shots @ (1 << np.arange(n - 1, -1, -1))
    frequencies = np.bincount(patterns, minlength=1 << n) / len(shots)
    # Each frequency within 5 standard deviations of its probability.
    assert np.all(np.abs(frequencies - exact) <= 5 * np.sqrt(exact * (1 - exact) / len(shots)) + 1e-9)
    again = gate(random_program(np.random.default_rng(5), 7), seed=11).run(20000, solver_name="tdvp")
    np.testing.assert_array_equal(again, shots)
    state = g.evolve(solver_name="tdvp")
    np.testing.assert_array_equal(state.sample(50, seed=2), state.sample(50, seed=2))


def sweep(n, duration=1.2e-6, blockade_radius=0.0):
    """An adiabatic sweep of an n-atom chain 5.5 um apart towards its ordered phase."""
    h = hamiltonian(duration, waveform([0, 0.2e-6, duration - 0.2e-6, duration], [0, 2.5e7, 2.5e7, 0]),
                    detuning=waveform([0, 0.2e-6, duration - 0.2e-6, duration], [-4e7, -4e7, 6e7, 6e7]))
    return program(chain(n, 5.5e-6), h, blockade_radius=blockade_radius)


def quench(n, duration=0.3e-6):
    """A chain 5.5 um apart driven at constant Rabi frequency and detuning."""
    return program(chain(n, 5.5e-6), hamiltonian(duration, 1.5e7, detuning=5e6))


def test_a_chain_beyond_the_exact_engine():
    g = gate(quench(51))
    state = g.evolve(solver_name="tdvp", max_bond_dim=16)
    densities = state.densities()
    assert state.n_atoms == 51 and max(state.bond_dims) <= 16
    # Mirror symmetry of the chain and its drive.
    np.testing.assert_allclose(densities, densities[::-1], atol=1e-6)
    # The ends see only their neighbourhood: a 12-atom chain, computed exactly, agrees there.
    short = gate(quench(12))
    exact, _ = exact_observables(short, short.evolve(atol=1e-12, rtol=1e-10))
    np.testing.assert_allclose(densities[:3], exact[:3], atol=1e-4)
    # Truncation is reported; a bond cap reached early (bonds then kept by one-site updates,
    # which discard nothing) costs accuracy all the same, and the state says it was capped.
    assert state.discarded_weight > 0
    coarse = g.evolve(solver_name="tdvp", max_bond_dim=4)
    assert coarse.capped and g.run_info["capped"]
    error = np.abs(densities[:3] - exact[:3]).max()
    assert np.abs(coarse.densities()[:3] - exact[:3]).max() > 10 * error


def test_blockade_radius_keeps_neighbours_apart_and_threads_change_nothing():
    g = gate(sweep(30, duration=0.6e-6, blockade_radius=6e-6))
    results = []
    for threads in (1, 2):
        native_threads.set_max_threads(threads)
        try:
            state = g.evolve(solver_name="tdvp", max_bond_dim=16, dt=2e-8)
        finally:
            native_threads.set_max_threads(0)
        results.append((state.densities(), state.correlations()))
    np.testing.assert_array_equal(results[0][0], results[1][0])
    correlations = results[0][1]
    # Only truncation can leak out of the blockaded space.
    assert max(abs(correlations[k, k + 1]) for k in range(29)) < 1e-6
    assert results[0][0].max() > 0.1


def test_solver_choice_and_options():
    small = gate(random_program(np.random.default_rng(2), 4))
    small.evolve(solver_name="auto")
    assert small.run_info == {"solver": "dop853"}
    large = gate(sweep(AUTO_EXACT_ATOMS + 1, duration=0.5e-6))
    assert isinstance(large.run(0, project_hyperfine=False, solver_name="auto", max_bond_dim=8), MPSState)
    for options in ({"max_bond_dim": 8}, {"precision": 1e-5}):
        with pytest.raises(ValueError, match="solver_name='tdvp' only"):
            small.evolve(solver_name="dop853", **options)
    for options, message in [({"max_bond_dim": 0}, "max_bond_dim"), ({"dt": -1.0}, "dt"),
                             ({"precision": float("nan")}, "precision"), ({"dt": 1e-15}, "time steps")]:
        with pytest.raises(ValueError, match=message):
            small.evolve(solver_name="tdvp", **options)
    with pytest.raises(TypeError):
        small.evolve(solver_name="tdvp", max_bond_dim="8")
