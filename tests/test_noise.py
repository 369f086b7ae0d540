"""Noise channels and models, the exact density matrix and noisy trajectories against literal
NumPy models."""

import math
import pickle

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from norvane.quantum import noise, serialize
from norvane.quantum.ir.digital import gate as g
from norvane.quantum.ir.digital.circuit import DigitalCircuit
from norvane.quantum.ir.digital.conditional import ClassicalCondition, ConditionalInstruction
from norvane.quantum.ir.digital.measurement import Measurement, MeasurementBasis
from norvane.quantum.simulator.digital import dense_sim
from norvane.quantum.simulator.digital.dense_sim import DigitalDenseSimulator
from tests.reference.dense_reference import ReferenceSimulator
from tests.reference.noise_reference import TrajectoryReference, density_matrix, embed
from tests.test_dense_sim_properties import DEFAULT_BRANCH_BUDGET, circuits, random_unitary

X = np.array([[0, 1], [1, 0]], dtype=complex)
Z = np.diag([1.0, -1.0]).astype(complex)


def apply_channel(channel, rho):
    return sum(k @ rho @ k.conj().T for k in channel.operators)


def random_rho(dim, seed):
    rng = np.random.default_rng(seed)
    a = rng.normal(size=(dim, dim)) + 1j * rng.normal(size=(dim, dim))
    rho = a @ a.conj().T
    return rho / np.trace(rho)


# --- channels -------------------------------------------------------------------------------

@pytest.mark.parametrize("n", [1, 2])
def test_depolarizing_mixes_towards_the_maximally_mixed_state(n):
    rho = random_rho(2**n, n)
    out = apply_channel(noise.depolarizing(0.3, n), rho)
    np.testing.assert_allclose(out, 0.7 * rho + 0.3 * np.eye(2**n) / 2**n, atol=1e-12)


def test_named_channels_follow_their_conventions():
    rho = random_rho(2, 5)
    np.testing.assert_allclose(apply_channel(noise.bit_flip(0.2), rho), 0.8 * rho + 0.2 * X @ rho @ X, atol=1e-12)
    np.testing.assert_allclose(apply_channel(noise.phase_flip(0.2), rho), 0.8 * rho + 0.2 * Z @ rho @ Z, atol=1e-12)
    damped = apply_channel(noise.amplitude_damping(0.4), rho)
    assert damped[1, 1] == pytest.approx(0.6 * rho[1, 1].real)
    assert damped[0, 1] == pytest.approx(math.sqrt(0.6) * rho[0, 1])
    dephased = apply_channel(noise.phase_damping(0.36), rho)
    np.testing.assert_allclose(np.diag(dephased), np.diag(rho), atol=1e-12)
    assert dephased[0, 1] == pytest.approx(0.8 * rho[0, 1])


def test_mixtures_of_unitaries_are_recognised():
    assert len(noise.depolarizing(0.3).unitary_mixture) == 4
    assert [p for p, _ in noise.bit_flip(0.25).unitary_mixture] == pytest.approx([0.75, 0.25])
    scaled = noise.kraus([math.sqrt(0.5) * random_unitary(1, 1), math.sqrt(0.5) * random_unitary(1, 2)])
    assert [p for p, _ in scaled.unitary_mixture] == pytest.approx([0.5, 0.5])
    assert noise.amplitude_damping(0.3).unitary_mixture is None
    assert noise.phase_damping(0.3).unitary_mixture is None
    # A zero operator is left out; the identity is drawn as nothing at all.
    assert noise.amplitude_damping(0.0)._sampling_terms() == (True, ((1.0, None),))


def test_bad_channels_are_refused_with_the_reason():
    with pytest.raises(ValueError, match="not complete.*0.19"):
        noise.kraus([0.9 * np.eye(2)])
    with pytest.raises(ValueError, match=r"\[0, 1\]"):
        noise.depolarizing(1.5)
    with pytest.raises(ValueError, match=r"\[0, 1\]"):
        noise.readout_error(0.1, -0.1)
    with pytest.raises(ValueError, match="power of two"):
        noise.kraus([np.eye(3)])
    with pytest.raises(ValueError, match="shape"):
        noise.kraus([np.eye(2), np.zeros((4, 4))])
    with pytest.raises(TypeError):
        noise.bit_flip("0.1")
    with pytest.raises(TypeError):
        noise.kraus(np.eye(2))
    with pytest.raises(TypeError):
        noise.kraus([[["a", "b"], ["c", "d"]]])
    with pytest.raises(TypeError):
        noise.depolarizing(0.1, 1.5)


