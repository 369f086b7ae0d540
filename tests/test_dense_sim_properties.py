"""The native simulator against the literal NumPy model on random circuits."""

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from norvane.quantum.ir.digital import gate as g
from norvane.quantum.ir.digital.circuit import DigitalCircuit
from norvane.quantum.ir.digital.conditional import ClassicalCondition, ConditionalInstruction
from norvane.quantum.ir.digital.measurement import Measurement, MeasurementBasis
from norvane.quantum.ir.scalar import Variable
from norvane.quantum.simulator.digital import dense_sim
from norvane.quantum.simulator.digital.dense_sim import DigitalDenseSimulator
from tests.reference.dense_reference import ReferenceSimulator

DEFAULT_BRANCH_BUDGET = 512 << 20

GATE_CLASSES = [
    cls for cls in vars(g).values()
    if isinstance(cls, type) and issubclass(cls, g.Gate) and getattr(cls, "n_targets", None)
]
assert len(GATE_CLASSES) == 31


def random_unitary(k, seed):
    rng = np.random.default_rng(seed)
    z = rng.normal(size=(2**k, 2**k)) + 1j * rng.normal(size=(2**k, 2**k))
    q, r = np.linalg.qr(z)
    return q * (np.diag(r) / np.abs(np.diag(r)))


@st.composite
def gates(draw, n):
    if draw(st.integers(0, 9)) == 0:
        k = draw(st.integers(1, min(3, n)))
        targets = draw(st.permutations(range(n)))[:k]
        return g.UnitaryGate(targets, random_unitary(k, draw(st.integers(0, 2**32))))
    cls = draw(st.sampled_from([c for c in GATE_CLASSES if c.n_targets <= n]))
    targets = tuple(draw(st.permutations(range(n)))[: cls.n_targets])
    if issubclass(cls, g.ParametricGate):
        params = [
            Variable("theta") if draw(st.booleans()) else draw(st.floats(-7, 7, allow_nan=False))
            for _ in range(cls.n_params)
        ]
        return cls(targets, params)
    return cls(targets)


@st.composite
def circuits(draw):
    n = draw(st.integers(1, 4))
    n_cbits = draw(st.integers(1, 4))
    instructions = []
    for _ in range(draw(st.integers(0, 12))):
        kind = draw(st.integers(0, 9))
        if kind < 6:
            instructions.append(draw(gates(n)))
        elif kind < 9:
            qubits = draw(st.lists(st.integers(0, n - 1), min_size=1, max_size=n))
            bit_lists = st.lists(st.integers(0, n_cbits - 1), max_size=4)
            bits = draw(st.one_of(st.none(), st.just(()), bit_lists))
            if not bits and max(qubits) >= n_cbits:  # qubit q writes bit q: keep it in range
                bits = draw(bit_lists.filter(bool))
            basis = draw(st.sampled_from(list(MeasurementBasis)))
            instructions.append(Measurement(qubits, bits, basis))
        else:
            clbits = draw(st.lists(st.integers(0, n_cbits - 1), min_size=1, max_size=2))
            condition = ClassicalCondition(
                clbits, draw(st.integers(0, 3)), draw(st.sampled_from(["==", "!=", "<", ">="]))
            )
            instructions.append(ConditionalInstruction(draw(gates(n)), condition))
    return DigitalCircuit(n, instructions, n_cbits)


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(circuits(), st.integers(0, 2**32 - 1), st.floats(-4, 4, allow_nan=False), st.sampled_from([0, 1 << 30]))
def test_runs_and_statevectors_match_the_reference(circuit, seed, theta, branch_budget):
    # Budget 0 keeps no branch but the first, so every shot past it is simulated on its own.
    native = DigitalDenseSimulator(circuit, seed=seed)
    reference = ReferenceSimulator(circuit, seed=seed)
    dense_sim._set_branch_memory_budget(branch_budget)
    try:
        result = native.run(37, theta=theta)
        # A second run continues the stream.
        second = native.run(5, theta=theta)
    finally:
        dense_sim._set_branch_memory_budget(DEFAULT_BRANCH_BUDGET)
    counts, memory = reference.run(37, theta=theta)
    assert result.memory == memory
    assert result.counts == counts and list(result.counts) == list(counts)
    assert second.memory == reference.run(5, theta=theta)[1]
    np.testing.assert_allclose(native.statevector(theta=theta), reference.statevector(theta=theta), atol=1e-12)


