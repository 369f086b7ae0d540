"""Literal NumPy model of the statevector simulator: tensor contraction, axis moves and a
weighted choice over normalised probabilities, one shot at a time from |0...0>."""

import numpy as np

from norvane.quantum.ir.digital.conditional import ConditionalInstruction
from norvane.quantum.ir.digital.gate import H, S, Gate, ParametricGate, Sdg
from norvane.quantum.ir.digital.measurement import Measurement, MeasurementBasis


def gate_matrix(gate, **kwargs):
    if isinstance(gate, ParametricGate):
        return type(gate)(targets=gate.targets, params=gate._eval_params(**kwargs)).matrix()
    return gate.matrix()


class ReferenceSimulator:
    def __init__(self, circuit, seed=None):
        self.circuit = circuit
        self.rng = np.random.default_rng(seed)

    def init_state(self):
        state = np.zeros(2**self.circuit.n_qubits, dtype=complex)
        state[0] = 1.0
        return state

    def apply_gate(self, state, gate, **kwargs):
        n = self.circuit.n_qubits
        m = np.asarray(gate_matrix(gate, **kwargs))
        targets = list(gate.targets)
        k = len(targets)
        tensor = state.reshape([2] * n)
        out = np.tensordot(m.reshape([2] * (2 * k)), tensor, axes=(list(range(k, 2 * k)), targets))
        remaining = [q for q in range(n) if q not in targets]
        src = [0] * n
        for j, t in enumerate(targets):
            src[t] = j
        for m_, q in enumerate(remaining):
            src[q] = k + m_
        return np.moveaxis(out, src, list(range(n))).reshape(-1)

    def apply_measurement(self, state, meas, cbits):
        n = self.circuit.n_qubits
        qubits = list(meas.qubits)
        if meas.basis == MeasurementBasis.X:
            for q in qubits:
                state[:] = self.apply_gate(state, H(targets=(q,)))
        elif meas.basis == MeasurementBasis.Y:
            for q in qubits:
                state[:] = self.apply_gate(state, Sdg(targets=(q,)))
                state[:] = self.apply_gate(state, H(targets=(q,)))
        probs = np.abs(state) ** 2
        probs = probs / probs.sum()
        outcome = int(self.rng.choice(len(state), p=probs))
        bits = format(outcome, f"0{n}b")
        for q, b in zip(qubits, meas.bits if meas.bits else qubits):
            cbits[b] = int(bits[q])
        keep = np.ones(len(state), dtype=bool)
        for q in qubits:
            keep &= ((np.arange(len(state)) >> (n - 1 - q)) & 1) == int(bits[q])
        state[~keep] = 0
        norm = np.sqrt(np.sum(np.abs(state) ** 2))
        if norm > 1e-12:
            state /= norm
        if meas.basis == MeasurementBasis.X:
            for q in qubits:
                state[:] = self.apply_gate(state, H(targets=(q,)))
        elif meas.basis == MeasurementBasis.Y:
            for q in qubits:
                state[:] = self.apply_gate(state, H(targets=(q,)))
                state[:] = self.apply_gate(state, S(targets=(q,)))

    def run(self, shots=1024, **kwargs):
        counts, memory = {}, []
        for _ in range(shots):
            state = self.init_state()
            cbits = [0] * self.circuit.n_cbits
            for instruction in self.circuit.instructions:
                if isinstance(instruction, ConditionalInstruction):
                    if instruction.condition.evaluate(cbits):
                        state = self.apply_gate(state, instruction.instruction, **kwargs)
                elif isinstance(instruction, Gate):
                    state = self.apply_gate(state, instruction, **kwargs)
                elif isinstance(instruction, Measurement):
                    self.apply_measurement(state, instruction, cbits)
            bitstring = "".join(str(b) for b in cbits)
            memory.append(bitstring)
            counts[bitstring] = counts.get(bitstring, 0) + 1
        return counts, memory

    def statevector(self, **kwargs):
        state = self.init_state()
        for instruction in self.circuit.instructions:
            if isinstance(instruction, Gate) and not isinstance(instruction, ConditionalInstruction):
                state = self.apply_gate(state, instruction, **kwargs)
        return state
