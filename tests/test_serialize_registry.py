import json
from dataclasses import dataclass
from typing import Any

import pytest
from hypothesis import given, strategies as st

from norvane.quantum.serialize import (
    NorvaneIRDeserializer,
    NorvaneIRSerializer,
    Serializer,
    dumps,
    loads,
)


@dataclass
class Leaf:
    value: int
    label: str


@dataclass
class Pair:
    left: Any
    right: Any


@dataclass
class NoFunctions:
    x: int


class LeafChild(Leaf):
    pass


def _tag(cls):
    return f"{cls.__module__}.{cls.__qualname__}"


def _leaf_serializer(obj):
    return {"value": obj.value, "label": obj.label}


PAIR_PAYLOADS = []


def _pair_deserializer(d):
    PAIR_PAYLOADS.append(d)
    return Pair(d["left"], d["right"])


assert Serializer.register(Leaf) is Leaf
Serializer.register(Pair)
Serializer.register(NoFunctions)
assert Leaf.set_serializer(_leaf_serializer) is _leaf_serializer
Leaf.set_deserializer(lambda d: Leaf(d["value"], d["label"]))
# Nested nodes in a payload are left to the encoder.
Pair.set_serializer(lambda obj: {"left": obj.left, "right": obj.right})
assert Pair.set_deserializer(_pair_deserializer) is _pair_deserializer


def test_nested_round_trip_and_format():
    tree = Pair(Leaf(1, "a"), [Leaf(2, "b"), Pair(None, {"k": Leaf(3, "c")})])
    text = dumps(tree)
    raw = json.loads(text)
    assert list(raw) == [_tag(Pair)]
    assert raw[_tag(Pair)]["left"] == {_tag(Leaf): {"value": 1, "label": "a"}}
    assert loads(text) == tree
    text = json.dumps(tree, cls=NorvaneIRSerializer, indent=2)
    assert json.loads(text, cls=NorvaneIRDeserializer) == tree


def test_deserializer_receives_nested_nodes_already_built():
    PAIR_PAYLOADS.clear()
    loads(dumps(Pair(Leaf(1, "x"), Pair(Leaf(2, "y"), 5))))
    inner, outer = PAIR_PAYLOADS  # innermost first
    assert inner == {"left": Leaf(2, "y"), "right": 5}
    assert outer == {"left": Leaf(1, "x"), "right": Pair(Leaf(2, "y"), 5)}


nodes = st.recursive(
    st.builds(Leaf, st.integers(), st.text()),
    lambda kids: st.builds(
        Pair, kids | st.none() | st.floats(allow_nan=False), st.lists(kids, max_size=3)
    ),
    max_leaves=12,
)


@given(nodes)
def test_round_trip_property(tree):
    assert loads(dumps(tree)) == tree


def test_subclass_and_reregistration_use_the_recorded_pair():
    assert Serializer.register(Leaf) is Leaf  # again: keeps its functions
    text = dumps(LeafChild(4, "s"))
    assert list(json.loads(text)) == [_tag(Leaf)]
    assert loads(text) == Leaf(4, "s")

    class Tagged(Leaf):  # a subclass recording its own pair becomes registered itself
        pass

    Tagged.set_serializer(lambda obj: {"v": obj.value})
    Tagged.set_deserializer(lambda d: Tagged(d["v"], "tagged"))
    assert list(json.loads(dumps(Tagged(5, "t")))) == [_tag(Tagged)]
    assert loads(dumps(Tagged(5, "t"))) == Tagged(5, "tagged")
    assert loads(dumps(Leaf(6, "u"))) == Leaf(6, "u")


class _DictSubclass(dict):
    pass


@pytest.mark.parametrize(
    "value",
    [
        None,
        3,
        [1, {"a": 2}],
        {},
        {"a": 1, "b": 2},
        {"unknown.Class": {"value": 1}},
        {"__scalar__": {"__type__": "Literal", "value": "1"}},
        {_tag(Leaf): {"value": 1, "label": "a"}, "extra": 0},
        {_tag(NoFunctions): {"x": 1}},  # registered, but no deserializer recorded
    ],
)
def test_object_hook_leaves_other_values_unchanged(value):
    assert Serializer.object_hook(value) is value


def test_object_hook_accepts_dict_subclasses():
    encoded = _DictSubclass({_tag(Leaf): {"value": 9, "label": "z"}})
    assert Serializer.object_hook(encoded) == Leaf(9, "z")


@pytest.mark.parametrize(
    "target, message",
    [(Leaf(1, "a"), "expects a class"), (None, "expects a class")]
    + [(type("N", (b,), {}), "writes natively") for b in (dict, list, tuple, str, int, float)],
)
def test_register_refuses(target, message):
    with pytest.raises(TypeError, match=message):
        Serializer.register(target)


def test_encoding_errors():
    with pytest.raises(TypeError, match=r"no serializer .* for test_serialize_registry\.NoFunctions"):
        dumps([NoFunctions(1)])
    with pytest.raises(TypeError, match="object is not JSON serializable"):
        dumps({"a": object()})
    with pytest.raises(TypeError, match="must be callable"):
        NoFunctions.set_deserializer(None)

    @dataclass
    class Bad:
        pass

    Serializer.register(Bad).set_serializer(lambda obj: [1, 2])
    with pytest.raises(TypeError, match="returned list, expected a mapping"):
        dumps(Bad())