@settings(max_examples=60, deadline=None)
@given(circuits(), st.integers(0, 2**32 - 1))
def test_apply_gate_matches_the_contraction(circuit, seed):
    n = circuit.n_qubits
    rng = np.random.default_rng(seed)
    state = rng.normal(size=2**n) + 1j * rng.normal(size=2**n)
    native = DigitalDenseSimulator(circuit)
    reference = ReferenceSimulator(circuit)
    for instruction in circuit.instructions:
        if isinstance(instruction, g.Gate):
            before = state.copy()
            out = native._apply_gate(state, instruction, theta=0.3)
            np.testing.assert_array_equal(state, before)
            np.testing.assert_allclose(out, reference.apply_gate(state, instruction, theta=0.3), atol=1e-12)
            state = out


def test_one_qubit_and_controlled_gates_on_every_index_bit_match_the_contraction():
    # 8 qubits: pairs within a vector, a few vectors apart and in runs, for each form of matrix
    # the kernels tell apart (real, real diagonal with imaginary off-diagonal, the exchange,
    # general). Controlled and multiplexed one-qubit gates with a target or a control among the
    # lowest six index bits run block by block (position tables, or runs switching between two
    # matrices); qubits 0 and 1 lie above a block. Every control and target placement, with a
    # second control anywhere for CCX.
    n = 8
    rng = np.random.default_rng(7)
    state = rng.normal(size=2**n) + 1j * rng.normal(size=2**n)
    circuit = DigitalCircuit(n)
    native, reference = DigitalDenseSimulator(circuit), ReferenceSimulator(circuit)

    def check(gate):
        np.testing.assert_allclose(native._apply_gate(state, gate, theta=0.0),
                                   reference.apply_gate(state, gate, theta=0.0), atol=1e-12)

    controlled_u = np.eye(4, dtype=complex)
    controlled_u[2:, 2:] = random_unitary(1, 11)
    multiplexed = np.zeros((4, 4), dtype=complex)  # one matrix where the first qubit is 0, another where 1
    multiplexed[:2, :2], multiplexed[2:, 2:] = random_unitary(1, 12), random_unitary(1, 13)
    for target in range(n):
        for gate in (g.RY([target], [0.7]), g.RX([target], [0.7]), g.X([target]), g.Y([target]),
                     g.UnitaryGate([target], random_unitary(1, target))):
            check(gate)
        for control in range(n):
            if control == target:
                continue
            other = int(next(q for q in rng.permutation(n) if q not in (control, target)))
            for gate in (g.CX([control, target]), g.CRX([control, target], [0.4]),
                         g.UnitaryGate([control, target], controlled_u), g.UnitaryGate([control, target], multiplexed),
                         g.CCX([other, control, target])):
                check(gate)


@settings(max_examples=4, deadline=None)
@given(st.integers(0, 2**32 - 1))
def test_large_states_through_fusion_and_cache_blocking_match_the_reference(seed):
    # 17 qubits: gates on the low qubits run chunk by chunk (both cache levels), gates on the
    # high ones as full passes, one-qubit gates fused; all must agree with the contraction.
    n = 17
    instructions = random_gate_list(n, 40, np.random.default_rng(seed))
    circuit = DigitalCircuit(n, instructions + [Measurement([0, 5, 16])], n_cbits=17)
    native = DigitalDenseSimulator(circuit, seed=seed)
    reference = ReferenceSimulator(circuit, seed=seed)
    np.testing.assert_allclose(native.statevector(), reference.statevector(), atol=1e-12)
    assert native.run(3).memory == reference.run(3)[1]


