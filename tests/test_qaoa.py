"""The QAOA ansatz: built circuit, parameter names, observables against brute force, and the
built circuit on the statevector simulator."""

import math

import numpy as np
import pytest

from norvane.quantum.ir.digital.circuit import DigitalCircuit
from norvane.quantum.ir.digital.gate import RX, RZZ, H
from norvane.quantum.ir.digital.measurement import Measurement
from norvane.quantum.ir.routine.digital import DigitalRoutine
from norvane.quantum.ir.scalar import Literal, Mul, Variable
from norvane.quantum.optimizer import qaoa
from norvane.quantum.optimizer.param_map import ParamMap
from norvane.quantum.optimizer.qaoa import QAOAAnsatz
from norvane.quantum.optimizer.vqe import VQE
from norvane.quantum.simulator.digital.dense_sim import DigitalDenseSimulator
from tests.native_modules import assert_initialises_once


def random_graph(rng, n):
    pairs = [(i, j) for i in range(n) for j in range(i + 1, n) if rng.random() < 0.5]
    return [(i, j, float(rng.choice([1.0, 0.5, 2.0, -1.5]))) for i, j in pairs]


def brute_force_cut(edges, bits):
    return sum(w for i, j, w in edges if bits[i] != bits[j])


def lsb_bits(x, n):
    return [(x >> k) & 1 for k in range(n)]


def to_simulator_order(observable, n):
    """Reindex an observable from qubit k = bit k to the simulator's qubit 0 = most significant."""
    return observable.reshape((2,) * n).transpose().ravel()


def test_module_surface():
    assert qaoa.__all__ == ["QAOAAnsatz"]
    assert QAOAAnsatz.__doc__.startswith("QAOA circuit ansatz for Ising-model cost Hamiltonians.")
    assert_initialises_once("norvane.quantum.optimizer.qaoa")


def test_fields_names_and_text_form():
    ansatz = QAOAAnsatz(4.9, [(0, 1, 1), ("1", 2.0, "0.5"), [2, 3, True]], p=2)
    assert vars(ansatz) == {"n_qubits": 4, "edges": [(0, 1, 1.0), (1, 2, 0.5), (2, 3, 1.0)], "p": 2}
    assert all(type(w) is float for _, _, w in ansatz.edges)
    assert repr(ansatz) == "QAOAAnsatz(n_qubits=4, n_edges=3, p=2)"
    assert ansatz.parameter_names() == ["gamma_1", "beta_1", "gamma_2", "beta_2"]
    spec = ansatz.param_map()
    assert type(spec) is ParamMap and spec.names == ansatz.parameter_names() and spec.bounds is None
    assert ansatz._gamma_name(12) == "gamma_12" and ansatz._beta_name(3) == "beta_3"


@pytest.mark.parametrize(
    "args, error, message",
    [
        ((2, [(0, 1, 1.0)], 0), ValueError, "p must be >= 1, got 0."),
        ((2, [(0, 1, 1.0)], -1), ValueError, "p must be >= 1, got -1."),
        ((2, [(0, 1)]), ValueError, "not enough values to unpack (expected 3, got 2)"),
        ((2, [(0, 1, 1.0, 2.0)]), ValueError, "too many values to unpack (expected 3)"),
        ((2, [(0, "x", 1.0)]), ValueError, "invalid literal for int()"),
        ((2, [(0, 1, None)]), TypeError, "float() argument must be"),
        (("2", []), TypeError, "Argument 'n_qubits' has incorrect type (expected int, got str)"),
    ],
)
def test_construction_errors(args, error, message):
    with pytest.raises(error) as info:
        QAOAAnsatz(*args)
    assert message in str(info.value)


def test_build_of_one_edge():
    routine = QAOAAnsatz(2, [(0, 1, 1.0)]).build()
    gamma, beta = Variable(name="gamma_1"), Variable(name="beta_1")
    expected = DigitalCircuit(
        n_qubits=2,
        instructions=(
            H(targets=(0,)),
            H(targets=(1,)),
            RZZ(targets=(0, 1), params=(Mul(lhs=Literal(2.0), rhs=gamma),)),
            RX(targets=(0,), params=(Mul(lhs=Literal(2.0), rhs=beta),)),
            RX(targets=(1,), params=(Mul(lhs=Literal(2.0), rhs=beta),)),
            Measurement(qubits=(0, 1)),
        ),
        name="QAOA_p1",
    )
    assert routine == DigitalRoutine(source=None, circuit=expected)


