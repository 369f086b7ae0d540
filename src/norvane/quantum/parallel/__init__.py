"""Batches of circuits and gradient evaluations on any `concurrent.futures.Executor`.

The same code runs serially, on a process pool, or on a cluster through an executor such as
Dask's `Client.get_executor()`: work goes out in chunks, results come back in input order,
and a seeded batch gives identical results whatever runs it.
"""

from norvane.quantum.parallel.batch import run_batch
from norvane.quantum.parallel.chunks import BatchError
from norvane.quantum.parallel.gradient import ExecutorGradient

__all__ = ["BatchError", "ExecutorGradient", "run_batch"]