@pytest.mark.parametrize("n", [11, 13])
def test_runs_of_few_and_of_many_shots_per_basis_state_match_the_reference(n):
    # n qubits measured at once: 3 shots search the whole distribution and keep outcomes in a
    # hash map, 40 narrow the search by a table first, 200 (at 11 qubits) also keep outcomes in a
    # flat table. Outcome texts of 11 bits come from a table shared by every result, of 13 bits
    # are made per result: a second run must not see the first one's.
    instructions = random_gate_list(n, 30, np.random.default_rng(5)) + [Measurement(list(range(n)))]
    circuit = DigitalCircuit(n, instructions, n_cbits=n)
    for shots in (3, 40, 200):
        simulator, reference = DigitalDenseSimulator(circuit, seed=shots), ReferenceSimulator(circuit, seed=shots)
        for _ in range(2):
            result = simulator.run(shots)
            counts, memory = reference.run(shots)
            assert result.memory == memory and result.counts == counts


def test_registers_wider_than_64_bits_tally_as_the_reference():
    n = 4
    instructions = random_gate_list(n, 12, np.random.default_rng(9)) + [Measurement(list(range(n)), [0, 33, 64, 69])]
    circuit = DigitalCircuit(n, instructions, n_cbits=70)
    result = DigitalDenseSimulator(circuit, seed=4).run(50)
    counts, memory = ReferenceSimulator(circuit, seed=4).run(50)
    assert result.memory == memory and result.counts == counts and len(counts) > 1


def random_gate_list(n, count, rng, qubits=None):
    """`count` gates of every class on up to three of `qubits` (all n by default), a sixth of
    them random unitaries."""
    classes = [c for c in GATE_CLASSES if c.n_targets <= 3]
    qubits = list(range(n)) if qubits is None else list(qubits)
    instructions = []
    for _ in range(count):
        cls = classes[rng.integers(len(classes))]
        targets = [int(q) for q in rng.choice(qubits, cls.n_targets, replace=False)]
        if rng.integers(6) == 0:
            instructions.append(g.UnitaryGate(targets, random_unitary(len(targets), int(rng.integers(2**32)))))
        elif issubclass(cls, g.ParametricGate):
            instructions.append(cls(targets, [float(rng.uniform(-3, 3)) for _ in range(cls.n_params)]))
        else:
            instructions.append(cls(targets))
    return instructions


@settings(max_examples=2, deadline=None)
@given(st.integers(0, 2**32 - 1))
def test_passes_gathering_high_qubits_match_the_reference_for_any_thread_count(seed):
    # 21 qubits: each cache-blocked pass gathers pieces for up to five of the high qubits, gates
    # move into earlier passes past gates on other qubits, and gates on the lowest bits run in
    # blocks. The state must match the contraction and be the same for one and two threads.
    n = 21
    circuit = DigitalCircuit(n, random_gate_list(n, 60, np.random.default_rng(seed)))
    states = []
    try:
        for threads in (1, 2):
            dense_sim._set_max_threads(threads)
            states.append(DigitalDenseSimulator(circuit).statevector())
    finally:
        dense_sim._set_max_threads(0)
    np.testing.assert_array_equal(states[0], states[1])
    np.testing.assert_allclose(states[0], ReferenceSimulator(circuit).statevector(), atol=1e-12)


def test_passes_split_into_several_batches_match_gates_applied_one_by_one():
    # 22 qubits, with runs of gates on the qubits every chunk holds long enough that a pass's
    # chunks are processed in several batches (with an interruption check between them): fused
    # passes must match applying each gate alone.
    n = 22
    rng = np.random.default_rng(5)
    local = range(12, n)
    gates = (random_gate_list(n, 120, rng, local) + random_gate_list(n, 20, rng) +
             random_gate_list(n, 120, rng, local))
    simulator = DigitalDenseSimulator(DigitalCircuit(n, gates))
    state = simulator._init_state()
    for gate in gates:
        state = simulator._apply_gate(state, gate)
    np.testing.assert_allclose(simulator.statevector(), state, atol=1e-12)


