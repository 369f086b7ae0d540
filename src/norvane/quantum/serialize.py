"""Registry of JSON encoders and decoders for kit objects.

A registered object is written as a one-key mapping ``{"<module>.<qualname>": payload}``,
where the payload is what its class's serializer returns; registered objects nested in a
payload are written the same way. Reading decodes innermost mappings first, so a
deserializer receives its nested nodes already built.
"""

from __future__ import annotations

import json
from typing import Any, Callable


def _type_name(cls: type) -> str:
    return f"{cls.__module__}.{cls.__qualname__}"


class Serializer:
    """Class-level registry: serializer by class, deserializer by qualified class name."""

    _serializers: dict[type, Callable[[Any], Any]] = {}
    _deserializers: dict[str, Callable[[Any], Any]] = {}

    @classmethod
    def register(cls, target: type) -> type:
        """Give `target` the class methods `set_serializer(fn)` and `set_deserializer(fn)`."""

        def set_serializer(klass, fn):
            cls._serializers[klass] = fn
            return fn

        def set_deserializer(klass, fn):
            cls._deserializers[_type_name(klass)] = fn
            return fn

        target.set_serializer = classmethod(set_serializer)
        target.set_deserializer = classmethod(set_deserializer)
        return target

    @classmethod
    def object_hook(cls, value):
        """The node for a one-key mapping of a registered class; any other value unchanged."""
        if isinstance(value, dict) and len(value) == 1:
            ((name, payload),) = value.items()
            deserializer = cls._deserializers.get(name)
            if deserializer is not None:
                return deserializer(payload)
        return value


class NorvaneIRSerializer(json.JSONEncoder):
    def default(self, obj):
        serializer = Serializer._serializers.get(type(obj))
        if serializer is None:
            return super().default(obj)
        return {_type_name(type(obj)): serializer(obj)}


class NorvaneIRDeserializer(json.JSONDecoder):
    def __init__(self, **kwargs):
        kwargs.setdefault("object_hook", Serializer.object_hook)
        super().__init__(**kwargs)


def dumps(obj) -> str:
    return json.dumps(obj, cls=NorvaneIRSerializer)


def loads(text):
    return json.loads(text, cls=NorvaneIRDeserializer)