# --- models ---------------------------------------------------------------------------------

def test_channels_follow_matching_gates_on_their_targets():
    model = noise.NoiseModel()
    one, two = noise.bit_flip(0.1), noise.depolarizing(0.1, 2)
    model.add(one, qubits=[1, 2])
    model.add(two, gates=[g.CX])
    assert model.channels_after(g.CX([2, 1])) == [(one, (2,)), (one, (1,)), (two, (2, 1))]
    assert model.channels_after(g.H([0])) == []
    assert model.channels_after(g.CZ([1, 2])) == [(one, (1,)), (one, (2,))]
    conditional = ConditionalInstruction(g.CX([0, 1]), ClassicalCondition([0], 1))
    assert model.channels_after(conditional) == [(one, (1,)), (two, (0, 1))]
    with pytest.raises(TypeError):
        model.add(noise.readout_error(0.1, 0.1))
    with pytest.raises(TypeError):
        model.add(one, gates=g.CX)
    with pytest.raises(TypeError):
        model.add(one, qubits=[0.5])


def test_readout_errors_on_one_qubit_compose():
    model = noise.NoiseModel()
    model.add_readout(noise.readout_error(0.1, 0.2))
    model.add_readout(noise.readout_error(0.3, 0.0), qubits=[1])
    assert model.readout_for(0) == noise.readout_error(0.1, 0.2)
    combined = model.readout_for(1)
    assert combined.p01 == pytest.approx(0.1 + 0.9 * 0.3)
    assert combined.p10 == pytest.approx(0.2 * 0.7)


def example_model():
    model = noise.NoiseModel()
    model.add(noise.depolarizing(0.05, 2), gates=[g.CX, g.CZ])
    model.add(noise.amplitude_damping(0.1), qubits=[0])
    model.add(noise.kraus([math.sqrt(0.7) * np.eye(2), math.sqrt(0.3) * random_unitary(1, 3)]), gates=[g.UnitaryGate])
    model.add_readout(noise.readout_error(0.02, 0.05), qubits=[1])
    return model


def test_models_and_channels_round_trip_through_pickle_and_the_serializer():
    model = example_model()
    for value in [model, noise.phase_damping(0.2), noise.readout_error(0.1, 0.3), *[c for c, _, _ in model._rules]]:
        assert pickle.loads(pickle.dumps(value)) == value
        assert serialize.loads(serialize.dumps(value)) == value
    circuit = DigitalCircuit(2, [g.H([0]), g.CX([0, 1]), Measurement([0, 1])])
    sim = DigitalDenseSimulator(circuit, seed=3, noise=model)
    copy = pickle.loads(pickle.dumps(sim))
    assert copy.noise == model
    assert copy.run(200).memory == sim.run(200).memory


# --- the density matrix ---------------------------------------------------------------------

@st.composite
def noise_models(draw, n):
    model = noise.NoiseModel()
    makers = [
        lambda p: noise.depolarizing(p), lambda p: noise.bit_flip(p), lambda p: noise.phase_flip(p),
        lambda p: noise.amplitude_damping(p), lambda p: noise.phase_damping(p),
        lambda p: noise.kraus([math.sqrt(1 - p) * np.eye(2), math.sqrt(p) * random_unitary(1, 7)]),
        lambda p: noise.kraus([math.sqrt(1 - p) * np.eye(4), math.sqrt(p) * random_unitary(2, 8)]),
        lambda p: noise.depolarizing(p, 2),
    ]
    for _ in range(draw(st.integers(1, 3))):
        channel = draw(st.sampled_from(makers))(draw(st.floats(0.0, 0.4)))
        gates = draw(st.one_of(st.none(), st.lists(st.sampled_from([g.H, g.CX, g.RX, g.CZ, g.UnitaryGate]), min_size=1)))
        qubits = draw(st.one_of(st.none(), st.lists(st.integers(0, n - 1), min_size=1)))
        model.add(channel, gates=gates, qubits=qubits)
    if draw(st.booleans()):
        model.add_readout(noise.readout_error(draw(st.floats(0, 0.3)), draw(st.floats(0, 0.3))),
                          qubits=draw(st.one_of(st.none(), st.lists(st.integers(0, n - 1), min_size=1))))
    return model


