"""Validation speed: the native validator against a literal pure-Python version of the same checks.

Two circuits of 10,000 instructions on 16 qubits: one that passes (gates, conditional gates
and parametric gates with literal parameters, then one measurement per qubit) and one where
every instruction adds report lines (unresolved parameters, out-of-range targets, repeated
measurements). Each is validated repeatedly and the best time is kept. Both validators must
produce the same outcome, so the comparison is of equal work. Where the statevector simulator
is installed, one simulation of the passing circuit is timed as well.

Writes bench/results/validate.md.
"""

from __future__ import annotations

import datetime
import pathlib
import time

from common import best_seconds, machine
from norvane.quantum.compiler.analysis.digital.validate import (
    DigitalCircuitValidator,
    ValidationError,
)
from norvane.quantum.ir.digital import gate as g
from norvane.quantum.ir.digital.circuit import DigitalCircuit
from norvane.quantum.ir.digital.conditional import ClassicalCondition, ConditionalInstruction
from norvane.quantum.ir.digital.measurement import Measurement, MeasurementBasis

N_QUBITS = 16
N_INSTRUCTIONS = 10_000
REPEATS = 7


class PythonValidator:
    """The checks written out plainly in Python, message for message."""

    def __init__(self, validate_params=True, supported_measurement_bases=None,
                 allow_mid_circuit_measurement=False):
        self.validate_params = bool(validate_params)
        if supported_measurement_bases is None:
            supported_measurement_bases = (
                MeasurementBasis.Z, MeasurementBasis.X, MeasurementBasis.Y)
        self.supported_measurement_bases = set(supported_measurement_bases)
        self.allow_mid_circuit_measurement = bool(allow_mid_circuit_measurement)

    def validate(self, circuit):
        errors = []
        errors.extend(self._check_qubit_bounds(circuit))
        errors.extend(self._check_measurement_semantics(circuit))
        if self.validate_params:
            errors.extend(self._check_param_completeness(circuit))
        if errors:
            body = "\n".join(f"  [{k}] {e}" for k, e in enumerate(errors, 1))
            raise ValidationError(f"Circuit validation failed ({len(errors)} error(s)):\n{body}")

    def _check_qubit_bounds(self, circuit):
        errors = []
        n, nc = circuit.n_qubits, circuit.n_cbits
        for i, inst in enumerate(circuit.instructions):
            if isinstance(inst, (g.Gate, ConditionalInstruction)):
                for q in inst.targets:
                    if q >= n or q < 0:
                        errors.append(f"Instruction {i} ({inst}): qubit {q} out of range [0, {n}).")
            elif isinstance(inst, Measurement):
                for q in inst.qubits:
                    if q >= n or q < 0:
                        errors.append(f"Instruction {i} (Measure): qubit {q} out of range [0, {n}).")
                if inst.bits is not None:
                    for b in inst.bits:
                        if b >= nc or b < 0:
                            errors.append(
                                f"Instruction {i} (Measure): classical bit {b} out of range [0, {nc}).")
        return errors

    def _check_measurement_semantics(self, circuit):
        errors = []
        measured_qubits, written_bits = {}, {}
        mid = self.allow_mid_circuit_measurement
        nc = circuit.n_cbits
        for i, inst in enumerate(circuit.instructions):
            if isinstance(inst, (g.Gate, ConditionalInstruction)):
                if isinstance(inst, ConditionalInstruction):
                    for c in inst.condition.clbits:
                        if c >= nc or c < 0:
                            errors.append(
                                f"Instruction {i} (Conditional): classical bit {c} out of range [0, {nc}).")
                        elif mid and c not in written_bits:
                            errors.append(
                                f"Instruction {i} (Conditional): condition reads classical bit {c} "
                                "before it is written by a measurement.")
                if mid:
                    continue
                for q in inst.targets:
                    if q in measured_qubits:
                        errors.append(f"Instruction {i} ({inst}): qubit {q} was already measured "
                                      f"at instruction {measured_qubits[q]}.")
            elif isinstance(inst, Measurement):
                if inst.basis not in self.supported_measurement_bases:
                    values = sorted(b.value for b in self.supported_measurement_bases)
                    errors.append(f"Instruction {i} (Measure): unsupported measurement basis "
                                  f"{inst.basis.value}; supported bases are {values}.")
                for q in inst.qubits:
                    if not mid and q in measured_qubits:
                        errors.append(f"Instruction {i} (Measure): qubit {q} was already measured "
                                      f"at instruction {measured_qubits[q]}.")
                    measured_qubits[q] = i
                for c in inst.bits if inst.bits else inst.qubits:
                    if not mid and c in written_bits:
                        errors.append(f"Instruction {i} (Measure): classical bit {c} is written more "
                                      f"than once; first write was at instruction {written_bits[c]}.")
                    if c not in written_bits:
                        written_bits[c] = i
        return errors

    def _check_param_completeness(self, circuit):
        errors = []
        for i, inst in enumerate(circuit.instructions):
            if isinstance(inst, ConditionalInstruction):
                inst = inst.instruction
            if not isinstance(inst, g.ParametricGate):
                continue
            for j, p in enumerate(inst.params):
                names = self._find_variables(p)
                if names:
                    errors.append(f"Instruction {i} ({inst.print_node()}): param {j} contains "
                                  f"unresolved variables: {sorted(names)}")
        return errors

    def _find_variables(self, scalar):
        from norvane.quantum.ir.scalar import (
            Add, AssignedVariable, Div, Literal, Max, Min, Mul, Negative, Variable)
        if isinstance(scalar, Variable):
            return [scalar.name]
        if isinstance(scalar, (Literal, AssignedVariable)):
            return []
        if isinstance(scalar, Negative):
            return self._find_variables(scalar.expr)
        if isinstance(scalar, (Add, Mul, Div)):
            return self._find_variables(scalar.lhs) + self._find_variables(scalar.rhs)
        if isinstance(scalar, (Min, Max)):
            return [name for s in scalar.scalars for name in self._find_variables(s)]
        return []


