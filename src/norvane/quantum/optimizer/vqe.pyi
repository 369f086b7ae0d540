from collections.abc import Callable

import numpy
from numpy.typing import ArrayLike, NDArray

from norvane.quantum.ir.routine.digital import DigitalRoutine
from norvane.quantum.noise import NoiseModel
from norvane.quantum.optimizer.gradient import (
    FiniteDiffGradient as FiniteDiffGradient,
    parameter_shift_gradient as parameter_shift_gradient
)
from norvane.quantum.optimizer.param_map import ParamMap as ParamMap



class VQEResult:
    """
    Result of a VQE optimisation.

    Fields:
        optimal_params: The parameter vector at which the optimiser stopped.
        optimal_value: The cost at optimal_params, as recorded by the optimiser.
        history: List of (parameter vector, cost) pairs, one per recorded evaluation.
        converged: Whether the optimiser declared convergence.
        n_iterations: Number of iterations performed.
        n_evaluations: Number of cost evaluations since the run began.
        message: Termination message of the optimiser.
    """

    optimal_params: NDArray[numpy.float64]
    optimal_value: float
    history: list[tuple[NDArray[numpy.float64], float]]
    converged: bool
    n_iterations: int
    n_evaluations: int
    message: str
    def __init__(self, optimal_params: ArrayLike, optimal_value: float, history: list[tuple[NDArray[numpy.float64], float]], converged: bool, n_iterations: int, n_evaluations: int, message: str = '') -> None: ...

    def __repr__(self) -> str: ...

class VQE:
    """
    Variational quantum eigensolver: minimises the expectation of a diagonal observable over
    the parameters of a parameterised digital circuit, sampled on the statevector simulator.

    Args:
        routine: The parameterised DigitalRoutine; only its circuit is used.
        spec: The ParamMap giving the names and order of the parameters.
        observable: Diagonal of the observable, 2**n entries; entry j belongs to the outcome
            bitstring whose base-2 value (leftmost character most significant) is j.
        shots: Default number of shots per cost evaluation.
        gradient: Gradient function g(f, x); None selects parameter_shift_gradient.
        optimizer: 'adam', 'gradient_descent' or 'scipy_minimize' (checked by run).
        noise: Keyword only: a norvane.quantum.noise.NoiseModel for every cost evaluation's
            simulator (None: noiseless).
    """

    def __init__(self, routine: DigitalRoutine, spec: ParamMap, observable: ArrayLike, shots: int = 1024, gradient: Callable[[Callable[[NDArray[numpy.float64]], float], NDArray[numpy.float64]], NDArray[numpy.float64]] | None = None, optimizer: str = 'adam', *, noise: NoiseModel | None = None) -> None: ...

    def cost(self, x: ArrayLike, shots: int | None = None) -> float:
        """
        The sampled expectation of the observable at parameter vector x: a new unseeded
        simulator runs the circuit for `shots` shots (default: the field shots) with
        the bindings spec.bind(x). Every call counts one evaluation.
        """

    def gradient(self, x: ArrayLike, shots: int | None = None) -> NDArray[numpy.float64]:
        """gradient_fn applied to the cost (with the given shot count) at x."""

    def run(self, x0: ArrayLike | None = None, shots: int | None = None, max_iter: int = 100, *, progress: bool | Callable[[int, int], object] | None = False, **optimizer_kwargs: float) -> VQEResult:
        """
        Minimise the cost from x0 (default: spec.random()) with the loop named by
        `optimizer`, at most max_iter iterations; extra keywords go to the loop. Returns
        a VQEResult whose n_evaluations counts the evaluations of this run.

        progress (keyword only, never passed to the loop): False or None, silent; True, a
        bar on stderr; or a callable progress(done, total) called with the iterations done
        and max_iter, after every iteration (scipy_minimize: every iteration the
        minimiser reports to its callback) and with total at the end (see
        norvane.quantum.progress). What it raises ends the run.
        """

__all__: list = ['VQEResult', 'VQE']
