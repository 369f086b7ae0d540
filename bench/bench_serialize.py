"""Serialization speed: dumps and loads of a 10,000-instruction circuit.

Each row is the best of several timed runs, in instructions per second. The "JSON text only"
rows encode and decode the same document as plain dictionaries with the standard json module
(no node conversion), which is the floor that the registry's encoder and decoder build on.
Results go to bench/results/serialize.md with the machine and date.
"""

from __future__ import annotations

import datetime
import json
import random
from pathlib import Path

from norvane.quantum.ir.digital import gate
from norvane.quantum.ir.digital.circuit import DigitalCircuit
from norvane.quantum.ir.digital.conditional import ClassicalCondition, ConditionalInstruction
from norvane.quantum.ir.digital.measurement import Measurement
from norvane.quantum.ir.scalar import Literal, Variable
from norvane.quantum.serialize import dumps, loads

from common import best_seconds, machine

N_QUBITS = 16
N_INSTRUCTIONS = 10_000
REPEATS = 7
RESULTS = Path(__file__).parent / "results" / "serialize.md"


def build_circuit(seed: int = 7) -> DigitalCircuit:
    """A mix of every node kind: fixed and parametric gates (with symbolic and exact-decimal
    parameters), small unitaries, measurements and conditional gates."""
    rng = random.Random(seed)
    fixed = [gate.H, gate.X, gate.S, gate.T, gate.SX, gate.CX, gate.CZ, gate.SWAP, gate.CCX]
    parametric = [gate.RX, gate.RY, gate.RZ, gate.CRZ, gate.RZZ, gate.U3]
    theta = Variable("theta")

    def qubits(k):
        return rng.sample(range(N_QUBITS), k)

    def param(i):
        choice = i % 3
        if choice == 0:
            return Literal(f"{rng.random():.6f}")
        if choice == 1:
            return theta * Literal("0.5") + Literal(i)
        return Variable(f"p{i % 8}")

    instructions = []
    for i in range(N_INSTRUCTIONS):
        kind = rng.random()
        if kind < 0.4:
            cls = rng.choice(fixed)
            instructions.append(cls(qubits(cls.n_targets)))
        elif kind < 0.8:
            cls = rng.choice(parametric)
            instructions.append(cls(qubits(cls.n_targets), tuple(param(i + j) for j in range(cls.n_params))))
        elif kind < 0.85:
            instructions.append(gate.UnitaryGate(qubits(1), [[0, 1], [1, 0]]))
        elif kind < 0.93:
            instructions.append(Measurement(qubits(2)))
        else:
            condition = ClassicalCondition(qubits(2), rng.randrange(4))
            instructions.append(ConditionalInstruction(gate.X(qubits(1)), condition))
    return DigitalCircuit(N_QUBITS, instructions, name="bench")


def main() -> None:
    circuit = build_circuit()
    text = dumps(circuit)
    assert loads(text) == circuit
    plain = json.loads(text)

    rows = [
        ("dumps (nodes -> JSON text)", best_seconds(lambda: dumps(circuit), REPEATS)),
        ("loads (JSON text -> nodes)", best_seconds(lambda: loads(text), REPEATS)),
        ("JSON text only: json.dumps of the plain document", best_seconds(lambda: json.dumps(plain), REPEATS)),
        ("JSON text only: json.loads without node hook", best_seconds(lambda: json.loads(text), REPEATS)),
    ]
    header = (
        f"Machine: {machine()}; "
        f"{datetime.date.today().isoformat()}\n\n"
        f"Circuit: {N_INSTRUCTIONS} instructions on {N_QUBITS} qubits, {len(text)} characters of "
        f"JSON; best of {REPEATS} runs.\n"
    )
    table = ["| operation | seconds | instructions/s |", "|---|---:|---:|"]
    for label, seconds in rows:
        table.append(f"| {label} | {seconds:.4f} | {N_INSTRUCTIONS / seconds:,.0f} |")
    report = "# Serialization benchmark\n\n" + header + "\n" + "\n".join(table) + "\n"
    print(report)
    RESULTS.parent.mkdir(parents=True, exist_ok=True)
    RESULTS.write_text(report)


if __name__ == "__main__":
    main()
