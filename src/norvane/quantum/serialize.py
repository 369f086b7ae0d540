"""Serializer registry: JSON encoding of registered kit objects.

A class joins the registry with ``Serializer.register(cls)``; the class then offers
``set_serializer(fn)`` and ``set_deserializer(fn)``. A serializer turns one object into a
mapping (its payload); a deserializer turns that mapping back into the object.

In JSON text an object of a registered class is written as a one-key object
``{"<module>.<qualname>": payload}``. Values inside a payload may be registered objects
themselves: the encoder writes them the same way, recursively. On reading, the decoder
hands every JSON object to ``Serializer.object_hook`` innermost first, so a deserializer
receives a payload whose nested nodes are already rebuilt.
"""

from __future__ import annotations

import json
from collections.abc import Callable, Mapping
from typing import Any

__all__ = ["Serializer", "NorvaneIRSerializer", "NorvaneIRDeserializer", "dumps", "loads"]

# JSON encodes instances of these types (subclasses included) natively and never asks the
# encoder's ``default``, so a registered subclass of one of them would be written untagged.
_JSON_NATIVE = (dict, list, tuple, str, int, float)


class _Entry:
    """What the registry knows of one class: its tag and its two functions."""

    __slots__ = ("cls", "name", "serializer", "deserializer")

    def __init__(self, cls: type, name: str):
        self.cls = cls
        self.name = name
        self.serializer: Callable[[Any], Mapping] | None = None
        self.deserializer: Callable[[Mapping], Any] | None = None


def _qualified_name(cls: type) -> str:
    return f"{cls.__module__}.{cls.__qualname__}"


def _check_callable(fn: Any, what: str, cls: type) -> None:
    if not callable(fn):
        raise TypeError(
            f"{what} for {_qualified_name(cls)} must be callable, got {type(fn).__name__}"
        )


class Serializer:
    """The process-wide registry of serializable classes."""

    _by_class: dict[type, _Entry] = {}
    _by_name: dict[str, _Entry] = {}

    def __init__(self):
        raise TypeError("Serializer is a registry and is not instantiated; use its class methods")

    @staticmethod
    def register(cls: Any) -> Any:
        """Register `cls` and give it ``set_serializer``/``set_deserializer``; return it.

        Registering a class again keeps the functions already recorded for it. A class
        that shares its qualified name with an earlier one takes over that name for
        decoding.
        """
        if not isinstance(cls, type):
            raise TypeError(
                f"Serializer.register expects a class, got {type(cls).__name__} {cls!r}"
            )
        if issubclass(cls, _JSON_NATIVE):
            raise TypeError(
                f"cannot register {_qualified_name(cls)}: it derives from a type that JSON "
                f"writes natively ({', '.join(t.__name__ for t in _JSON_NATIVE)})"
            )
        entry = Serializer._by_class.get(cls)
        if entry is None:
            entry = _Entry(cls, _qualified_name(cls))
            Serializer._by_class[cls] = entry
        Serializer._by_name[entry.name] = entry
        cls.set_serializer = classmethod(_set_serializer)
        cls.set_deserializer = classmethod(_set_deserializer)
        return cls

    @classmethod
    def _entry(cls, target: type) -> _Entry:
        # set_serializer/set_deserializer are inherited by subclasses; a subclass that
        # records its own functions becomes a registered class in its own right.
        entry = cls._by_class.get(target)
        if entry is None:
            cls.register(target)
            entry = cls._by_class[target]
        return entry

    @classmethod
    def object_hook(cls, value: Any) -> Any:
        """Rebuild the object that `value` encodes, or return `value` unchanged.

        `value` encodes an object when it is a dict with exactly one key, that key is the
        qualified name of a registered class, and a deserializer is recorded for it.
        """
        if not isinstance(value, dict) or len(value) != 1:
            return value
        ((key, payload),) = value.items()
        if not isinstance(key, str):
            return value
        entry = cls._by_name.get(key)
        if entry is None or entry.deserializer is None:
            return value
        return entry.deserializer(payload)

    @classmethod
    def _encode(cls, obj: Any) -> dict | None:
        """The tagged mapping for a registered object, or None if `obj` is not one."""
        entry = cls._by_class.get(type(obj))
        if entry is None:
            for base in type(obj).__mro__[1:]:
                entry = cls._by_class.get(base)
                if entry is not None:
                    break
            else:
                return None
        if entry.serializer is None:
            raise TypeError(
                f"no serializer is recorded for {entry.name}; "
                f"call {entry.cls.__name__}.set_serializer(fn) first"
            )
        payload = entry.serializer(obj)
        if not isinstance(payload, Mapping):
            raise TypeError(
                f"the serializer for {entry.name} returned {type(payload).__name__}, "
                f"expected a mapping"
            )
        return {entry.name: dict(payload)}


def _set_serializer(cls: type, fn: Callable[[Any], Mapping]) -> Callable[[Any], Mapping]:
    """Record `fn` as this class's serializer (object -> mapping) and return `fn`."""
    _check_callable(fn, "serializer", cls)
    Serializer._entry(cls).serializer = fn
    return fn


def _set_deserializer(cls: type, fn: Callable[[Mapping], Any]) -> Callable[[Mapping], Any]:
    """Record `fn` as this class's deserializer (mapping -> object) and return `fn`."""
    _check_callable(fn, "deserializer", cls)
    Serializer._entry(cls).deserializer = fn
    return fn


class NorvaneIRSerializer(json.JSONEncoder):
    """JSON encoder that writes registered objects as ``{qualified name: payload}``."""

    def default(self, o: Any) -> Any:
        encoded = Serializer._encode(o)
        if encoded is None:
            return super().default(o)
        return encoded


class NorvaneIRDeserializer(json.JSONDecoder):
    """JSON decoder that rebuilds registered objects through ``Serializer.object_hook``."""

    def __init__(self, **kw: Any):
        kw.setdefault("object_hook", Serializer.object_hook)
        super().__init__(**kw)


def dumps(obj: Any, **kw: Any) -> str:
    """JSON text of `obj`; registered objects anywhere inside it are tagged and encoded."""
    kw.setdefault("cls", NorvaneIRSerializer)
    return json.dumps(obj, **kw)


def loads(text: str | bytes | bytearray, **kw: Any) -> Any:
    """Parse JSON text written by `dumps`, rebuilding every registered object."""
    kw.setdefault("cls", NorvaneIRDeserializer)
    return json.loads(text, **kw)
