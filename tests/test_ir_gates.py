"""Gate matrices against independent constructions, and gate construction errors."""

import math

import numpy as np
import pytest
from scipy.linalg import expm

from norvane.quantum.ir.digital import gate as g
from norvane.quantum.ir.scalar import Literal, UnboundVariableError, Variable

I2 = np.eye(2)
PX = np.array([[0, 1], [1, 0]], dtype=complex)
PY = np.array([[0, -1j], [1j, 0]])
PZ = np.diag([1.0 + 0j, -1.0])


def controlled(u):
    d = u.shape[0]
    return np.block([[np.eye(d), np.zeros((d, d))], [np.zeros((d, d)), u]])


def rot(generator, theta):
    return expm(-0.5j * theta * generator)


def on_qubits(n, ops):
    """Kronecker product, qubit 0 leftmost (most significant)."""
    out = np.eye(1)
    for q in range(n):
        out = np.kron(out, ops.get(q, I2))
    return out


THETA = 0.737

PARAMETRIC = [
    (g.RX, (THETA,), rot(PX, THETA)),
    (g.RY, (THETA,), rot(PY, THETA)),
    (g.RZ, (THETA,), rot(PZ, THETA)),
    (g.Phase, (THETA,), np.diag([1, np.exp(1j * THETA)])),
    (g.U1, (THETA,), np.diag([1, np.exp(1j * THETA)])),
    (g.CRX, (THETA,), controlled(rot(PX, THETA))),
    (g.CRY, (THETA,), controlled(rot(PY, THETA))),
    (g.CRZ, (THETA,), controlled(rot(PZ, THETA))),
    (g.CPhase, (THETA,), controlled(np.diag([1, np.exp(1j * THETA)]))),
    (g.RXX, (THETA,), rot(np.kron(PX, PX), THETA)),
    (g.RYY, (THETA,), rot(np.kron(PY, PY), THETA)),
    (g.RZZ, (THETA,), rot(np.kron(PZ, PZ), THETA)),
]


@pytest.mark.parametrize("cls, params, expected", PARAMETRIC, ids=lambda v: getattr(v, "__name__", ""))
def test_parametric_gates_match_exponentials_and_block_forms(cls, params, expected):
    n = int(math.log2(expected.shape[0]))
    m = cls(targets=tuple(range(n)), params=params).matrix()
    np.testing.assert_allclose(m, expected, atol=1e-12)


def test_euler_gates_compose_from_rotations():
    theta, phi, lam = 0.3, -1.1, 2.4
    # U3 equals RZ(phi) RY(theta) RZ(lam) up to the global phase e^{i(phi+lam)/2}.
    euler = np.exp(0.5j * (phi + lam)) * rot(PZ, phi) @ rot(PY, theta) @ rot(PZ, lam)
    for cls in (g.U3, g.U):
        np.testing.assert_allclose(cls([0], (theta, phi, lam)).matrix(), euler, atol=1e-12)
    np.testing.assert_allclose(
        g.U2([0], (phi, lam)).matrix(), g.U3([0], (math.pi / 2, phi, lam)).matrix(), atol=1e-12
    )


def test_fixed_gates_against_definitions():
    h = np.array([[1, 1], [1, -1]]) / math.sqrt(2)
    s = np.diag([1, 1j])
    t = np.diag([1, np.exp(1j * math.pi / 4)])
    expected = {
        g.H: h, g.X: PX, g.Y: PY, g.Z: PZ, g.S: s, g.Sdg: s.conj().T, g.T: t,
        g.Tdg: t.conj().T, g.CX: controlled(PX), g.CY: controlled(PY), g.CZ: controlled(PZ),
        g.CCX: controlled(controlled(PX)),
    }
    for cls, m in expected.items():
        n = int(math.log2(m.shape[0]))
        np.testing.assert_allclose(cls(tuple(range(n))).matrix(), m, atol=1e-15, err_msg=cls.__name__)
    sx = g.SX([0]).matrix()
    np.testing.assert_allclose(sx @ sx, PX, atol=1e-15)
    np.testing.assert_allclose(g.SXdg([0]).matrix(), sx.conj().T, atol=1e-15)
    # SWAP and CSWAP as permutations of basis states.
    swap = g.SWAP([0, 1]).matrix()
    for a in (0, 1):
        for b in (0, 1):
            assert swap[2 * b + a, 2 * a + b] == 1
    cswap = g.CSWAP([0, 1, 2]).matrix()
    np.testing.assert_allclose(cswap, controlled(swap))


