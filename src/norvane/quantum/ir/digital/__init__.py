"""The digital (gate-model) intermediate representation.

Loading the package registers the node dictionary encodings with the serializer registry, so
any digital IR node can be written with norvane.quantum.serialize.dumps.
"""

from norvane.quantum.ir.digital import serialize as _serialize  # noqa: F401
