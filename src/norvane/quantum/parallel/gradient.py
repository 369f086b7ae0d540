"""ExecutorGradient: a gradient rule whose cost evaluations run on an executor."""

from __future__ import annotations

import os
import secrets
from collections.abc import Callable
from concurrent.futures import Executor

import numpy as np

from norvane.quantum.optimizer.gradient import parameter_shift_gradient
from norvane.quantum.parallel.chunks import (check_chunk_size, chunk_bounds, map_chunks, one_kernel_thread_in_workers,
                                             run_guarded, worker_count)


def _keeps_count(f) -> bool:
    """Whether f counts its evaluations (a VQE's cost): then workers evaluate it uncounted,
    where it may be a copy in another process, and the caller counts them all."""
    return hasattr(f, "uncounted") and hasattr(f, "count_evaluations")


def _evaluate_chunk(f, points: list, caller_pid: int, token: int, first: int) -> list[float]:
    # `token` makes every task unique: an executor that caches results by task content
    # (Dask's pure tasks) would otherwise return an earlier call's samples for the same points.
    one_kernel_thread_in_workers(caller_pid)
    evaluate = f.uncounted if _keeps_count(f) else f
    return run_guarded(lambda z: float(evaluate(z)), points, first)


class _Recorder:
    """Stands in for the cost while the rule chooses its points: records each, returns 0."""

    def __init__(self) -> None:
        self.points: list[np.ndarray] = []

    def __call__(self, z):
        self.points.append(np.array(z, dtype=float, copy=True))
        return 0.0


class _Replay:
    """Stands in for the cost on the rule's second pass: the evaluated values, in order."""

    def __init__(self, points, values):
        self.points, self.values, self.calls = points, values, 0

    def __call__(self, z):
        k = self.calls
        if k >= len(self.points) or not np.array_equal(np.asarray(z, dtype=float), self.points[k]):
            raise RuntimeError("the gradient rule asked for different points on its second pass; "
                               "ExecutorGradient needs a rule whose points do not depend on the values")
        self.calls += 1
        return self.values[k]


class ExecutorGradient:
    """A gradient function g(f, x) that evaluates f at the points the wrapped rule would
    evaluate, on `executor`, and returns exactly what the rule returns for those values.

    Args:
        gradient: The wrapped rule, any g(f, x) that picks its points without looking at the
            values (parameter_shift_gradient, a FiniteDiffGradient).
        executor: A concurrent.futures.Executor (a process pool, Dask's client.get_executor());
            None evaluates here.
        chunk_size: Points per task (default: two tasks per worker of the executor).

    The rule runs twice here: once to learn its points, once on the evaluated values. f is
    sent to the workers, so it must pickle. A VQE's cost function is evaluated there through the
    VQE's cost method, uncounted, and counted here, so a VQE's evaluation count stays exact. A failed evaluation
    raises a BatchError naming the point's index in the rule's order. An ExecutorGradient
    pickles without its executor (executors do not travel between processes): a copy
    evaluates where it runs.
    """

    def __init__(self, gradient: Callable = parameter_shift_gradient, executor: Executor | None = None,
                 chunk_size: int | None = None):
        if not callable(gradient):
            raise TypeError(f"gradient must be callable as gradient(f, x), got {type(gradient).__name__}")
        check_chunk_size(chunk_size)
        self.gradient = gradient
        self.executor = executor
        self.chunk_size = chunk_size

    def __call__(self, f, x):
        recorder = _Recorder()
        self.gradient(recorder, x)
        points = recorder.points
        bounds = chunk_bounds(len(points), self.chunk_size, worker_count(self.executor))
        token = secrets.randbits(64)
        args = [(f, points[span.start:span.stop], os.getpid(), token) for span in bounds]
        try:
            values = map_chunks(self.executor, _evaluate_chunk, args, bounds)
        finally:
            if _keeps_count(f):
                f.count_evaluations(len(points))
        replay = _Replay(points, values)
        result = self.gradient(replay, x)
        if replay.calls != len(points):
            raise RuntimeError("the gradient rule asked for fewer points on its second pass")
        return result

    def __getstate__(self):
        return {"gradient": self.gradient, "executor": None, "chunk_size": self.chunk_size}

    def __repr__(self):
        return f"ExecutorGradient({self.gradient!r}, {self.executor!r})"