def without_mid_circuit_measurements(circuit):
    """The circuit's gates (conditional ones too), then its measurements."""
    gates = [i for i in circuit.instructions if not isinstance(i, Measurement)]
    measured = [i for i in circuit.instructions if isinstance(i, Measurement)]
    return DigitalCircuit(circuit.n_qubits, gates + measured, circuit.n_cbits)


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.data(), st.floats(-4, 4, allow_nan=False))
def test_density_matrix_matches_the_kraus_sums(data, theta):
    circuit = without_mid_circuit_measurements(data.draw(circuits()))
    model = data.draw(noise_models(circuit.n_qubits))
    rho = DigitalDenseSimulator(circuit, noise=model).density_matrix(theta=theta)
    np.testing.assert_allclose(rho, density_matrix(circuit, model, theta=theta), atol=1e-10)
    assert np.trace(rho) == pytest.approx(1.0)
    noiseless = ReferenceSimulator(circuit).statevector(theta=theta)
    if not any(isinstance(i, ConditionalInstruction) for i in circuit.instructions):
        np.testing.assert_allclose(DigitalDenseSimulator(circuit).density_matrix(theta=theta),
                                   np.outer(noiseless, noiseless.conj()), atol=1e-10)


def test_density_matrix_refuses_what_it_does_not_cover():
    mid = DigitalCircuit(2, [g.H([0]), Measurement([0]), g.X([1])], 2)
    with pytest.raises(ValueError, match="measurements all come last"):
        DigitalDenseSimulator(mid).density_matrix()
    with pytest.raises(ValueError, match="up to 13 qubits"):
        DigitalDenseSimulator(DigitalCircuit(14, [g.H([0])])).density_matrix()


# --- trajectories ---------------------------------------------------------------------------

@settings(max_examples=80, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.data(), st.integers(0, 2**32 - 1), st.sampled_from([0, 1 << 30]))
def test_trajectories_match_the_reference_shot_for_shot(data, seed, branch_budget):
    circuit = data.draw(circuits())
    model = data.draw(noise_models(circuit.n_qubits))
    native = DigitalDenseSimulator(circuit, seed=seed, noise=model)
    reference = TrajectoryReference(circuit, model, seed=seed)
    dense_sim._set_branch_memory_budget(branch_budget)
    try:
        result = native.run(41, theta=0.4)
        second = native.run(5, theta=0.4)
    finally:
        dense_sim._set_branch_memory_budget(DEFAULT_BRANCH_BUDGET)
    counts, memory = reference.run(41, theta=0.4)
    assert result.memory == memory
    assert result.counts == counts
    assert second.memory == reference.run(5, theta=0.4)[1]


def test_empty_and_zero_strength_models_give_the_noiseless_results():
    circuit = DigitalCircuit(3, [
        g.H([0]), g.CX([0, 1]), Measurement([0], [0], MeasurementBasis.X), g.RY([2], [0.3]),
        ConditionalInstruction(g.X([2]), ClassicalCondition([0], 1)), g.CZ([1, 2]), Measurement([1, 2], [1, 2]),
    ], 3)
    zero = noise.NoiseModel()
    for channel in [noise.depolarizing(0.0), noise.depolarizing(0.0, 2), noise.amplitude_damping(0.0),
                    noise.phase_damping(0.0), noise.bit_flip(0.0)]:
        zero.add(channel)
    zero.add_readout(noise.readout_error(0.0, 0.0))
    expected = ReferenceSimulator(circuit, seed=11).run(500)[1]
    for model in [None, noise.NoiseModel(), zero]:
        assert DigitalDenseSimulator(circuit, seed=11, noise=model).run(500).memory == expected
    np.testing.assert_allclose(DigitalDenseSimulator(circuit, noise=noise.NoiseModel()).statevector(),
                               ReferenceSimulator(circuit).statevector(), atol=1e-12)
    with pytest.raises(ValueError, match="density_matrix"):
        DigitalDenseSimulator(circuit, noise=zero).statevector()
    with pytest.raises(TypeError, match="NoiseModel"):
        DigitalDenseSimulator(circuit, noise="depolarizing")


def five_sigma_check(counts, probabilities, shots):
    for outcome, p in probabilities.items():
        sigma = math.sqrt(shots * p * (1 - p)) + 1.0
        assert abs(counts.get(outcome, 0) - shots * p) <= 5 * sigma, (outcome, counts.get(outcome, 0), shots * p)
    assert set(counts) <= {o for o, p in probabilities.items() if p > 0}


