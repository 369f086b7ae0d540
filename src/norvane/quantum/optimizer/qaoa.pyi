from collections.abc import Iterable, Sequence

import numpy
from numpy.typing import NDArray

from norvane.quantum.ir.routine.digital import DigitalRoutine
from norvane.quantum.optimizer.param_map import ParamMap



class QAOAAnsatz:
    """
    QAOA circuit ansatz for Ising-model cost Hamiltonians.

    Args:
        n_qubits: Number of qubits (graph vertices).
        edges: Weighted edges as (i, j, w) triples; pass w = 1.0 for an unweighted graph.
        p: Number of QAOA layers (circuit depth parameter).

    Parameters are named gamma_1, beta_1, ..., gamma_p, beta_p (cost and mixer angle of each
    layer). The observables index qubit k as bit k of the basis index (least significant
    first).
    """

    def __init__(self, n_qubits: int, edges: Iterable[Sequence[float]], p: int = 1) -> None: ...

    def parameter_names(self) -> list[str]:
        """
        [gamma_1, beta_1, ..., gamma_p, beta_p]: the names in parameter-vector order.
        """

    def param_map(self) -> ParamMap:
        """A ParamMap of parameter_names(), without bounds."""

    def build(self) -> DigitalRoutine:
        """
        A new DigitalRoutine of the QAOA circuit: H on every qubit, then per layer one RZZ
        (angle 2*w*gamma_l) per edge and one RX (angle 2*beta_l) per qubit, then one
        measurement of every qubit. Each layer's two Variable objects are shared by its gates.
        """

    def cost_observable(self) -> NDArray[numpy.float64]:
        """
        Diagonal of the Ising cost: entry x = sum of w * z_i * z_j over the edges, with
        z_k = 1 - 2 * ((x >> k) & 1).
        """

    def max_cut_observable(self) -> NDArray[numpy.float64]:
        """
        Diagonal of the negated cut weight: entry x = -sum of w * (1 - z_i * z_j) / 2 over
        the edges, with z_k = 1 - 2 * ((x >> k) & 1); its minimum is the maximum cut.
        """

    def __repr__(self) -> str: ...

__all__: list = ['QAOAAnsatz']
