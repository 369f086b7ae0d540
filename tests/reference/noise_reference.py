"""Literal NumPy models of noisy simulation: the density matrix straight from the Kraus sums,
and trajectories simulated shot by shot from |0...0> with the documented draws."""

import numpy as np

from norvane.quantum.ir.digital.conditional import ConditionalInstruction
from norvane.quantum.ir.digital.gate import Gate
from norvane.quantum.ir.digital.measurement import Measurement
from tests.reference.dense_reference import ReferenceSimulator, gate_matrix


def embed(matrix, targets, n):
    """The 2^n x 2^n operator of `matrix` on `targets` (first target most significant)."""
    k = len(targets)
    full = np.zeros((2**n, 2**n), dtype=complex)
    for column in range(2**n):
        bits = [(column >> (n - 1 - q)) & 1 for q in range(n)]
        local = sum(bits[t] << (k - 1 - j) for j, t in enumerate(targets))
        for row_local in range(2**k):
            out = list(bits)
            for j, t in enumerate(targets):
                out[t] = (row_local >> (k - 1 - j)) & 1
            row = sum(b << (n - 1 - q) for q, b in enumerate(out))
            full[row, column] += matrix[row_local, local]
    return full


def density_matrix(circuit, model, **kwargs):
    """rho after every gate (U rho U^dagger) and channel (sum K rho K^dagger); measurements last."""
    n = circuit.n_qubits
    rho = np.zeros((2**n, 2**n), dtype=complex)
    rho[0, 0] = 1.0
    for instruction in circuit.instructions:
        if isinstance(instruction, ConditionalInstruction):
            if not instruction.condition.evaluate([0] * circuit.n_cbits):
                continue
            gate = instruction.instruction
        elif isinstance(instruction, Gate):
            gate = instruction
        else:
            continue
        u = embed(gate_matrix(gate, **kwargs), gate.targets, n)
        rho = u @ rho @ u.conj().T
        if model is not None:
            for channel, qubits in model.channels_after(instruction):
                ks = [embed(k, qubits, n) for k in channel.operators]
                rho = sum(k @ rho @ k.conj().T for k in ks)
    return rho


def _choice(weights, u):
    cdf = np.cumsum(weights)
    return int(np.searchsorted(cdf / cdf[-1], u, side="right"))


class _WriteLog(list):
    """Classical bits that also list the values written, in order."""

    def __init__(self, bits):
        super().__init__(bits)
        self.writes = []

    def __setitem__(self, index, value):
        self.writes.append(value)
        super().__setitem__(index, value)


class TrajectoryReference(ReferenceSimulator):
    """Each shot draws one variate per mixture channel of the circuit and one per recorded bit
    with a readout error, then one per measurement and general channel it runs; channels after
    the last measurement and channels whose every term is the identity draw nothing."""

    def __init__(self, circuit, model, seed=None):
        super().__init__(circuit, seed)
        self.model = model
        ops = []
        for instruction in circuit.instructions:
            ops.append(("instruction", instruction))
            if isinstance(instruction, (Gate, ConditionalInstruction)):
                for channel, qubits in model.channels_after(instruction):
                    mixture, terms = channel._sampling_terms()
                    if mixture and all(u is None for _, u in terms):
                        continue
                    condition = instruction.condition if isinstance(instruction, ConditionalInstruction) else None
                    ops.append(("noise", (mixture, terms, list(qubits), condition)))
        last = max((i for i, (kind, x) in enumerate(ops) if isinstance(x, Measurement)), default=-1)
        self.ops = [op for i, op in enumerate(ops) if i < last or op[0] != "noise"]

    def _readout(self, qubit):
        error = self.model.readout_for(qubit)
        return error if error is not None and (error.p01 > 0 or error.p10 > 0) else None

    def run(self, shots=1024, **kwargs):
        n = self.circuit.n_qubits
        mixtures = [op[1] for op in self.ops if op[0] == "noise" and op[1][0]]
        readout_bits = sum(
            1 for kind, x in self.ops if isinstance(x, Measurement)
            for q in x.qubits[: len(x.bits) if x.bits else len(x.qubits)] if self._readout(q)
        )
        counts, memory = {}, []
        for _ in range(shots):
            start = list(self.rng.random(len(mixtures) + readout_bits))
            terms = [_choice([p for p, _ in noise[1]], start.pop(0)) for noise in mixtures]
            state, cbits = self.init_state(), [0] * self.circuit.n_cbits
            for kind, item in self.ops:
                if kind == "noise":
                    mixture, channel_terms, qubits, condition = item
                    term = terms.pop(0) if mixture else None
                    if condition is not None and not condition.evaluate(cbits):
                        continue
                    if mixture:
                        if channel_terms[term][1] is not None:
                            state = embed(channel_terms[term][1], qubits, n) @ state
                        continue
                    branches = [embed(k, qubits, n) @ state for k in channel_terms]
                    j = _choice([np.vdot(b, b).real for b in branches], self.rng.random())
                    state = branches[j] / np.linalg.norm(branches[j])
                elif isinstance(item, ConditionalInstruction):
                    if item.condition.evaluate(cbits):
                        state = self.apply_gate(state, item.instruction, **kwargs)
                elif isinstance(item, Gate):
                    state = self.apply_gate(state, item, **kwargs)
                elif isinstance(item, Measurement):
                    true_bits = _WriteLog(cbits)
                    self.apply_measurement(state, item, true_bits)
                    for (q, b), value in zip(zip(item.qubits, item.bits if item.bits else item.qubits), true_bits.writes):
                        error = self._readout(q)
                        flip = error is not None and start.pop(0) < (error.p10 if value else error.p01)
                        cbits[b] = value ^ flip
            bitstring = "".join(str(b) for b in cbits)
            memory.append(bitstring)
            counts[bitstring] = counts.get(bitstring, 0) + 1
        return counts, memory