def test_build_shares_one_variable_per_angle_and_layer():
    ansatz = QAOAAnsatz(3, [(0, 1, 1.5), (1, 2, -2.0)], p=2)
    instructions = ansatz.build().circuit.instructions
    assert [type(i).__name__ for i in instructions] == ["H"] * 3 + (["RZZ"] * 2 + ["RX"] * 3) * 2 + ["Measurement"]
    layers = [instructions[3:8], instructions[8:13]]
    for layer, (gamma, beta) in zip(layers, [("gamma_1", "beta_1"), ("gamma_2", "beta_2")]):
        angles = [g.params[0] for g in layer]
        assert [a.lhs.value for a in angles[:2]] == [3, -4]
        assert {id(a.rhs) for a in angles[:2]} == {id(angles[0].rhs)} and angles[0].rhs.name == gamma
        assert {id(a.rhs) for a in angles[2:]} == {id(angles[2].rhs)} and angles[2].rhs.name == beta
    assert ansatz.build() == ansatz.build() and ansatz.build() is not ansatz.build()
    assert ansatz.build().circuit.name == "QAOA_p2"


def test_observables_of_one_edge():
    ansatz = QAOAAnsatz(2, [(0, 1, 1.0)])
    assert ansatz.cost_observable().tolist() == [1.0, -1.0, -1.0, 1.0]
    assert ansatz.max_cut_observable().tolist() == [0.0, -1.0, -1.0, 0.0]
    three = QAOAAnsatz(3, [(0, 1, 2.0)]).max_cut_observable()
    assert three[1] == -2.0 and three[4] == 0.0  # bit k of the index is qubit k


@pytest.mark.parametrize("seed", range(6))
def test_observables_against_brute_force(seed):
    rng = np.random.default_rng(seed)
    n = int(rng.integers(2, 7))
    edges = random_graph(rng, n)
    ansatz = QAOAAnsatz(n, edges)
    cut, ising = ansatz.max_cut_observable(), ansatz.cost_observable()
    assert cut.dtype == ising.dtype == np.float64 and cut.shape == (2**n,)
    for x in range(2**n):
        bits = lsb_bits(x, n)
        assert cut[x] == pytest.approx(-brute_force_cut(edges, bits))
        assert ising[x] == pytest.approx(sum(w * (1 - 2 * bits[i]) * (1 - 2 * bits[j]) for i, j, w in edges))


def test_observable_endpoints_index_like_lists():
    assert np.array_equal(QAOAAnsatz(3, [(0, -1, 1.0)]).cost_observable(), QAOAAnsatz(3, [(0, 2, 1.0)]).cost_observable())
    with pytest.raises(IndexError, match="list index out of range"):
        QAOAAnsatz(3, [(0, 3, 1.0)]).max_cut_observable()
    assert QAOAAnsatz(0, []).cost_observable().tolist() == [0.0]


def qaoa_state(n, edges, params):
    """The QAOA state written out directly, in the observables' order (qubit k = bit k)."""
    cost = np.array([sum(w * (1 - 2 * ((x >> i) & 1)) * (1 - 2 * ((x >> j) & 1)) for i, j, w in edges)
                     for x in range(2**n)])
    state = np.full(2**n, 2 ** (-n / 2), dtype=complex)
    mixer_1q = lambda b: np.array([[math.cos(b), -1j * math.sin(b)], [-1j * math.sin(b), math.cos(b)]])
    for gamma, beta in zip(params[::2], params[1::2]):
        state = np.exp(-1j * gamma * cost) * state
        mixer = np.array([[1.0]])
        for _ in range(n):
            mixer = np.kron(mixer, mixer_1q(beta))
        state = mixer @ state
    return state


def test_built_circuit_prepares_the_qaoa_state():
    n, edges = 4, [(0, 1, 1.0), (1, 2, 0.5), (2, 3, 2.0), (0, 3, -1.0), (0, 2, 1.0)]
    ansatz = QAOAAnsatz(n, edges, p=2)
    x = ansatz.param_map().random(5)
    simulated = DigitalDenseSimulator(ansatz.build().circuit).statevector(**ansatz.param_map().bind(x))
    expected = to_simulator_order(qaoa_state(n, edges, x), n)
    assert np.allclose(simulated, expected, atol=1e-12)


def test_sampled_expectation_matches_the_statevector():
    n, edges = 5, [(0, 1, 1.0), (1, 2, 1.0), (2, 3, 1.0), (3, 4, 1.0), (4, 0, 1.0), (0, 2, 1.0)]
    ansatz = QAOAAnsatz(n, edges, p=2)
    spec, routine = ansatz.param_map(), ansatz.build()
    x = np.array([0.4, 1.1, 2.3, 0.7])
    observable = to_simulator_order(ansatz.max_cut_observable(), n)
    simulator = DigitalDenseSimulator(routine.circuit, seed=11)
    probs = np.abs(simulator.statevector(**spec.bind(x))) ** 2
    exact = float(probs @ observable)
    sigma = math.sqrt(float(probs @ (observable - exact) ** 2))
    shots = 20000
    sampled = simulator.run(shots, **spec.bind(x)).expectation(observable)
    assert abs(sampled - exact) < 5 * sigma / math.sqrt(shots)
    # The same estimate through the eigensolver's cost.
    assert abs(VQE(routine, spec, observable, shots=shots).cost(x) - exact) < 5 * sigma / math.sqrt(shots)