def test_first_target_is_most_significant():
    # CX listed as (target 1 control, target 0 controlled) on two qubits: the matrix index puts
    # the first listed target (the control) first, so in the circuit's qubit order
    # (0 = most significant) CX(targets=(1, 0)) is the control-on-qubit-1 operator.
    m = g.CX(targets=(1, 0)).matrix()
    np.testing.assert_allclose(m, controlled(PX))
    embedded = on_qubits(2, {}) * 0
    for c in (0, 1):  # control value on qubit 1
        proj = np.diag([1 - c, c])
        embedded = embedded + np.kron(PX if c else I2, proj)
    # Reordering the matrix axes by the target list gives the qubit-ordered operator.
    reordered = m.reshape(2, 2, 2, 2).transpose(1, 0, 3, 2).reshape(4, 4)
    np.testing.assert_allclose(reordered, embedded)


def test_every_gate_is_unitary():
    classes = [c for c in vars(g).values() if isinstance(c, type) and issubclass(c, g.Gate)]
    count = 0
    for cls in classes:
        if cls in (g.Gate, g.ParametricGate, g.UnitaryGate, g.CustomGate) or cls.__name__.startswith("_"):
            continue
        params = {"params": (0.4,) * cls.n_params} if issubclass(cls, g.ParametricGate) else {}
        m = cls(targets=tuple(range(cls.n_targets)), **params).matrix()
        np.testing.assert_allclose(m @ m.conj().T, np.eye(m.shape[0]), atol=1e-12)
        count += 1
    assert count == 31


def test_symbolic_parameters_and_errors():
    gate = g.RX([2], [Variable("theta") * 2])
    assert gate._eval_params(theta=0.25) == (0.5,)
    with pytest.raises(UnboundVariableError, match="'theta'"):
        gate._eval_params(phi=1.0)
    with pytest.raises(ValueError, match="acts on 2 qubit"):
        g.CX(targets=(0,))
    with pytest.raises(TypeError, match="integers"):
        g.H(targets=(0.5,))
    with pytest.raises(ValueError, match="takes 3 parameter"):
        g.U3([0], (1.0,))
    with pytest.raises(ValueError, match="2x2"):
        g.UnitaryGate([0], np.eye(4))


def test_unitary_and_custom_gates():
    u = g.UnitaryGate(targets=[3], unitary=[[0, 1j], [1j, 0]])
    assert u.unitary == (((0.0, 0.0), (0.0, 1.0)), ((0.0, 1.0), (0.0, 0.0)))
    np.testing.assert_array_equal(u.matrix(), [[0, 1j], [1j, 0]])
    assert g.UnitaryGate([3], u.unitary) == u
    c = g.CustomGate([0, 1], lambda: np.eye(4), label="Id2")
    assert c.print_node() == "Id2" and c.matrix().shape == (4, 4)
    with pytest.raises(ValueError, match="4x4"):
        g.CustomGate([0, 1], lambda: np.eye(2)).matrix()


def test_nodes_compare_and_print_by_fields():
    a = g.RX(targets=(1,), params=(Literal("0.5"),))
    assert a == g.RX(targets=[1], params=[Literal(0.5)])
    assert a != g.RY(targets=(1,), params=(Literal("0.5"),))
    assert repr(a) == "RX(targets=(1,), params=(Literal(value=Decimal('0.5')),))"
    assert g.CX([0, 1]).print_node() == "CX"
