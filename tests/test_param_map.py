"""The parameter map: fields, binding, positional form, start vectors."""

import numpy as np
import pytest

from norvane.quantum.optimizer import param_map
from norvane.quantum.optimizer.param_map import ParamMap
from tests.native_modules import assert_initialises_once


def test_module_surface():
    assert param_map.__all__ == ["ParamMap"]
    assert_initialises_once("norvane.quantum.optimizer.param_map")


def test_fields_are_a_private_copy_of_the_names():
    names = ["theta", "phi"]
    bounds = np.array([[0.0, 1.0], [2.0, 3.0]])
    spec = ParamMap(names, bounds)
    names.append("extra")
    assert vars(spec) == {"names": ["theta", "phi"], "n": 2, "bounds": bounds}
    assert spec.bounds is bounds
    assert ParamMap(("a", "b")).names == ["a", "b"]
    assert ParamMap("theta").names == list("theta") and len(ParamMap("theta")) == 5
    with pytest.raises(TypeError):
        ParamMap(3)


def test_text_form_and_length():
    assert repr(ParamMap(["theta", "phi"])) == "ParamMap(['theta', 'phi'])"
    assert repr(ParamMap([])) == "ParamMap([])"
    assert len(ParamMap(["a", "b", "c"])) == 3


def test_bind_gives_plain_floats_in_name_order():
    bound = ParamMap(["b", "a", "c"]).bind([1, 2, 3])
    assert list(bound.items()) == [("b", 1.0), ("a", 2.0), ("c", 3.0)]
    assert all(type(v) is float for v in bound.values())
    strided = np.arange(6.0)[::2]
    assert ParamMap(["x", "y", "z"]).bind(strided) == {"x": 0.0, "y": 2.0, "z": 4.0}
    assert ParamMap([]).bind([]) == {}


def test_bind_with_repeated_names_keeps_first_place_and_last_value():
    assert list(ParamMap(["a", "b", "a"]).bind([1.0, 2.0, 3.0]).items()) == [("a", 3.0), ("b", 2.0)]


@pytest.mark.parametrize(
    "x, shape",
    [([1.0, 2.0], "(2,)"), (np.zeros((3, 1)), "(3, 1)"), (5.0, "()"), ([], "(0,)")],
)
def test_bind_refuses_other_shapes(x, shape):
    with pytest.raises(ValueError) as info:
        ParamMap(["a", "b", "c"]).bind(x)
    assert str(info.value) == f"Expected parameter vector of length 3, got {shape}."


def test_args_from_converts_without_length_check():
    spec = ParamMap(["a", "b"])
    assert spec.args_from(np.array([1, 2, 3])) == [1.0, 2.0, 3.0]
    assert spec.args_from([[1, 2], [3, 4]]) == [[1.0, 2.0], [3.0, 4.0]]
    with pytest.raises(ValueError):
        spec.args_from(["x"])


def test_zeros_and_random():
    spec = ParamMap(["a", "b", "c"])
    zeros = spec.zeros()
    assert zeros.dtype == np.float64 and zeros.tolist() == [0.0, 0.0, 0.0]
    first, second = spec.random(0), spec.random(0)
    assert first is not second and np.array_equal(first, second)
    assert np.array_equal(first, np.random.default_rng(0).uniform(0, 2 * np.pi, 3))
    big = ParamMap(["p"] * 1000).random(7)
    assert big.min() >= 0.0 and big.max() < 2 * np.pi
    assert not np.array_equal(spec.random(), spec.random())
    assert ParamMap([]).random().shape == (0,) and ParamMap([]).zeros().shape == (0,)


@pytest.mark.parametrize("seed, same_as", [(1.9, 1), (np.int64(5), 5), (True, 1), (False, 0)])
def test_random_seed_conversions(seed, same_as):
    spec = ParamMap(["a", "b"])
    assert np.array_equal(spec.random(seed), spec.random(same_as))


def test_random_refuses_a_non_numeric_seed():
    with pytest.raises(TypeError, match=r"Argument 'seed' has incorrect type \(expected int, got str\)"):
        ParamMap(["a"]).random("0")


def test_operations_read_the_fields_again_and_subclass():
    class Named(ParamMap):
        def describe(self):
            return ",".join(self.names)

    spec = Named(["a", "b"])
    spec.n = 1
    assert spec.bind([4.0]) == {"a": 4.0} and spec.describe() == "a,b" and len(spec) == 1
