"""Parameter-shift and finite-difference gradients: values, call order, copies and errors."""

import math

import numpy as np
import pytest

from norvane.quantum.ir.digital import gate
from norvane.quantum.optimizer import gradient
from norvane.quantum.optimizer.gradient import FiniteDiffGradient, parameter_shift_gradient
from tests.native_modules import assert_initialises_once


class Recorder:
    """A cost that records a copy of every point it is called at."""

    def __init__(self, f=lambda x: float(np.sum(x))):
        self.f = f
        self.points = []

    def __call__(self, x):
        self.points.append(np.array(x, copy=True))
        return self.f(x)


def sin_sum(x):
    return math.sin(x[0]) + 2.0 * math.sin(x[1])


def test_module_surface():
    assert gradient.__all__ == ["parameter_shift_gradient", "FiniteDiffGradient"]
    assert len(gradient._PARAMETER_SHIFT_GATES) == 12
    assert all(issubclass(getattr(gate, name), gate.ParametricGate) for name in gradient._PARAMETER_SHIFT_GATES)
    assert vars(FiniteDiffGradient()) == {"eps": 1e-4, "method": "central"}
    assert_initialises_once("norvane.quantum.optimizer.gradient")


@pytest.mark.parametrize("x", [[0.0, 0.0], [0.3, -1.2], [2.5, 4.0]])
def test_shift_rule_is_exact_for_sinusoids(x):
    expected = [math.cos(x[0]), 2.0 * math.cos(x[1])]
    assert parameter_shift_gradient(sin_sum, x) == pytest.approx(expected, abs=1e-14)
    # (sin(x + s) - sin(x - s)) / (2 sin s) = cos x for every shift s.
    assert parameter_shift_gradient(sin_sum, x, 0.4) == pytest.approx(expected, abs=1e-13)
    assert parameter_shift_gradient(sin_sum, x, shift=1) == pytest.approx(expected, abs=1e-13)


def test_shift_rule_and_central_differences_agree():
    def cost(x):
        return math.cos(x[0]) * math.sin(x[1]) + 0.5 * math.cos(x[2] - x[0])

    x = np.array([0.7, -0.4, 1.9])
    assert FiniteDiffGradient(1e-5)(cost, x) == pytest.approx(parameter_shift_gradient(cost, x), abs=1e-8)


@pytest.mark.parametrize(
    "method, eps, expected",
    [("central", 1e-4, 2.0), ("forward", 0.5, 2.5), ("backward", 0.5, 1.5)],
)
def test_finite_differences_of_a_square(method, eps, expected):
    grad = FiniteDiffGradient(eps, method).gradient(lambda x: x[0] ** 2, [1])
    assert grad.dtype == np.float64
    assert grad[0] == pytest.approx(expected, rel=1e-7)
    # A linear cost has the exact slope.
    assert FiniteDiffGradient(0.25, method)(lambda x: 3.0 * x[0] - 0.5 * x[1], [1.0, 2.0]).tolist() == [3.0, -0.5]


S = math.pi / 2


@pytest.mark.parametrize(
    "compute, moves",
    [
        (parameter_shift_gradient, [(0, S), (0, -S), (1, S), (1, -S)]),
        (FiniteDiffGradient(0.5, "central"), [(0, 0.5), (0, -0.5), (1, 0.5), (1, -0.5)]),
        (FiniteDiffGradient(0.5, "forward"), [None, (0, 0.5), (1, 0.5)]),
        (FiniteDiffGradient(0.5, "backward"), [None, (0, -0.5), (1, -0.5)]),
    ],
)
def test_call_order(compute, moves):
    x = np.array([1.0, 2.0])
    record = Recorder()
    compute(record, x)
    expected = []
    for move in moves:
        point = x.copy()
        if move is not None:
            point[move[0]] += move[1]
        expected.append(point.tolist())
    assert [p.tolist() for p in record.points] == expected


def test_every_shifted_point_is_a_fresh_copy():
    x = np.array([0.5, 1.5])
    seen = []

    def vandal(z):
        seen.append(z)
        value = sin_sum(z)
        z[:] = 100.0
        return value

    assert parameter_shift_gradient(vandal, x) == pytest.approx([math.cos(0.5), 2 * math.cos(1.5)])
    assert len({id(z) for z in seen}) == 4 and all(z is not x for z in seen)
    assert x.tolist() == [0.5, 1.5]
    # Forward differences evaluate f at the converted vector itself, then at copies.
    seen.clear()
    FiniteDiffGradient(0.5, "forward")(lambda z: seen.append(z) or 0.0, x)
    assert seen[0] is x and all(z is not x for z in seen[1:])


def test_empty_vectors():
    calls = Recorder()
    assert parameter_shift_gradient(calls, []).shape == (0,)
    assert FiniteDiffGradient()(calls, np.array([], dtype=np.int64)).shape == (0,)
    assert calls.points == []
    assert FiniteDiffGradient(method="forward")(calls, []).shape == (0,)
    assert FiniteDiffGradient(method="backward")(calls, []).shape == (0,)
    assert len(calls.points) == 2


def test_fields_are_read_at_every_call():
    fd = FiniteDiffGradient(0.5, "central")
    fd.method, fd.eps = "forward", 0.25
    assert fd(lambda x: x[0] ** 2, [1.0])[0] == pytest.approx(2.25)
    fd.method = 7
    with pytest.raises(TypeError, match="Argument 'method'"):
        fd(lambda x: 0.0, [1.0])


@pytest.mark.parametrize(
    "make, error, message",
    [
        (lambda: FiniteDiffGradient("forward"), TypeError, "Argument 'eps' has incorrect type (expected float, got str)"),
        (lambda: FiniteDiffGradient(1e-4, "Central"), ValueError, "Unknown method 'Central'."),
        (lambda: FiniteDiffGradient(method=b"central"), TypeError, "Argument 'method' has incorrect type"),
        (lambda: parameter_shift_gradient(sum, [1.0], "x"), TypeError, "Argument 'shift' has incorrect type"),
        (lambda: parameter_shift_gradient(sum, 2.0), TypeError, "len() of unsized object"),
        (lambda: parameter_shift_gradient(lambda x: "a", [1.0]), TypeError, "must be real number"),
    ],
)
def test_errors(make, error, message):
    with pytest.raises(error) as info:
        make()
    assert message in str(info.value)