@st.composite
def measured_one_qubit_at_a_time(draw):
    # A random circuit ended by measurements in any order, grouping and bases, a qubit possibly
    # read again in its own basis or now and then in another, the way other tools write them:
    # the draws must be those of measuring in turn.
    n = draw(st.integers(2, 6))
    instructions = [draw(gates(n)) for _ in range(draw(st.integers(n, 3 * n)))]
    order = draw(st.permutations(range(n)))
    cut = sorted(draw(st.lists(st.integers(1, n - 1), max_size=n - 1, unique=True)))
    groups = [(order[a:b], draw(st.sampled_from(list(MeasurementBasis)))) for a, b in zip([0] + cut, cut + [n])]
    basis_of = {q: basis for qubits, basis in groups for q in qubits}
    for qubits in draw(st.lists(st.lists(st.integers(0, n - 1), min_size=1, max_size=2), max_size=2)):
        own = basis_of[qubits[0]]
        groups.append((qubits, draw(st.sampled_from([own] * 3 + list(MeasurementBasis)))))
    n_cbits = n + 1
    for qubits, basis in groups:
        bits = [draw(st.integers(0, n_cbits - 1)) for _ in qubits]
        instructions.append(Measurement(qubits, bits, basis))
    return DigitalCircuit(n, instructions, n_cbits)


@settings(max_examples=60, deadline=None)
@given(measured_one_qubit_at_a_time(), st.integers(0, 2**32 - 1))
def test_terminal_measurements_draw_as_measuring_in_turn(circuit, seed):
    native = DigitalDenseSimulator(circuit, seed=seed).run(200, theta=0.7).memory
    assert native == ReferenceSimulator(circuit, seed=seed).run(200, theta=0.7)[1]
    # Budget 0 leaves no room for tables: every shot measures in turn.
    dense_sim._set_branch_memory_budget(0)
    try:
        in_turn = DigitalDenseSimulator(circuit, seed=seed).run(200, theta=0.7).memory
    finally:
        dense_sim._set_branch_memory_budget(DEFAULT_BRANCH_BUDGET)
    assert native == in_turn


@settings(max_examples=3, deadline=None)
@given(st.integers(0, 2**32 - 1))
def test_terminal_measurements_of_many_qubits_in_rotated_bases_draw_as_measuring_in_turn(seed):
    # 12 qubits one instruction each, in X and Y, in order and then shuffled: draws walk up to 11
    # halvings of earlier outcomes, and shuffled orders need tables with some bases left out.
    n = 12
    rng = np.random.default_rng(seed)
    instructions = [g.RY([q], [float(rng.uniform(0, 3))]) for q in range(n)]
    instructions += [g.CZ([q, q + 1]) for q in range(n - 1)] + [g.RX([q], [float(rng.uniform(0, 3))]) for q in range(n)]
    for order in (range(n), rng.permutation(n)):
        measurements = [Measurement([int(q)], [int(q)], MeasurementBasis.Y if q % 3 == 0 else MeasurementBasis.X)
                        for q in order]
        circuit = DigitalCircuit(n, instructions + measurements, n)
        native = DigitalDenseSimulator(circuit, seed=seed).run(300).memory
        dense_sim._set_branch_memory_budget(0)
        try:
            in_turn = DigitalDenseSimulator(circuit, seed=seed).run(300).memory
        finally:
            dense_sim._set_branch_memory_budget(DEFAULT_BRANCH_BUDGET)
        assert native == in_turn
        assert native[:20] == ReferenceSimulator(circuit, seed=seed).run(20)[1]


@settings(max_examples=4, deadline=None)
@given(st.integers(0, 2**32 - 1))
def test_runs_of_diagonal_gates_merged_across_cache_levels_match_the_reference(seed):
    # Diagonal gates on both sides of the cache-blocked qubits, with one-qubit gates held in
    # between (moved before the merged diagonals where they commute): QAOA-like layers.
    n = 17
    rng = np.random.default_rng(seed)
    diagonal = [g.RZZ, g.CZ, g.CPhase, g.RZ]
    instructions = [g.H([q]) for q in range(n)]
    for _ in range(60):
        cls = diagonal[rng.integers(len(diagonal))] if rng.integers(4) else g.RX
        targets = [int(q) for q in rng.choice(n, 2 if cls in (g.RZZ, g.CZ, g.CPhase) else 1, replace=False)]
        instructions.append(cls(targets, [float(rng.uniform(-3, 3))]) if issubclass(cls, g.ParametricGate)
                            else cls(targets))
    circuit = DigitalCircuit(n, instructions)
    np.testing.assert_allclose(DigitalDenseSimulator(circuit).statevector(),
                               ReferenceSimulator(circuit).statevector(), atol=1e-12)
