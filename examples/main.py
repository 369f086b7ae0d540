"""The kit's main example: build a small circuit and show each gate's matrix from the cache."""

import numpy as np

from norvane.quantum.ir.digital.circuit import DigitalCircuit
from norvane.quantum.ir.digital.gate import CX, RZ, H
from norvane.quantum.ir.scalar import Variable
from norvane.quantum.simulator.digital.unitab import GateMatrixCache


def main():
    circuit = DigitalCircuit(
        n_qubits=2, instructions=(H([0]), CX([0, 1]), RZ([1], [Variable("theta")])), name="bell-rz"
    )
    cache = GateMatrixCache()
    np.set_printoptions(precision=3, suppress=True)
    for gate in circuit.instructions:
        print(f"{gate.print_node()} on {gate.targets}:")
        print(cache.get(gate, theta=np.pi / 2))
    print(f"{len(cache._cache)} distinct matrices cached")


if __name__ == "__main__":
    main()
