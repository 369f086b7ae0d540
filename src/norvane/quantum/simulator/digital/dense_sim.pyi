import numpy
from numpy.typing import ArrayLike, NDArray

from norvane.quantum.ir.digital.circuit import DigitalCircuit
from norvane.quantum.noise import NoiseModel



class SimulationResult:
    """
    Result of a digital circuit simulation.

    Fields:
        counts: insertion-ordered dict from bitstring to the number of shots that produced it;
            a bitstring has one character per classical bit, bit 0 leftmost.
        memory: list of the bitstring of every shot, in execution order.
        shots: total number of shots.
        n_qubits: number of qubits of the simulated circuit.
        n_cbits: number of classical bits of the simulated circuit.
    """

    def __init__(self, counts: dict[str, int], shots: int, n_qubits: int, n_cbits: int, memory: list[str] | None = None) -> None: ...

    counts: dict[str, int]

    memory: list[str]

    shots: int

    n_qubits: int

    n_cbits: int

    def expectation(self, observable: ArrayLike) -> float:
        """
        Expectation of a diagonal observable: sum of observable[int(b, 2)] * count / shots.
        """

    def probabilities(self) -> dict[str, float]:
        """Ordered dict from bitstring to count / shots."""

    def most_common(self, n: int = 1) -> list[tuple[str, int]]:
        """
        The n most frequent (bitstring, count) pairs; ties keep first-occurrence order.
        """

    def __repr__(self) -> str: ...

    def __getstate__(self) -> tuple: ...

    def __setstate__(self, state: object | None) -> None: ...

class DigitalDenseSimulator:
    """
    Pure-numpy statevector simulator for digital quantum circuits.

    Args:
        circuit: The circuit to simulate.
        seed: Optional random seed for reproducibility.
        noise: Optional NoiseModel: run() then samples one trajectory per shot.
    """

    def __init__(self, circuit: DigitalCircuit, seed: int | None = None, *, noise: NoiseModel | None = None) -> None: ...

    @property
    def noise(self) -> NoiseModel | None:
        """The noise model, or None."""

    def run(self, shots: int = 1024, **kwargs: float) -> SimulationResult:
        """
        Simulate the circuit once per shot; keyword arguments are parameter bindings.
        """

    def statevector(self, **kwargs: float) -> NDArray[numpy.complex128]:
        """
        The final state of the circuit's plain gates (measurements and conditionals skipped).
        """

    def density_matrix(self, **kwargs: float) -> NDArray[numpy.complex128]:
        """
        The exact density matrix (2**n x 2**n, qubit 0 the most significant bit) of the circuit's gates and
        the noise model's channels, for registers of up to 13 qubits. Measurements must come last (the
        state before them is returned, readout errors left to run()); conditional gates before any
        measurement read all-zero bits. Keyword arguments are parameter bindings.
        """

    def __getstate__(self) -> tuple: ...

    def __setstate__(self, state: object | None) -> None: ...

__all__: list = ['DigitalDenseSimulator', 'SimulationResult']