def passing_circuit() -> DigitalCircuit:
    instructions = []
    k = 0
    while len(instructions) < N_INSTRUCTIONS - N_QUBITS:
        q = k % N_QUBITS
        r = (q + 1) % N_QUBITS
        kind = k % 4
        if kind == 0:
            instructions.append(g.H(targets=(q,)))
        elif kind == 1:
            instructions.append(g.CX(targets=(q, r)))
        elif kind == 2:
            instructions.append(g.RZ(targets=(q,), params=(0.25 * (k % 7),)))
        else:
            instructions.append(ConditionalInstruction(
                instruction=g.X(targets=(r,)), condition=ClassicalCondition(clbits=(q,), value=1)))
        k += 1
    instructions += [Measurement(qubits=(q,)) for q in range(N_QUBITS)]
    return DigitalCircuit(N_QUBITS, instructions)


def faulty_circuit() -> DigitalCircuit:
    from norvane.quantum.ir.scalar import Variable
    theta, phi = Variable("theta"), Variable("phi")
    instructions = []
    for k in range(N_INSTRUCTIONS):
        q = k % N_QUBITS
        kind = k % 3
        if kind == 0:
            instructions.append(g.RX(targets=(q,), params=(theta * 2 + phi,)))
        elif kind == 1:
            instructions.append(g.H(targets=(N_QUBITS + q,)))
        else:
            instructions.append(Measurement(qubits=(q,)))
    return DigitalCircuit(N_QUBITS, instructions)


def outcome(validator, circuit) -> str | None:
    try:
        validator.validate(circuit)
    except ValidationError as error:
        return str(error)
    return None


def simulation_time(circuit):
    try:
        from norvane.quantum.simulator.digital.dense_sim import DigitalDenseSimulator
    except ImportError:
        return None
    start = time.perf_counter()
    DigitalDenseSimulator(circuit, seed=1).run(shots=1)
    return time.perf_counter() - start


def main() -> None:
    native, literal = DigitalCircuitValidator(), PythonValidator()
    rows = []
    for label, circuit in (("passing", passing_circuit()), ("faulty", faulty_circuit())):
        expected = outcome(literal, circuit)
        if outcome(native, circuit) != expected:
            raise SystemExit(f"{label}: native and literal validators disagree")
        lines = 0 if expected is None else expected.count("\n")
        t_native = best_seconds(lambda: outcome(native, circuit), REPEATS)
        t_python = best_seconds(lambda: outcome(literal, circuit), REPEATS)
        rows.append((label, lines, t_native, t_python))

    header = ("| circuit | report lines | native ms | native instr/s | Python ms "
              "| Python instr/s | speed-up |")
    table = [header, "|---|---:|---:|---:|---:|---:|---:|"]
    for label, lines, t_native, t_python in rows:
        table.append(
            f"| {label} | {lines} | {t_native * 1e3:.2f} | {N_INSTRUCTIONS / t_native:,.0f} "
            f"| {t_python * 1e3:.2f} | {N_INSTRUCTIONS / t_python:,.0f} "
            f"| {t_python / t_native:.1f}x |")
    t_sim = simulation_time(passing_circuit())
    sim_line = ("one simulation of the passing circuit (1 shot): "
                + ("statevector simulator not installed" if t_sim is None
                   else f"{t_sim * 1e3:.2f} ms ({t_sim / rows[0][2]:.0f}x the native validation)"))

    text = "\n".join(table) + "\n\n" + sim_line + "\n"
    print(text)
    note = (
        f"# Circuit validation: {N_INSTRUCTIONS:,} instructions on {N_QUBITS} qubits\n\n"
        f"Machine: {machine()}  \nDate: {datetime.date.today().isoformat()}  \n"
        f"Best of {REPEATS} runs each; both validators give the same outcome on both circuits.\n\n"
        + text)
    out = pathlib.Path(__file__).with_name("results") / "validate.md"
    out.parent.mkdir(exist_ok=True)
    out.write_text(note)


if __name__ == "__main__":
    main()