@pytest.mark.parametrize("general", [False, True])
def test_trajectory_counts_follow_the_density_matrix(general):
    n = 4
    instructions = [g.H([0])] + [g.CX([q, q + 1]) for q in range(n - 1)] + [g.RY([2], [0.8]), g.RZZ([1, 3], [0.5])]
    circuit = DigitalCircuit(n, instructions + [Measurement(range(n))], n)
    model = noise.NoiseModel()
    model.add(noise.depolarizing(0.08, 2), gates=[g.CX])
    model.add(noise.bit_flip(0.03))
    if general:
        model.add(noise.amplitude_damping(0.15))
        model.add(noise.phase_damping(0.2), gates=[g.RY])
    shots = 20000
    counts = DigitalDenseSimulator(circuit, seed=2024, noise=model).run(shots).counts
    diagonal = np.real(np.diag(DigitalDenseSimulator(circuit, noise=model).density_matrix()))
    five_sigma_check(counts, {format(i, f"0{n}b"): p for i, p in enumerate(diagonal)}, shots)


def test_readout_errors_flip_recorded_bits_with_their_probabilities():
    circuit = DigitalCircuit(2, [g.X([0]), Measurement([0, 1])], 2)
    model = noise.NoiseModel()
    model.add_readout(noise.readout_error(0.1, 0.25))
    shots = 20000
    counts = DigitalDenseSimulator(circuit, seed=5, noise=model).run(shots).counts
    # Qubit 0 (in 1) reads 0 with probability 0.25; qubit 1 (in 0) reads 1 with probability 0.1.
    expected = {"10": 0.75 * 0.9, "11": 0.75 * 0.1, "00": 0.25 * 0.9, "01": 0.25 * 0.1}
    five_sigma_check(counts, expected, shots)


def test_a_read_bit_feeds_later_conditions():
    # The qubit stays in 0; the recorded bit reads 1 half the time and the condition then flips qubit 1.
    circuit = DigitalCircuit(2, [
        Measurement([0], [0]), ConditionalInstruction(g.X([1]), ClassicalCondition([0], 1)), Measurement([1], [1]),
    ], 2)
    model = noise.NoiseModel()
    model.add_readout(noise.readout_error(0.5, 0.0), qubits=[0])
    counts = DigitalDenseSimulator(circuit, seed=1, noise=model).run(1000).counts
    assert set(counts) == {"00", "11"}


def test_embed_places_the_first_target_most_significant():
    # The reference's own layout: CX on (1, 0) of two qubits flips qubit 0 where qubit 1 is set.
    cx = g.CX([1, 0]).matrix()
    expected = np.zeros((4, 4))
    for column, row in enumerate([0, 3, 2, 1]):
        expected[row, column] = 1
    np.testing.assert_array_equal(embed(cx, (1, 0), 2), expected)


# --- simulators built by batches and the variational driver ---------------------------------

def test_batches_and_vqe_take_a_noise_model():
    from concurrent.futures import ThreadPoolExecutor

    from norvane.quantum.ir.routine.digital import DigitalRoutine
    from norvane.quantum.ir.scalar import Variable
    from norvane.quantum.optimizer.param_map import ParamMap
    from norvane.quantum.optimizer.vqe import VQE
    from norvane.quantum.parallel import run_batch

    # A certain bit flip after every RX turns the outcome over.
    model = noise.NoiseModel()
    model.add(noise.bit_flip(1.0), gates=[g.RX])
    circuit = DigitalCircuit(1, [g.RX(targets=(0,), params=Variable("theta")), Measurement((0,))])
    assert [r.counts for r in run_batch([circuit] * 2, shots=40, seed=1, noise=model, theta=0.0)] == [{"1": 40}] * 2
    with ThreadPoolExecutor(2) as pool:
        assert run_batch([circuit], shots=40, executor=pool, noise=model, theta=0.0)[0].counts == {"1": 40}
    assert run_batch([circuit], shots=40, theta=0.0)[0].counts == {"0": 40}
    with pytest.raises(TypeError, match="NoiseModel"):
        run_batch([circuit], noise=noise.bit_flip(0.1))
    routine, spec = DigitalRoutine(None, circuit), ParamMap(["theta"])
    noisy, plain = VQE(routine, spec, [0.0, 1.0], 64, noise=model), VQE(routine, spec, [0.0, 1.0], 64)
    assert (noisy.cost([0.0]), plain.cost([0.0])) == (1.0, 0.0)
    assert "noise" not in vars(plain) and pickle.loads(pickle.dumps(noisy)).cost([0.0]) == 1.0
    with pytest.raises(TypeError, match="noise must be a NoiseModel"):
        VQE(routine, spec, [0.0, 1.0], noise="depolarizing")
