"""The gate matrix cache: keys, call counts, stored objects and error pass-through."""

import sys

import numpy as np
import pytest

from norvane.quantum.ir.digital.gate import CRX, RX, RY, CustomGate, H, UnitaryGate, X
from norvane.quantum.ir.scalar import Literal, Variable
from norvane.quantum.simulator.digital import unitab
from norvane.quantum.simulator.digital.unitab import GateMatrixCache
from tests.native_modules import assert_initialises_once


class CountingRX(RX):
    """RX that counts its parameter evaluations and matrix computations (class-wide)."""

    __slots__ = ()
    evaluated = []
    matrices = 0
    constructed = []

    def __init__(self, targets, params):
        super().__init__(targets, params)
        CountingRX.constructed.append(self)

    def _eval_params(self, **bindings):
        CountingRX.evaluated.append(self)
        return super()._eval_params(**bindings)

    def matrix(self):
        CountingRX.matrices += 1
        return super().matrix()


class CountingH(H):
    __slots__ = ()
    matrices = 0

    def matrix(self):
        CountingH.matrices += 1
        return super().matrix()


@pytest.fixture(autouse=True)
def reset_counters():
    CountingRX.matrices = CountingH.matrices = 0
    CountingRX.evaluated = []
    CountingRX.constructed = []


def test_module_surface():
    assert unitab.__all__ == ["GateMatrixCache"]
    assert GateMatrixCache.__doc__.splitlines()[0] == "Cache gate matrices keyed by (gate_type, params)."
    assert GateMatrixCache()._cache == {}


def test_fixed_gates_share_one_entry_by_class():
    cache = GateMatrixCache()
    a = cache.get(CountingH(targets=(0,)))
    b = cache.get(CountingH(targets=(3,)))
    assert a is b and CountingH.matrices == 1
    assert list(cache._cache) == [CountingH]
    assert cache.get(H([0])) is not a  # the exact class is the key, not a base class


def test_parametric_keys_and_call_counts():
    cache = GateMatrixCache()
    gate = CountingRX(targets=(0,), params=(Variable("t"),))
    CountingRX.constructed.clear()
    m = cache.get(gate, t=0.5)
    # A miss evaluates the gate twice, builds one literal copy and computes its matrix once.
    assert CountingRX.evaluated.count(gate) == 2 and CountingRX.matrices == 1
    [copy] = CountingRX.constructed
    assert copy.targets == (0,) and copy.params == (Literal(0.5),)
    assert gate.params == (Variable("t"),)
    assert cache._cache[(CountingRX, (0.5,))] is m
    # A hit on other targets evaluates once and computes nothing.
    other = CountingRX((4,), (Literal("0.5"),))
    assert cache.get(other) is m
    assert CountingRX.evaluated.count(other) == 1 and CountingRX.matrices == 1
    assert cache.get(gate, t=-0.0) is not m
    assert cache.get(gate, t=0.0) is cache.get(gate, t=-0.0)  # -0.0 and 0.0 are one key
    # Different classes with equal values are different entries.
    assert cache.get(RY([0], [0.5])) is not cache.get(RX([0], [0.5]))
    np.testing.assert_allclose(m, RX([0], [0.5]).matrix())


def test_stored_object_is_returned_without_copy_and_clear_recomputes():
    cache = GateMatrixCache()
    m = cache.get(CountingH([0]))
    assert cache.get(CountingH([0])) is m
    assert cache.clear() is None and cache._cache == {}
    assert cache.get(CountingH([0])) is not m and CountingH.matrices == 2


def test_unitary_gates_are_keyed_by_their_matrix():
    cache = GateMatrixCache()
    x = cache.get(UnitaryGate([0], [[0, 1], [1, 0]]))
    z = cache.get(UnitaryGate([1], [[1, 0], [0, -1]]))
    np.testing.assert_array_equal(x, [[0, 1], [1, 0]])
    np.testing.assert_array_equal(z, [[1, 0], [0, -1]])
    assert cache.get(UnitaryGate([2], [[0, 1], [1, 0]])) is x


def test_custom_gates_are_computed_per_request():
    cache = GateMatrixCache()
    calls = []

    def matrix():
        calls.append(1)
        return np.eye(2)

    cache.get(CustomGate([0], matrix))
    cache.get(CustomGate([0], lambda: np.diag([1, -1])))
    assert len(calls) == 1
    np.testing.assert_array_equal(cache.get(CustomGate([0], lambda: np.diag([1, -1]))), np.diag([1, -1]))
    assert cache._cache == {}


def test_gates_are_told_apart_by_isinstance_which_honours_a_class_attribute():
    computed = []

    class Plain:  # not a gate of any kind: keyed by its class, computed once
        def matrix(self):
            computed.append(type(self))
            return np.eye(2)

    class PassesForCustom(Plain):  # isinstance(x, CustomGate) through __class__: computed per request
        __class__ = property(lambda self: CustomGate)

    cache = GateMatrixCache()
    for _ in range(2):
        cache.get(Plain())
        cache.get(PassesForCustom())
    assert len(computed) == 3 and list(cache._cache) == [Plain]

    # A class changed after use is looked at again: Plain now passes for a custom gate too.
    Plain.__getattribute__ = lambda self, name: (CustomGate if name == "__class__"
                                                 else object.__getattribute__(self, name))
    cache.get(Plain())
    cache.get(Plain())
    assert len(computed) == 5


def test_errors_pass_through_and_store_nothing():
    cache = GateMatrixCache()
    with pytest.raises(ValueError, match="'theta'"):
        cache.get(CRX([0, 1], [Variable("theta")]))

    class Broken(X):
        __slots__ = ()

        def matrix(self):
            raise RuntimeError("no matrix")

    with pytest.raises(RuntimeError, match="no matrix"):
        cache.get(Broken([0]))
    with pytest.raises(AttributeError):
        cache.get(object())
    assert cache._cache == {}


def test_scalar_module_is_imported_at_each_parametric_miss(monkeypatch):
    cache = GateMatrixCache()
    cache.get(H([0]))
    monkeypatch.setitem(sys.modules, "norvane.quantum.ir.scalar", None)
    with pytest.raises(ImportError):
        cache.get(RX([0], [0.25]))
    cache.get(X([0]))  # non-parametric gates never need it
    assert list(cache._cache) == [H, X]


def test_module_initialises_once_per_process():
    assert_initialises_once("norvane.quantum.simulator.digital.unitab")
