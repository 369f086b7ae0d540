"""Noise models: which channels follow which gates, and which measured bits read wrongly."""

from __future__ import annotations

import importlib
import numbers

from norvane.quantum.ir.digital.conditional import ConditionalInstruction
from norvane.quantum.ir.digital.gate import Gate
from norvane.quantum.noise.channels import KrausChannel, ReadoutError

__all__ = ["NoiseModel"]


def _qubit_set(qubits, what: str):
    if qubits is None:
        return None
    if isinstance(qubits, (str, bytes)) or not hasattr(qubits, "__iter__"):
        raise TypeError(f"{what} must be a sequence of qubit indices or None, got {type(qubits).__name__}")
    result = []
    for q in qubits:
        if isinstance(q, bool) or not isinstance(q, numbers.Integral):
            raise TypeError(f"{what} must hold integers, got {type(q).__name__}")
        if q < 0:
            raise ValueError(f"{what} must hold non-negative qubit indices, got {int(q)}")
        result.append(int(q))
    return frozenset(result)


def _gate_classes(gates):
    if gates is None:
        return None
    if isinstance(gates, type) or isinstance(gates, (str, bytes)) or not hasattr(gates, "__iter__"):
        raise TypeError(f"gates must be a list of IR gate classes or None, got {gates!r}")
    classes = tuple(gates)
    for cls in classes:
        if not (isinstance(cls, type) and issubclass(cls, Gate)):
            raise TypeError(f"gates must hold IR gate classes (subclasses of Gate), got {cls!r}")
    return classes


def _class_path(cls: type) -> str:
    return f"{cls.__module__}:{cls.__qualname__}"


def _class_at(path: str) -> type:
    module, _, qualname = path.partition(":")
    value = importlib.import_module(module)
    for part in qualname.split("."):
        value = getattr(value, part)
    if not (isinstance(value, type) and issubclass(value, Gate)):
        raise TypeError(f"{path} is not an IR gate class")
    return value


class NoiseModel:
    """Channels applied after gates and errors on measured bits.

    `add(channel, gates=None, qubits=None)`: after every gate of one of the classes `gates`
    (all gates when None; a conditional gate only when it runs), on its targets. A one-qubit
    channel acts on each target of the gate that lies in `qubits` (all when None); a channel on
    n > 1 qubits follows gates of exactly n targets, all in `qubits`, on the targets in the
    gate's order. Channels of several rules follow a gate in the order the rules were added.

    `add_readout(error, qubits=None)`: the bit recorded for a measured qubit in `qubits` (all
    when None) reads wrongly with the error's probabilities; several errors on one qubit apply
    one after the other.
    """

    __slots__ = ("_rules", "_readout")

    def __init__(self):
        self._rules: list[tuple[KrausChannel, tuple | None, frozenset | None]] = []
        self._readout: list[tuple[ReadoutError, frozenset | None]] = []

    def add(self, channel, gates=None, qubits=None) -> None:
        if not isinstance(channel, KrausChannel):
            raise TypeError(f"add expects a channel (KrausChannel), got {type(channel).__name__}")
        self._rules.append((channel, _gate_classes(gates), _qubit_set(qubits, "qubits")))

    def add_readout(self, error, qubits=None) -> None:
        if not isinstance(error, ReadoutError):
            raise TypeError(f"add_readout expects a ReadoutError, got {type(error).__name__}")
        self._readout.append((error, _qubit_set(qubits, "qubits")))

    @property
    def is_empty(self) -> bool:
        return not self._rules and not self._readout

    def channels_after(self, instruction) -> list[tuple[KrausChannel, tuple[int, ...]]]:
        """The (channel, qubits) pairs that follow a gate or conditional gate, in order."""
        gate = instruction.instruction if isinstance(instruction, ConditionalInstruction) else instruction
        targets = tuple(gate.targets)
        found = []
        for channel, classes, qubits in self._rules:
            if classes is not None and not isinstance(gate, classes):
                continue
            n = channel.n_qubits
            if n == 1:
                found.extend((channel, (t,)) for t in targets if qubits is None or t in qubits)
            elif len(targets) == n and (qubits is None or all(t in qubits for t in targets)):
                found.append((channel, targets))
        return found

    def readout_for(self, qubit: int) -> ReadoutError | None:
        """The combined readout error of a qubit, None when it reads without error."""
        combined = None
        for error, qubits in self._readout:
            if qubits is None or qubit in qubits:
                combined = error if combined is None else combined.then(error)
        return combined

    def __eq__(self, other):
        if type(other) is not NoiseModel:
            return NotImplemented
        return self._rules == other._rules and self._readout == other._readout

    __hash__ = None

    def __repr__(self):
        return f"NoiseModel(<{len(self._rules)} channel rule(s), {len(self._readout)} readout rule(s)>)"

    def __getstate__(self):
        return self._to_dict()

    def __setstate__(self, state):
        restored = NoiseModel._from_dict(state)
        self._rules, self._readout = restored._rules, restored._readout

    def _to_dict(self) -> dict:
        def listed(qubits):
            return None if qubits is None else sorted(qubits)

        return {
            "channels": [
                {"channel": channel, "gates": None if classes is None else [_class_path(c) for c in classes],
                 "qubits": listed(qubits)}
                for channel, classes, qubits in self._rules
            ],
            "readout": [{"error": error, "qubits": listed(qubits)} for error, qubits in self._readout],
        }

    @staticmethod
    def _from_dict(data) -> NoiseModel:
        model = NoiseModel()
        for rule in data["channels"]:
            gates = rule["gates"]
            model.add(rule["channel"], None if gates is None else [_class_at(path) for path in gates], rule["qubits"])
        for rule in data["readout"]:
            model.add_readout(rule["error"], rule["qubits"])
        return model
