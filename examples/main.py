"""The kit's main example: simulate a GHZ state and a quantum Fourier transform, then solve a
max-cut problem with QAOA and VQE (examples/maxcut_qaoa.py), draw the two circuits
(examples/circuit_figures.py), prepare Z2 order in a chain of Rydberg atoms on the analog
emulator (examples/z2_adiabatic_sweep.py), dispatch one analog job to two back ends
(examples/dispatch_backends.py), and run a QAOA circuit and a sweep ideal and under noise
(examples/noise_effects.py)."""

import math

import numpy as np

from norvane.quantum.compiler.analysis.digital.validate import DigitalCircuitValidator
from norvane.quantum.ir.digital.circuit import DigitalCircuit
from norvane.quantum.ir.digital.gate import CPhase, CX, SWAP, Gate, H, X
from norvane.quantum.ir.digital.measurement import Measurement
from norvane.quantum.simulator.digital.dense_sim import DigitalDenseSimulator

import circuit_figures
import dispatch_backends
import maxcut_qaoa
import noise_effects
import z2_adiabatic_sweep


def ghz(n):
    return DigitalCircuit(n, [H([0])] + [CX([q, q + 1]) for q in range(n - 1)] + [Measurement(list(range(n)))], name="ghz")


def qft(n, prepare):
    """QFT of the basis state `prepare` (an integer, qubit 0 most significant)."""
    gates: list[Gate] = [X([q]) for q in range(n) if (prepare >> (n - 1 - q)) & 1]
    for q in range(n):
        gates.append(H([q]))
        for k, control in enumerate(range(q + 1, n), start=2):
            gates.append(CPhase([control, q], [2 * math.pi / 2**k]))
    gates += [SWAP([q, n - 1 - q]) for q in range(n // 2)]
    return DigitalCircuit(n, gates + [Measurement(list(range(n)))], name="qft")


def show(circuit, shots=2000):
    DigitalCircuitValidator().validate(circuit)
    sim = DigitalDenseSimulator(circuit, seed=2026)
    result = sim.run(shots)
    print(f"== {circuit.name}: {circuit.n_qubits} qubits, {len(circuit.instructions)} instructions, {shots} shots")
    print(f"   {result}")
    print(f"   distinct outcomes: {len(result.counts)}; most common: {result.most_common(3)}")
    state = sim.statevector()
    print("   largest amplitudes:")
    for index in np.argsort(-np.abs(state), kind="stable")[:4]:
        amp = state[index]
        if abs(amp) < 1e-12:
            break
        print(f"     |{index:0{circuit.n_qubits}b}>  {amp.real:+.4f}{amp.imag:+.4f}j  (p = {abs(amp) ** 2:.4f})")


def main():
    show(ghz(5))
    show(qft(4, prepare=0b0101))
    print("== max-cut with QAOA (p = 2) and VQE")
    maxcut_qaoa.main()
    print("== circuit figures (open the pages in a browser)")
    circuit_figures.main({"qft": qft(4, prepare=0b0101), "ghz": ghz(5)})
    z2_adiabatic_sweep.main()
    dispatch_backends.main()
    noise_effects.main()


if __name__ == "__main__":
    main()
